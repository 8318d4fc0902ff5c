// An MCU update that was cut must never strand the unit: the unit waits in its bootloader,
// the same button finds it there and finishes the update, the vector table goes in last, and
// the operator is told whether the unit may be powered off. On the virtual clock, against the
// simulated part.
#include <gtest/gtest.h>

#include "resources/dialog_layout.h"
#include "sim/instrument_model.h"
#include "sim/stm32_bootloader_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_workdir.h"
#include "update/operator_texts.h"
#include "update/stm32_protocol.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::InstrumentModel;
using sim::LineCut;

const char* kSucceeded =
    "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";

struct RecoveryHarness : testing::DialogHarness {
  explicit RecoveryHarness(sim::InstrumentConfig config = {},
                           Stm32Pacing pacing = Stm32Pacing::kAcknowledged, bool start = false)
      : unit(config), link(clock, port) {
    link.Attach(1, &unit);
    dialog.mcuUpdate().Configure({.pacing = pacing, .verify = true, .start = start});
    dialog.Click(IDC_PORT_BUTTON);
    work.Write("data/GENERATOR_MCU(rack).bin", image);
  }
  void Press() {
    results = services.results.size();
    dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  }
  // Until the update has ended and the port is shown closed.
  bool RunToEnd() {
    return clock.RunUntil(
        [&] { return Ended() != nullptr && dialog.m_bPortOpen == 0 && !services.TimerRunning(10); },
        600000);
  }
  const OperationResult* Ended() const { return services.McuUpdateEndedSince(results); }
  bool Succeeded() const {
    return Ended() && Ended()->event == OperationEvent::kMcuUpdateSucceeded;
  }
  Bytes Flash(std::size_t bytes) {
    const auto& flash = unit.mcu().flash();
    return Bytes(flash.begin(), flash.begin() + static_cast<long>(bytes));
  }
  bool FirstWordErased() { return unit.mcu().FirstWordErased(); }
  // The write addresses of Write Memory and Read Memory, in the order they went out.
  std::vector<std::pair<char, uint32_t>> Addresses() {
    std::vector<std::pair<char, uint32_t>> out;
    char command = 0;
    for (const auto& w : port.writes) {
      const Bytes& b = w.bytes;
      if (b == Bytes{0x31, 0xCE}) command = 'W';
      if (b == Bytes{0x11, 0xEE}) command = 'R';
      if (b.size() == 5 && command) {
        out.push_back(
            {command, uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]});
        command = 0;
      }
    }
    return out;
  }
  bool Wrote(const Bytes& bytes) {
    return std::any_of(port.writes.begin(), port.writes.end(),
                       [&](const auto& w) { return w.bytes == bytes; });
  }

  testing::TempWorkDir work;
  Bytes image = testing::PatternImage(6 * 1024, 42);
  InstrumentModel unit;
  testing::SimLink link;
  std::size_t results = 0;
};

sim::InstrumentConfig InBootloader() {
  return {.startInBootloader = true};
}

TEST(McuRecovery, AUnitWaitingInItsBootloaderIsFoundAndUpdated) {
  enum class Left { kUnsynced, kSynced, kInTheMiddleOfABlock };
  struct Case {
    const char* name;
    Left left;
    Stm32Pacing pacing;
  } cases[] = {
      {"unsynced", Left::kUnsynced, Stm32Pacing::kAcknowledged},
      {"synced", Left::kSynced, Stm32Pacing::kAcknowledged},
      {"in the middle of a block", Left::kInTheMiddleOfABlock, Stm32Pacing::kAcknowledged},
      {"dialog, unsynced", Left::kUnsynced, Stm32Pacing::kWritten},
      {"dialog, in the middle of a block", Left::kInTheMiddleOfABlock, Stm32Pacing::kWritten},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecoveryHarness h(InBootloader(), c.pacing);
    auto send = [&](Bytes bytes) { h.unit.Receive(0, bytes.data(), bytes.size()); };
    if (c.left != Left::kUnsynced) send({kStm32Sync});
    if (c.left == Left::kInTheMiddleOfABlock) {
      send({0x31, 0xCE});
      send({0x08, 0x00, 0x04, 0x00, 0x0C});
      send({0xFF, 0x12, 0x34});  // 256 bytes announced, two of them came
    }
    h.unit.TakeOutput();
    h.Press();
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_TRUE(h.Succeeded()) << h.services.boxes.back().text;
    EXPECT_EQ(h.Flash(h.image.size()), h.image);
    EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
    // The acknowledged pacing looks before it asks; the dialog asks first, as it always has.
    const Bytes request = {'\r', '\n', 'I', 'S', 'P', ' ', '3', '2', ' ', '1', '\r', '\n'};
    const bool asked = h.Wrote(request);
    EXPECT_EQ(asked, c.pacing == Stm32Pacing::kWritten || c.left == Left::kInTheMiddleOfABlock);
  }
}

