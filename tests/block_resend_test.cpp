// korvelt-cli's acknowledged mode on the virtual clock: blocks and input-board chunks whose
// answer does not come are sent again, and no answer is ever counted for the wrong block.
#include <gtest/gtest.h>

#include <deque>

#include "resources/dialog_layout.h"
#include "sim/input_board_model.h"
#include "sim/instrument_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/temp_workdir.h"
#include "update/block_upload.h"
#include "update/resend_ledger.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using Verdict = ResendLedger::Verdict;
using Quiet = ResendLedger::QuietAction;

TEST(ResendLedger, AnswersAreCountedForTheirOwnSendsOnly) {
  ResendLedger ledger(3);
  ledger.FirstSend();
  EXPECT_EQ(ledger.Quiet(), Quiet::kResend) << "no answer in a quiet second";
  EXPECT_EQ(ledger.Answer(), Verdict::kCurrent) << "the first send's late answer";
  ledger.Take();
  EXPECT_FALSE(ledger.settled()) << "the repeat's answer is still owed";
  EXPECT_EQ(ledger.Answer(), Verdict::kSettled) << "the repeat's answer: the next may go";
  EXPECT_EQ(ledger.Answer(), Verdict::kStray) << "nothing was sent that this answers";

  ledger.FirstSend();  // the next block
  EXPECT_EQ(ledger.Quiet(), Quiet::kResend);
  EXPECT_EQ(ledger.Answer(), Verdict::kCurrent);
  ledger.Take();
  EXPECT_EQ(ledger.Quiet(), Quiet::kAdvance) << "the repeat's answer was lost";
  EXPECT_TRUE(ledger.settled());

  ledger.FirstSend();
  for (int resend = 0; resend < 3; ++resend) EXPECT_EQ(ledger.Quiet(), Quiet::kResend);
  EXPECT_EQ(ledger.Quiet(), Quiet::kGiveUp) << "4 sends in all";
  EXPECT_EQ(ledger.resends(), 3);
}

// What happens to one send of a block (or chunk) on its way.
enum class Fate {
  kDeliver,     // the unit gets it and its answer comes back
  kLoseAnswer,  // the unit gets it; its answer is lost
  kDouble,      // the unit's answer comes back twice
  kLoseSend,    // the unit never gets it
};

// The core in korvelt-cli's acknowledged mode (or the dialog's, `resend` false) against a unit
// model, with a fate for each send of a block or chunk in turn; after the list, every send
// gets `otherwise`.
struct ResendHarness : testing::DialogHarness {
  explicit ResendHarness(bool resend, sim::InstrumentConfig config = {}) : unit(config) {
    dialog.Configure({.allowPlaceholderLoader = true, .resendBlocks = resend});
    port.presentPorts.insert(1);
    port.SetWriteObserver([this](int, const Bytes& bytes) { OnWrite(bytes); });
    dialog.Click(IDC_PORT_BUTTON);
  }
  // A send is a block frame, or an input-board chunk from its 03 10 ED to its last piece.
  void OnWrite(const Bytes& bytes) {
    const bool streaming = unit.inputBoard().loaderRunning();
    if (bytes.size() == 270 || (streaming && bytes == Bytes{0x03, 0x10, 0xED})) {
      ++sends;
      fate = fates.empty() ? otherwise : fates.front();
      if (!fates.empty()) fates.pop_front();
    } else if (!streaming || bytes.size() <= 5) {
      fate = Fate::kDeliver;  // requests and frames that are no block
    }
    if (fate == Fate::kLoseSend) return;
    unit.Receive(clock.Now(), bytes.data(), bytes.size());
    const auto out = unit.TakeOutput();
    if (fate == Fate::kLoseAnswer) return;
    for (int copy = 0; copy < (fate == Fate::kDouble ? 2 : 1); ++copy) {
      for (const auto& o : out) port.DeliverAt(o.atMs + 5 * copy, 1, {o.byte});
    }
  }
  bool Happened(OperationEvent event) const {
    return std::find(services.events.begin(), services.events.end(), event) !=
           services.events.end();
  }
  const OperationResult* Failure() const {
    for (const auto& result : services.results)
      if (result.failed()) return &result;
    return nullptr;
  }

  testing::TempWorkDir work;
  sim::InstrumentModel unit;
  std::deque<Fate> fates;
  Fate otherwise = Fate::kDeliver;
  Fate fate = Fate::kDeliver;  // the send going out
  int sends = 0;
};

struct BlockCase {
  const char* name;
  std::vector<Fate> fates;
  Fate otherwise;
  uint32_t unitMs;      // the unit takes this long for each block
  bool nand;            // the bulk first block of a NAND upload
  bool done;            // the upload is confirmed
  FailureKind failure;  // otherwise it fails so
  int sends;            // block frames written, four blocks
};

