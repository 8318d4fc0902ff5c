// The MCU update at the bootloader's own pace on the virtual clock: every step on the previous
// one's acknowledgement, real time-outs, the erase the bootloader offers, the flash-size check,
// erased blocks left alone and the read-back.
#include <gtest/gtest.h>

#include <map>

#include "resources/dialog_layout.h"
#include "sim/instrument_model.h"
#include "sim/stm32_bootloader_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/hex_digits.h"
#include "tests/support/temp_workdir.h"
#include "update/stm32_boot_client.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::Stm32Config;

const char* kSucceeded =
    "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";

// What the host's writes are, told from their bytes and what came before.
enum class Phase {
  kSync,
  kGet,
  kGetId,
  kReadCommand,
  kReadAddress,
  kReadLength,
  kEraseCommand,
  kEraseList,
  kWriteCommand,
  kWriteAddress,
  kWriteData,
  kVerifyCommand,
  kVerifyAddress,
  kVerifyLength,
  kOther
};

enum class Fault { kNone, kNack, kSilent };

// The fake port linked to the unit model, with a fault on chosen writes: the MCU never gets
// their bytes and answers NACK, or nothing.
struct AckHarness : testing::DialogHarness {
  explicit AckHarness(Stm32Config mcu = {}, Stm32Pacing pacing = Stm32Pacing::kAcknowledged,
                      bool verify = true)
      : unit(Config(mcu)) {
    dialog.mcuUpdate().Configure({.pacing = pacing, .verify = verify});
    port.presentPorts.insert(1);
    port.SetWriteObserver([this](int, const Bytes& bytes) { OnWrite(bytes); });
    dialog.Click(IDC_PORT_BUTTON);
  }
  static sim::InstrumentConfig Config(const Stm32Config& mcu) {
    sim::InstrumentConfig config;
    config.stm32 = std::make_shared<Stm32Config>(mcu);
    return config;
  }
  Phase Classify(const Bytes& b) {
    const Phase previous = last;
    if (b == Bytes{0x7F}) return Phase::kSync;
    if (b.size() > 256 && std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0xFF; }))
      return Phase::kOther;  // the filler that brings a cut bootloader back to a command
    if (b == Bytes{0x00, 0xFF}) return Phase::kGet;
    if (b == Bytes{0x02, 0xFD}) {
      afterErase = false;
      return Phase::kGetId;
    }
    if (b == Bytes{0x11, 0xEE}) return afterErase ? Phase::kVerifyCommand : Phase::kReadCommand;
    if (b == Bytes{0x43, 0xBC} || b == Bytes{0x44, 0xBB}) {
      afterErase = true;
      return Phase::kEraseCommand;
    }
    if (b == Bytes{0x31, 0xCE}) return Phase::kWriteCommand;
    if (previous == Phase::kEraseCommand) return Phase::kEraseList;
    if (b.size() == 5 && previous == Phase::kReadCommand) return Phase::kReadAddress;
    if (b.size() == 5 && previous == Phase::kVerifyCommand) return Phase::kVerifyAddress;
    if (b.size() == 5 && previous == Phase::kWriteCommand) return Phase::kWriteAddress;
    if (b.size() == 2 && previous == Phase::kReadAddress) return Phase::kReadLength;
    if (b.size() == 2 && previous == Phase::kVerifyAddress) return Phase::kVerifyLength;
    if (previous == Phase::kWriteAddress) return Phase::kWriteData;
    return Phase::kOther;
  }
  void OnWrite(const Bytes& bytes) {
    last = Classify(bytes);
    if (last == Phase::kWriteCommand) writesSeen = true;
    const int seen = ++counts[last];
    const Fault fault = last == faultPhase && seen >= faultFrom && seen < faultFrom + faultTimes
                            ? faultKind
                            : Fault::kNone;
    if (fault == Fault::kNone) {
      unit.Receive(clock.Now(), bytes.data(), bytes.size());
      for (const auto& out : unit.TakeOutput()) port.DeliverAt(out.atMs, 1, {out.byte});
      return;
    }
    unit.mcu().AbortCommand();
    if (fault == Fault::kNack) port.DeliverAt(clock.Now() + 1, 1, {kStm32Nack});
  }
  void Start(const Bytes& image) {
    work.Write("data/GENERATOR_MCU(rack).bin", image);
    dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  }
  bool RunToEnd(uint64_t limitMs = 600000) {
    return clock.RunUntil(
        [&] { return dialog.m_bStm32Mode == 0 && dialog.m_bPortOpen == 0 && clock.Now() > 0; },
        limitMs);
  }
  Bytes Flash(std::size_t bytes) {
    const auto& flash = unit.mcu().flash();
    return Bytes(flash.begin(), flash.begin() + static_cast<long>(bytes));
  }
  std::size_t WritesOf(Phase phase) { return counts[phase]; }
  bool Wrote(const Bytes& bytes) {
    return std::any_of(port.writes.begin(), port.writes.end(),
                       [&](const auto& w) { return w.bytes == bytes; });
  }
  std::string BoxText() { return Boxes().empty() ? "" : Boxes().back().text; }

  testing::TempWorkDir work;
  sim::InstrumentModel unit;
  Phase last = Phase::kOther;
  bool writesSeen = false;
  bool afterErase = false;  // the conversation since its last Get ID has sent its erase
  std::map<Phase, int> counts;
  Phase faultPhase = Phase::kOther;
  int faultFrom = 0;
  int faultTimes = 0;
  Fault faultKind = Fault::kNone;
};