TEST(McuRecovery, AFirmwareUnitIsAskedAsBeforeAfterTwoSyncBytes) {
  RecoveryHarness h;
  h.Press();
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_TRUE(h.Succeeded());
  EXPECT_EQ(h.Flash(h.image.size()), h.image);
  // Nobody answered the two sync bytes at 8E1: the request followed at 8N1, and the banner's
  // reopen came without a fixed wait.
  ASSERT_GE(h.port.opens.size(), 4u);
  EXPECT_EQ(h.port.opens[1].parity, 'E');
  EXPECT_EQ(h.port.opens[2].parity, 'N');
  EXPECT_EQ(h.port.opens[3].parity, 'E');
  EXPECT_FALSE(h.Wrote(Bytes(258, 0xFF))) << "no filler for a running firmware";
  uint64_t request = 0, sync = 0;
  for (const auto& w : h.port.writes) {
    if (w.bytes.size() == 12 && w.bytes[2] == 'I') request = w.atMs;
    if (request && !sync && w.bytes == Bytes{kStm32Sync}) sync = w.atMs;
  }
  EXPECT_LE(sync - request, 10u) << "the banner comes 2 ms after the request";
}

TEST(McuRecovery, TheVectorTableGoesInLastAndIsCheckedLast) {
  for (bool verify : {true, false}) {
    SCOPED_TRACE(verify);
    RecoveryHarness h(InBootloader());
    h.dialog.mcuUpdate().Configure({.pacing = Stm32Pacing::kAcknowledged, .verify = verify});
    h.Press();
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_TRUE(h.Succeeded());
    const auto addresses = h.Addresses();
    std::vector<std::pair<char, uint32_t>> after;  // from the vector table's write on
    // The identity reads (the flash start, then its size) come before any write.
    const auto firstWrite = std::find_if(addresses.begin(), addresses.end(),
                                         [](const auto& a) { return a.first == 'W'; });
    const std::size_t writesFrom = static_cast<std::size_t>(firstWrite - addresses.begin());
    for (std::size_t i = writesFrom; i < addresses.size(); ++i) {
      if (addresses[i] == std::make_pair('W', kMcuFlashBase)) {
        after.assign(addresses.begin() + static_cast<long>(i), addresses.end());
        // Every other block was written, and read back, before it.
        for (std::size_t k = writesFrom; k < i; ++k) EXPECT_NE(addresses[k].second, kMcuFlashBase);
        if (verify) EXPECT_EQ(addresses[i - 1].first, 'R');
        break;
      }
    }
    const std::vector<std::pair<char, uint32_t>> expected =
        verify ? std::vector<std::pair<char, uint32_t>>{{'W', kMcuFlashBase}, {'R', kMcuFlashBase}}
               : std::vector<std::pair<char, uint32_t>>{{'W', kMcuFlashBase}};
    EXPECT_EQ(after, expected);
  }
}