TEST(BlockResend, LostAndLateAnswersNeverCountForTheWrongBlock) {
  using F = Fate;
  const BlockCase cases[] = {
      {"clean line", {}, F::kDeliver, 0, false, true, FailureKind::kNone, 4},
      {"an answer lost",
       {F::kDeliver, F::kLoseAnswer},
       F::kDeliver,
       0,
       false,
       true,
       FailureKind::kNone,
       5},
      {"a block lost",
       {F::kDeliver, F::kLoseSend},
       F::kDeliver,
       0,
       false,
       true,
       FailureKind::kNone,
       5},
      {"the final answer lost",
       {F::kDeliver, F::kDeliver, F::kDeliver, F::kLoseAnswer},
       F::kDeliver,
       0,
       false,
       true,
       FailureKind::kNone,
       5},
      {"first answer lost, second doubled",
       {F::kDeliver, F::kLoseAnswer, F::kDouble},
       F::kDeliver,
       0,
       false,
       true,
       FailureKind::kNone,
       5},
      // 1.5 s a block: each block is sent again after a quiet second, and the first send's
      // late answer and the repeat's answer are both counted for it, never for the next.
      {"every answer after 1.5 s", {}, F::kDeliver, 1500, false, true, FailureKind::kNone, 8},
      {"the bulk first block's answer lost",
       {F::kLoseAnswer},
       F::kDeliver,
       0,
       true,
       true,
       FailureKind::kNone,
       5},
      {"silent from the third block",
       {F::kDeliver, F::kDeliver},
       F::kLoseAnswer,
       0,
       false,
       false,
       FailureKind::kNoAnswer,
       6},
      // An answer sent twice for one send has no block left to count for at the end.
      {"an answer doubled",
       {F::kDeliver, F::kDouble},
       F::kDeliver,
       0,
       false,
       false,
       FailureKind::kStrayAnswer,
       4},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::InstrumentConfig config;
    config.blockProcessingMs = c.unitMs;
    ResendHarness h(true, config);
    h.fates.assign(c.fates.begin(), c.fates.end());
    h.otherwise = c.otherwise;
    const Bytes image = testing::PatternImage(4 * 256 - 100, 5);  // four blocks
    if (c.nand) {
      h.services.fileAnswers.push_back(h.work.Write("chosen.bin", image));
      h.dialog.OnNandFlash();
    } else {
      h.work.Write("data/GENERATOR_FPGA.bin", image);
      h.dialog.Click(IDC_GENERATOR_FPGA);
    }
    ASSERT_TRUE(h.clock.RunUntil([&] { return h.dialog.m_bPortOpen == 0 || h.Failure(); }, 120000));
    h.clock.RunFor(5000);
    EXPECT_EQ(h.Happened(OperationEvent::kUploadFinished), c.done);
    const OperationResult* failure = h.Failure();
    EXPECT_EQ(failure ? failure->failure : FailureKind::kNone, c.failure);
    if (failure) {
      EXPECT_EQ(failure->event, OperationEvent::kUploadFailed);
      EXPECT_FALSE(h.Happened(OperationEvent::kUploadFinished)) << "no success with a failure";
    }
    EXPECT_EQ(h.sends, c.sends);
    // A block taken after a resend waits for the line to settle before the next goes: its
    // taking is told as progress, or a short stall limit would end a working upload.
    const bool toldTaken = std::any_of(h.services.progress.begin(), h.services.progress.end(),
                                       [](const OperationProgress& p) { return p.confirmed > 0; });
    if (c.done) EXPECT_EQ(toldTaken, c.sends > 4);
    if (c.done) {
      const auto& held = h.unit.uploads().at(c.nand ? kKindNand : kKindFpga);
      Bytes padded = image;
      padded.resize(4 * 256, 0x00);  // the last block is padded with zeros
      EXPECT_EQ(held.bytes, padded);
    }
  }
}

TEST(BlockResend, TheDialogKeepsItsWrittenByteFlow) {
  // Without the option an acknowledgement that never comes is waited for, as designed: no
  // block goes out twice.
  ResendHarness h(false);
  h.fates = {Fate::kDeliver, Fate::kLoseAnswer};
  h.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(1000, 6));
  h.dialog.Click(IDC_GENERATOR_FPGA);
  h.clock.RunFor(60000);
  EXPECT_EQ(h.sends, 2);
  EXPECT_FALSE(h.Happened(OperationEvent::kUploadFinished));
  EXPECT_TRUE(h.dialog.uploadFlight().blocks) << "still waiting";
  EXPECT_FALSE(h.services.TimerRunning(kTimerAnswerQuiet));
}

TEST(ChunkResend, AChunkTheBoardDoesNotConfirmIsSentAgain) {
  const Bytes image = testing::PatternImage(3 * 4096, 7);  // three chunks, each confirmed
  struct Case {
    const char* name;
    bool resend;
    std::vector<Fate> fates;
    Fate otherwise;
    bool done;
    int sends;  // chunks written, the closing 03 10 ED included
  } cases[] = {
      {"a ready byte lost", true, {Fate::kDeliver, Fate::kLoseAnswer}, Fate::kDeliver, true, 5},
      {"a chunk lost", true, {Fate::kLoseSend}, Fate::kDeliver, true, 5},
      {"the board goes silent", true, {Fate::kDeliver}, Fate::kLoseAnswer, false, 1 + 4},
      {"the dialog waits", false, {Fate::kDeliver, Fate::kLoseAnswer}, Fate::kDeliver, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResendHarness h(c.resend);
    h.fates.assign(c.fates.begin(), c.fates.end());
    h.otherwise = c.otherwise;
    h.services.fileAnswers.push_back(h.work.Write("board.bin", image));
    h.dialog.OnUpdateInputBoard1();
    h.clock.RunFor(60000);
    EXPECT_EQ(h.Happened(OperationEvent::kInputBoardFinished), c.done);
    EXPECT_EQ(h.sends, c.sends);
    if (c.done) EXPECT_EQ(h.unit.inputBoard().boardImage(), image);
    if (c.done) {
      EXPECT_TRUE(std::any_of(h.services.progress.begin(), h.services.progress.end(),
                              [](const OperationProgress& p) { return p.confirmed > 0; }))
          << "the chunk taken after its repeat is told as progress";
    }
    if (!c.done && c.resend) {
      ASSERT_NE(h.Failure(), nullptr);
      EXPECT_EQ(h.Failure()->event, OperationEvent::kInputBoardFailed);
    }
  }
}

}  // namespace
}  // namespace korvelt