TEST(Stm32Acknowledged, ImagesReachTheFlashInFullBlocksAndAreReadBack) {
  for (std::size_t size : {1u, 4u, 255u, 256u, 257u, 1000u, 65536u}) {
    SCOPED_TRACE(size);
    AckHarness h;
    const Bytes image = testing::PatternImage(size, static_cast<uint32_t>(size));
    h.Start(image);
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_EQ(h.Flash(size), image);
    EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
    EXPECT_TRUE(h.Boxes().empty()) << h.BoxText();
    EXPECT_TRUE(h.dialog.mcuUpdate().verified());
    EXPECT_EQ(h.services.controlTexts[IDC_PROGRESS], "100");
    EXPECT_EQ(h.dialog.m_cParity, 'N');
    EXPECT_EQ(h.unit.mcu().writesIntoUnerasedFlash(), 0u);
    // 256-byte blocks, the last padded with 0xFF to a multiple of 4, and read back in 256s.
    const std::size_t blocks = (size + 255) / 256;
    EXPECT_EQ(h.WritesOf(Phase::kWriteData), blocks);
    EXPECT_EQ(h.WritesOf(Phase::kVerifyCommand), blocks);
    EXPECT_EQ(h.unit.mcu().flashWrittenEnd(), (size + 3) / 4 * 4);
    for (const auto& write : h.port.writes) {
      if (write.bytes.size() < 6 || write.bytes[0] + 2u != write.bytes.size()) continue;
      uint8_t x = 0;
      for (std::size_t i = 0; i + 1 < write.bytes.size(); ++i) x ^= write.bytes[i];
      EXPECT_EQ(write.bytes.back(), x);
      EXPECT_EQ(write.bytes.size() % 4, 2u) << "a multiple of 4 data bytes";
    }
    // No fixed pause anywhere: the bootloader's answers are the pacing.
    EXPECT_TRUE(h.services.pauses.empty());
  }
}

TEST(Stm32Acknowledged, AStepWaitsOnlyForItsAcknowledgement) {
  AckHarness h;
  h.Start(testing::PatternImage(64 * 1024, 3));
  const uint64_t started = h.clock.Now();
  ASSERT_TRUE(h.RunToEnd());
  // 256 blocks of 7 ms programming each, a 40 ms erase and the two timer ticks of the start;
  // the written pacing takes over 50 s for the same image.
  EXPECT_LT(h.clock.Now() - started, 2600u);
}

struct FaultCase {
  const char* name;
  Phase phase;
  int from;
  int times;
  Fault fault;
  const char* says;     // in the failure box; empty: the update still succeeds
  uint64_t erases = 0;  // set: the flash was erased this often (a whole write done again)
};