// The line cut at every phase: nothing reports success, the flash's first word stays erased
// until the vector table goes in, a power cycle then leaves a unit that answers nothing, and
// the same button, pressed again while the unit is powered, finishes the update.
TEST(McuRecovery, ACutAtEveryPhase) {
  using W = LineCut::When;
  struct Case {
    const char* name;
    LineCut cut;
    bool erased;  // the erase began: the unit must not be powered off
  } cases[] = {
      {"sync", {.when = W::kSync}, false},
      {"get", {.when = W::kGet}, false},
      {"erase", {.when = W::kErase}, true},
      {"block 1", {.when = W::kWriteBlock, .block = 1}, true},
      {"block N/2", {.when = W::kWriteBlock, .block = 12}, true},
      {"vector table", {.when = W::kVectorBlock}, true},
      {"read-back", {.when = W::kVerify}, true},
  };
  for (const Case& c : cases) {
    for (bool powerCycle : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (powerCycle ? ", then a power cycle" : ""));
      RecoveryHarness h({.lineCut = c.cut});
      h.Press();
      ASSERT_TRUE(h.RunToEnd());
      ASSERT_FALSE(h.Succeeded());
      const OperationResult& failed = *h.Ended();
      EXPECT_EQ(failed.flashIncomplete, c.erased);
      const std::string box = h.services.boxes.back().text;
      if (c.erased) {
        EXPECT_NE(box.find("do NOT power it off"), std::string::npos) << box;
        EXPECT_EQ(h.dialog.m_strNote, kMcuUnfinishedNote);
      } else {
        EXPECT_NE(box.find("Nothing was erased"), std::string::npos) << box;
        EXPECT_EQ(h.dialog.m_strNote, kMcuFailedNote);
      }
      const bool vectorWritten = c.cut.when == W::kVectorBlock;
      EXPECT_EQ(h.FirstWordErased(), c.erased && !vectorWritten);
      h.clock.RunFor(c.cut.forMs);  // the line is back
      if (powerCycle) {
        h.unit.PowerCycle();
        const bool dead = c.erased && !vectorWritten;
        EXPECT_EQ(h.unit.mode() == InstrumentModel::Mode::kNoFirmware, dead);
        continue;
      }
      h.dialog.Click(IDC_PORT_BUTTON);
      h.Press();
      ASSERT_TRUE(h.RunToEnd());
      EXPECT_TRUE(h.Succeeded()) << h.services.boxes.back().text;
      EXPECT_EQ(h.Flash(h.image.size()), h.image);
    }
  }
}

TEST(McuRecovery, GoStartsTheVerifiedFirmware) {
  RecoveryHarness h({}, Stm32Pacing::kAcknowledged, true);
  h.Press();
  ASSERT_TRUE(h.RunToEnd());
  ASSERT_TRUE(h.Succeeded());
  EXPECT_EQ(h.Ended()->goAccepted, true);
  EXPECT_TRUE(h.Wrote({0x21, 0xDE}));
  EXPECT_EQ(h.unit.mode(), InstrumentModel::Mode::kFirmware);
  // A Go whose answer is lost leaves a verified flash: the update still succeeded.
  RecoveryHarness lost({.lineCut = LineCut{.when = LineCut::When::kGo}}, Stm32Pacing::kAcknowledged,
                       true);
  lost.Press();
  ASSERT_TRUE(lost.RunToEnd());
  ASSERT_TRUE(lost.Succeeded());
  EXPECT_EQ(lost.Ended()->goAccepted, false);
  EXPECT_EQ(lost.Flash(lost.image.size()), lost.image);
}

TEST(McuRecovery, AReadProtectedPartIsLeftAsItIs) {
  for (Stm32Pacing pacing : {Stm32Pacing::kAcknowledged, Stm32Pacing::kWritten}) {
    auto mcu = std::make_shared<sim::Stm32Config>();
    mcu->readProtected = true;
    RecoveryHarness h({.stm32 = mcu}, pacing);
    h.Press();
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_FALSE(h.Succeeded());
    EXPECT_EQ(h.Ended()->failure, FailureKind::kReadProtected);
    EXPECT_NE(h.services.boxes.back().text.find("read-protected"), std::string::npos);
    EXPECT_EQ(h.unit.mcu().erases(), 0u);
    EXPECT_EQ(h.unit.mcu().commandsTaken(0x43) + h.unit.mcu().commandsTaken(0x44), 0u);
    // Readout Unprotect and Write Unprotect erase or reset the part: never sent.
    EXPECT_FALSE(h.Wrote({0x92, 0x6D}));
    EXPECT_FALSE(h.Wrote({0x73, 0x8C}));
  }
}

}  // namespace
}  // namespace korvelt