TEST(Stm32Acknowledged, RefusalsAndSilenceAtEveryPhase) {
  const FaultCase cases[] = {
      {"sync silent", Phase::kSync, 1, 100, Fault::kSilent, "did not answer its synchronisation"},
      // A refusal or a silence starts the conversation again from a fresh sync, three times in
      // all, while the unit waits in its bootloader: a byte lost or damaged once is no failure.
      {"get refused once", Phase::kGet, 1, 1, Fault::kNack, "", 1},
      {"get silent once", Phase::kGet, 1, 1, Fault::kSilent, "", 1},
      {"get id refused once", Phase::kGetId, 1, 1, Fault::kNack, "", 1},
      {"get id silent once", Phase::kGetId, 1, 1, Fault::kSilent, "", 1},
      {"read refused once", Phase::kReadCommand, 1, 1, Fault::kNack, "", 1},
      {"read silent once", Phase::kReadCommand, 2, 1, Fault::kSilent, "", 1},
      {"read address refused once", Phase::kReadAddress, 2, 1, Fault::kNack, "", 1},
      {"read length silent once", Phase::kReadLength, 1, 1, Fault::kSilent, "", 1},
      {"get refused always", Phase::kGet, 1, 1000, Fault::kNack, "refused the Get command"},
      {"get silent always", Phase::kGet, 1, 1000, Fault::kSilent, "did not answer the Get command"},
      {"get id refused always", Phase::kGetId, 1, 1000, Fault::kNack, "refused the Get ID command"},
      {"get id silent always", Phase::kGetId, 1, 1000, Fault::kSilent,
       "did not answer the Get ID command"},
      {"read refused twice: read protection", Phase::kReadCommand, 1, 1000, Fault::kNack,
       "it is read-protected"},
      {"read silent always", Phase::kReadCommand, 2, 1000, Fault::kSilent,
       "did not answer the Read Memory"},
      {"read address refused always", Phase::kReadAddress, 2, 1000, Fault::kNack,
       "refused the Read Memory"},
      {"read length silent always", Phase::kReadLength, 1, 1000, Fault::kSilent,
       "not answer the Read"},
      // From the erase on, the unit waits in its bootloader: the whole write starts again from
      // a fresh sync, three times in all.
      // (an erase that never reached the unit is not counted)
      {"erase refused once", Phase::kEraseCommand, 1, 1, Fault::kNack, "", 1},
      {"erase silent once", Phase::kEraseCommand, 1, 1, Fault::kSilent, "", 1},
      {"erase list refused once", Phase::kEraseList, 1, 1, Fault::kNack, "", 1},
      {"erase list silent once", Phase::kEraseList, 1, 1, Fault::kSilent, "", 1},
      {"erase refused always", Phase::kEraseCommand, 1, 1000, Fault::kNack,
       "refused the erase command"},
      {"erase list silent always", Phase::kEraseList, 1, 1000, Fault::kSilent,
       "did not finish erasing"},
      {"write refused once", Phase::kWriteCommand, 2, 1, Fault::kNack, ""},
      {"write silent once", Phase::kWriteCommand, 2, 1, Fault::kSilent, ""},
      {"address refused once", Phase::kWriteAddress, 3, 1, Fault::kNack, ""},
      {"address silent twice", Phase::kWriteAddress, 3, 2, Fault::kSilent, ""},
      {"data refused twice", Phase::kWriteData, 1, 2, Fault::kNack, ""},
      {"data silent once", Phase::kWriteData, 3, 1, Fault::kSilent, ""},
      {"data refused 3 times", Phase::kWriteData, 2, 3, Fault::kNack, "", 2},
      {"data silent 3 times", Phase::kWriteData, 3, 3, Fault::kSilent, "", 2},
      {"command silent 3 times", Phase::kWriteCommand, 1, 3, Fault::kSilent, "", 2},
      {"verify refused", Phase::kVerifyCommand, 2, 1, Fault::kNack, "", 1},
      {"verify silent", Phase::kVerifyCommand, 1, 1, Fault::kSilent, "", 1},
      {"verify address silent", Phase::kVerifyAddress, 3, 1, Fault::kSilent, "", 1},
      {"verify length refused", Phase::kVerifyLength, 1, 1, Fault::kNack, "", 1},
      // The blocks go from 0x08000100 up; the vector table's block at 0x08000000 comes last.
      {"data refused always", Phase::kWriteData, 2, 1000, Fault::kNack, "0x08000100 in 3 tries"},
      {"verify refused always", Phase::kVerifyCommand, 1, 1000, Fault::kNack,
       "read its flash at 0x08000100"},
      {"verify silent always", Phase::kVerifyCommand, 1, 1000, Fault::kSilent,
       "flash at 0x08000100"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    AckHarness h;
    h.faultPhase = c.phase;
    h.faultFrom = c.from;
    h.faultTimes = c.times;
    h.faultKind = c.fault;
    const Bytes image = testing::PatternImage(768, 4);
    h.Start(image);
    ASSERT_TRUE(h.RunToEnd(60000)) << "every silence has a bound";
    EXPECT_FALSE(h.services.TimerRunning(kTimerStm32Sync));
    if (*c.says == '\0') {
      EXPECT_TRUE(h.Boxes().empty()) << h.BoxText();
      EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
      EXPECT_EQ(h.Flash(768), image);
      EXPECT_TRUE(h.dialog.mcuUpdate().verified());
      if (c.erases) EXPECT_EQ(h.unit.mcu().erases(), c.erases);
      continue;
    }
    ASSERT_EQ(h.Boxes().size(), 1u);
    EXPECT_EQ(h.Boxes()[0].caption, "ISP");
    EXPECT_NE(h.BoxText().find(c.says), std::string::npos) << h.BoxText();
    EXPECT_NE(h.dialog.m_strNote, kSucceeded);
    EXPECT_FALSE(h.dialog.mcuUpdate().verified());
    EXPECT_EQ(h.services.events.back(), OperationEvent::kMcuUpdateFailed);
    EXPECT_EQ(h.dialog.m_cParity, 'N');
    EXPECT_FALSE(h.dialog.mcuUpdate().running()) << "the next update may start";
  }
}

TEST(Stm32Acknowledged, TheGetReplyChoosesTheEraseCommand) {
  struct Case {
    Stm32Pacing pacing;
    bool extended;
    Bytes command;
    Bytes list;
  };
  const Case cases[] = {
      {Stm32Pacing::kAcknowledged, false, {0x43, 0xBC}, {0xFF, 0x00}},
      {Stm32Pacing::kAcknowledged, true, {0x44, 0xBB}, {0xFF, 0xFF, 0x00}},
      {Stm32Pacing::kWritten, false, {0x43, 0xBC}, {0xFF, 0x00}},
      {Stm32Pacing::kWritten, true, {0x44, 0xBB}, {0xFF, 0xFF, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extended ? "extended" : "plain");
    Stm32Config mcu;
    mcu.extendedErase = c.extended;
    AckHarness h(mcu, c.pacing, false);
    const Bytes image = testing::PatternImage(600, 5);
    h.Start(image);
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_TRUE(h.Wrote(c.command));
    EXPECT_TRUE(h.Wrote(c.list));
    EXPECT_EQ(h.unit.mcu().erases(), 1u);
    EXPECT_EQ(h.Flash(600), image);
    EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
  }
}

TEST(Stm32Acknowledged, AnImageLargerThanTheFlashIsRefusedBeforeTheErase) {
  for (Stm32Pacing pacing : {Stm32Pacing::kAcknowledged, Stm32Pacing::kWritten}) {
    for (std::size_t size : {16u * 1024, 16u * 1024 + 1}) {
      SCOPED_TRACE(size);
      Stm32Config mcu;
      mcu.flashBytes = 16 * 1024;
      AckHarness h(mcu, pacing);
      h.Start(testing::PatternImage(size, 6));
      ASSERT_TRUE(h.RunToEnd());
      EXPECT_EQ(h.dialog.mcuUpdate().facts().flashKib, 16u);
      if (size == 16u * 1024) {
        EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
        continue;
      }
      ASSERT_EQ(h.Boxes().size(), 1u);
      EXPECT_EQ(h.BoxText(),
                "The image is 16385 bytes; the MCU has 16 KiB of flash. Nothing was erased.");
      EXPECT_EQ(h.WritesOf(Phase::kEraseCommand), 0u);
      EXPECT_EQ(h.unit.mcu().erases(), 0u);
      EXPECT_EQ(h.dialog.m_bPortOpen, 0);
    }
  }
}

TEST(Stm32Acknowledged, TheEraseWaitsAsLongAsThePartsFlashNeeds) {
  // A 1 MiB part's erase of 64 KiB takes 7.7 s (8 s for all of it): longer than a fixed 5 s,
  // well inside the 16 ms a KiB the client allows for the flash the part reports.
  Stm32Config mcu;
  mcu.flashBytes = 1024 * 1024;
  mcu.pageEraseMs = 120;
  mcu.massEraseMs = 8000;
  AckHarness h(mcu);
  const Bytes image = testing::PatternImage(64 * 1024, 8);
  h.Start(image);
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_EQ(h.dialog.m_strNote, kSucceeded) << h.BoxText();
  EXPECT_EQ(h.Flash(image.size()), image);
}

TEST(Stm32Acknowledged, TheBootloaderIdentifiesItselfBeforeTheErase) {
  AckHarness h;
  h.Start(testing::PatternImage(300, 7));
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_EQ(h.dialog.mcuUpdate().facts().productId, 0x410);
  EXPECT_EQ(h.dialog.mcuUpdate().facts().bootloaderVersion, 0x22);
  EXPECT_EQ(h.dialog.mcuUpdate().facts().flashKib, 128u);
  const std::array<uint8_t, 12> uid = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36,
                                       0x37, 0x38, 0x39, 0x3A, 0x3B, 0x03};
  EXPECT_EQ(h.dialog.mcuUpdate().facts().uniqueId, uid) << "read before the erase";
  const auto& events = h.services.events;
  const auto identified = std::find(events.begin(), events.end(), OperationEvent::kMcuIdentified);
  ASSERT_NE(identified, events.end());
  EXPECT_EQ(events.back(), OperationEvent::kMcuUpdateSucceeded);
}

TEST(Stm32Acknowledged, TheReadBackCatchesAProtectedPage) {
  Stm32Config mcu;
  mcu.protectedAddress = 0x08000500;  // the page at 0x08000400
  {
    AckHarness h(mcu);
    h.Start(testing::PatternImage(4096, 8));
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_EQ(h.Boxes().size(), 1u);
    EXPECT_NE(h.BoxText().find("0x08000400"), std::string::npos) << h.BoxText();
    EXPECT_NE(h.dialog.m_strNote, kSucceeded);
    EXPECT_NE(h.services.controlTexts[IDC_PROGRESS], "100");
    EXPECT_FALSE(h.dialog.mcuUpdate().verified());
  }
  {
    // Without the read-back the bootloader's acknowledgements look like a success.
    AckHarness h(mcu, Stm32Pacing::kAcknowledged, false);
    h.Start(testing::PatternImage(4096, 8));
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
    EXPECT_FALSE(h.dialog.mcuUpdate().verified());
  }
  {
    // The image leaves the protected page erased, so no block of it is written; the erase did
    // not clear the older firmware there, and only reading the skipped blocks shows it.
    Stm32Config old = mcu;
    old.flashContents = Bytes(4096, 0x00);
    Bytes image = testing::PatternImage(4096, 8);
    std::fill(image.begin() + 0x400, image.begin() + 0x800, 0xFF);
    AckHarness h(old);
    h.Start(image);
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_EQ(h.Boxes().size(), 1u);
    EXPECT_NE(h.BoxText().find("0x08000400"), std::string::npos) << h.BoxText();
    EXPECT_NE(h.dialog.m_strNote, kSucceeded);
    EXPECT_FALSE(h.dialog.mcuUpdate().verified());
  }
}

TEST(Stm32Acknowledged, TheReadBackChecksEveryByteOfItsLastPiece) {
  // The protected page holds the image's last read piece, and only part of it: a read-back
  // that took any byte in its last piece would report this image written.
  Stm32Config mcu;
  mcu.protectedAddress = 0x08000C00;
  for (const std::size_t size : {std::size_t{0xC01}, std::size_t{0xCF0}, std::size_t{0xD00}}) {
    SCOPED_TRACE(size);
    AckHarness h(mcu);
    h.Start(testing::PatternImage(size, 12));
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_EQ(h.Boxes().size(), 1u) << "the update succeeded";
    EXPECT_NE(h.BoxText().find("0x08000C00"), std::string::npos) << h.BoxText();
    EXPECT_NE(h.dialog.m_strNote, kSucceeded);
    EXPECT_FALSE(h.dialog.mcuUpdate().verified());
  }
}

TEST(Stm32Acknowledged, ABlockThatOnlyStartsErasedIsWritten) {
  // Its first four bytes are 0xFF, the rest is not: no erased block, whatever the read-back.
  Bytes image = testing::PatternImage(1024, 13);
  std::fill(image.begin() + 256, image.begin() + 260, 0xFF);
  std::fill(image.begin() + 512, image.begin() + 767, 0xFF);  // all but its last byte
  for (const bool verify : {true, false}) {
    SCOPED_TRACE(verify);
    AckHarness h(Stm32Config{}, Stm32Pacing::kAcknowledged, verify);
    h.Start(image);
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_EQ(h.WritesOf(Phase::kWriteData), 4u);
    EXPECT_EQ(h.Flash(image.size()), image);
    EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
  }
}

TEST(Stm32Acknowledged, ErasedBlocksAreNotWritten) {
  // Every other 256-byte block all 0xFF, and an image that is nothing but 0xFF.
  Bytes image = testing::PatternImage(8192, 9);
  for (std::size_t block = 1; block < 32; block += 2)
    std::fill(image.begin() + static_cast<long>(block * 256),
              image.begin() + static_cast<long>(block * 256 + 256), 0xFF);
  struct Case {
    Bytes image;
    std::size_t blocks;
  };
  for (const Case& c : {Case{image, 16}, Case{Bytes(1024, 0xFF), 0}}) {
    AckHarness h;
    h.Start(c.image);
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_EQ(h.WritesOf(Phase::kWriteData), c.blocks);
    EXPECT_EQ(h.Flash(c.image.size()), c.image);
    EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
    EXPECT_TRUE(h.dialog.mcuUpdate().verified());
  }
  // The written pacing writes every block, as it always has.
  AckHarness written(Stm32Config{}, Stm32Pacing::kWritten, false);
  written.Start(image);
  ASSERT_TRUE(written.RunToEnd());
  EXPECT_EQ(written.WritesOf(Phase::kWriteData), 64u);
}

std::string HexRecord(uint8_t type, uint16_t address, const Bytes& data) {
  return testing::HexRecordLine(type, address, data, "\r\n");
}

TEST(Stm32Acknowledged, AHexFileWithAGapLeavesTheGapErased) {
  AckHarness h;
  const Bytes low = testing::PatternImage(48, 10);
  const Bytes high = testing::PatternImage(40, 11);
  // 48 bytes at 0x08000000, then 40 at 0x08010010 behind an extended linear address record.
  std::string hex = HexRecord(0x04, 0, {0x08, 0x00}) + HexRecord(0x00, 0x0000, low) +
                    HexRecord(0x04, 0, {0x08, 0x01}) + HexRecord(0x00, 0x0010, high) +
                    HexRecord(0x01, 0, {});
  h.dialog.mcuUpdate().Configure(
      {.pacing = Stm32Pacing::kAcknowledged,
       .verify = true,
       .imageFile = h.work.Write("fw.hex", Bytes(hex.begin(), hex.end()))});
  h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_EQ(h.dialog.m_strNote, kSucceeded) << h.BoxText();
  EXPECT_EQ(h.WritesOf(Phase::kWriteData), 2u) << "one block each side of the gap";
  EXPECT_TRUE(h.Wrote({0x08, 0x01, 0x00, 0x10, 0x19}));
  Bytes want(0x10010 + 40, 0xFF);
  std::copy(low.begin(), low.end(), want.begin());
  std::copy(high.begin(), high.end(), want.begin() + 0x10010);
  EXPECT_EQ(h.Flash(want.size()), want);
  EXPECT_EQ(h.unit.mcu().flashWrittenEnd(), want.size());
}

TEST(Stm32Acknowledged, ABrokenFileIsRefusedBeforeTheUnitIsAsked) {
  AckHarness h;
  std::string hex = HexRecord(0x04, 0, {0x08, 0x00}) + HexRecord(0x00, 0x0000, {1, 2, 3, 4}) +
                    ":0400100001020304E1\r\n" + HexRecord(0x01, 0, {});
  h.dialog.mcuUpdate().Configure(
      {.pacing = Stm32Pacing::kAcknowledged,
       .verify = true,
       .imageFile = h.work.Write("broken.hex", Bytes(hex.begin(), hex.end()))});
  h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  h.clock.RunFor(1000);
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_EQ(h.Boxes()[0].kind, testing::FakeWindowServices::BoxKind::kApplication);
  EXPECT_NE(h.BoxText().find("broken.hex, line 3: the checksum is wrong"), std::string::npos)
      << h.BoxText();
  EXPECT_TRUE(h.port.writes.empty()) << "no ISP request";
  EXPECT_EQ(h.dialog.m_bIspRequested, 0);
}

}  // namespace
}  // namespace korvelt
