// The MCU update through the flashing stub, the way the programs run it: the core's McuUpdate
// loads the stub through the ROM bootloader model, the stub's real code runs in the emulated
// part, and everything runs on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "resources/dialog_layout.h"
#include "sim/instrument_model.h"
#include "sim/stm32_bootloader_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/hex_digits.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_workdir.h"
#include "update/stub_protocol.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::Stm32Config;
using Fault = testing::TimedSimLink::Fault;

constexpr uint32_t kFlash = 0x08000000;
constexpr uint8_t kRomErase = 0x43;
constexpr uint8_t kRomWrite = 0x31;

McuUpdateOptions StubOptions(uint32_t stubBaud = 0, bool start = true) {
  return {.pacing = Stm32Pacing::kAcknowledged,
          .verify = true,
          .start = start,
          .stub = true,
          .stubBaud = stubBaud};
}

// The unit waits in its bootloader (an update was cut, or it was put there), so every run
// starts with the check for it.
struct StubHarness : testing::DialogHarness {
  explicit StubHarness(Stm32Config mcu = {}, McuUpdateOptions options = StubOptions())
      : unit({.stm32 = std::make_shared<Stm32Config>(std::move(mcu)), .startInBootloader = true}),
        link(clock, port, 1, unit) {
    dialog.mcuUpdate().Configure(options);
    dialog.Click(IDC_PORT_BUTTON);
  }
  void Press(const Bytes& raw) {
    image = raw;
    work.Write("data/GENERATOR_MCU(rack).bin", raw);
    Press();
  }
  void Press() {
    results = services.results.size();
    started_ms = clock.Now();
    dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  }
  bool RunToEnd() {
    return clock.RunUntil(
        [&] { return Ended() != nullptr && dialog.m_bPortOpen == 0 && !services.TimerRunning(10); },
        120000);
  }
  const OperationResult* Ended() const { return services.McuUpdateEndedSince(results); }
  bool Succeeded() const {
    return Ended() && Ended()->event == OperationEvent::kMcuUpdateSucceeded;
  }
  std::string Box() const { return services.boxes.empty() ? "" : services.boxes.back().text; }
  Bytes Flash(std::size_t bytes) {
    const auto& flash = unit.mcu().flash();
    return Bytes(flash.begin(), flash.begin() + static_cast<long>(bytes));
  }
  // The flash as the update must leave it: the image, erased everywhere else.
  bool FlashHolds(const Bytes& want) {
    const auto& flash = unit.mcu().flash();
    return std::equal(want.begin(), want.end(), flash.begin()) &&
           std::all_of(flash.begin() + static_cast<long>(want.size()), flash.end(),
                       [](uint8_t b) { return b == 0xFF; });
  }
  // The frames the host sent to the stub, each with the time its last byte was written.
  struct Frame {
    uint64_t atMs;
    Bytes bytes;  // type, sequence, body (CRC checked and removed)
  };
  std::vector<Frame> HostFrames() const {
    std::vector<Frame> frames;
    Bytes encoded;
    for (const auto& write : port.writes) {
      for (uint8_t b : write.bytes) {
        if (b != 0) {
          encoded.push_back(b);
          continue;
        }
        auto frame = stub::CobsDecode(encoded);
        encoded.clear();
        if (!frame || frame->size() < 6 || stub::Crc32(*frame) != 0x2144DF1C) continue;
        frame->resize(frame->size() - 4);
        frames.push_back({write.atMs, *frame});
      }
    }
    return frames;
  }
  uint64_t RomCommands(uint8_t code) { return unit.mcu().commandsTaken(code); }

  testing::TempWorkDir work;
  sim::InstrumentModel unit;
  testing::TimedSimLink link;
  Bytes image;
  std::size_t results = 0;
  uint64_t started_ms = 0;
};

uint32_t Word(const Bytes& b, std::size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// An Intel HEX file from ranges, and the flat image it stands for (0xFF in the gaps).
struct HexImage {
  std::string text;
  Bytes flat;
};
HexImage MakeHex(const std::vector<std::pair<uint32_t, Bytes>>& ranges) {
  HexImage hex;
  uint32_t upper = 0xFFFFFFFF;
  for (const auto& [address, bytes] : ranges) {
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
      const uint32_t a = address + static_cast<uint32_t>(at);
      if (a >> 16 != upper) {
        upper = a >> 16;
        hex.text += testing::HexRecordLine(
            0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
      }
      const Bytes line(bytes.begin() + static_cast<long>(at),
                       bytes.begin() + static_cast<long>(std::min(bytes.size(), at + 16)));
      hex.text += testing::HexRecordLine(0x00, static_cast<uint16_t>(a), line);
    }
    const std::size_t end = address - kFlash + bytes.size();
    if (hex.flat.size() < end) hex.flat.resize(end, 0xFF);
    std::copy(bytes.begin(), bytes.end(), hex.flat.begin() + (address - kFlash));
  }
  hex.text += testing::HexRecordLine(0x01, 0, {});
  return hex;
}

TEST(McuStubUpdate, WritesAndChecksImagesOfSeveralLayoutsAndStartsThem) {
  Bytes erasedHead = testing::PatternImage(3000, 4);
  std::fill(erasedHead.begin(), erasedHead.begin() + 256, 0xFF);  // nothing in the vector block
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, Bytes>> ranges;  // empty: a raw binary, `raw`
    Bytes raw;
  } cases[] = {
      {"64 KiB raw binary", {}, testing::PatternImage(64 * 1024, 1)},
      {"a vector table alone", {}, testing::PatternImage(200, 2)},
      {"HEX with gaps, an odd length",
       {{kFlash, testing::PatternImage(5000, 3)},
        {kFlash + 0x4000, testing::PatternImage(2048, 5)},
        {kFlash + 0x1F001, testing::PatternImage(777, 6)}},
       {}},
      {"an erased vector block", {}, erasedHead},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stm32Config mcu;
    mcu.flashContents = testing::PatternImage(40 * 1024, 99);  // an older firmware
    StubHarness h(mcu);
    Bytes want = c.raw;
    if (c.ranges.empty()) {
      h.Press(c.raw);
    } else {
      const HexImage hex = MakeHex(c.ranges);
      want = hex.flat;
      h.dialog.mcuUpdate().Configure(
          {.pacing = Stm32Pacing::kAcknowledged,
           .verify = true,
           .imageFile = h.work.Write("fw.hex", Bytes(hex.text.begin(), hex.text.end())),
           .start = true,
           .stub = true});
      h.Press();
    }
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_TRUE(h.Succeeded()) << h.Box();
    EXPECT_EQ(h.Ended()->verified, true);
    EXPECT_EQ(h.Ended()->goAccepted, true);
    EXPECT_TRUE(h.FlashHolds(want));
    // The stub wrote it: the ROM bootloader erased nothing and wrote only the stub, and the
    // new firmware was started through it afterwards.
    EXPECT_EQ(h.unit.mcu().ramCodeRuns(), 1u);
    EXPECT_EQ(h.unit.mcu().lastRamCodeExit(), sim::Stm32Exit::kRomEntry);
    EXPECT_TRUE(h.unit.mcu().lastRamCodeStats().faults.empty());
    EXPECT_EQ(h.RomCommands(kRomErase), 0u);
    EXPECT_FALSE(h.unit.mcu().lastWriteAddress()) << "its Write Memory went to RAM only";
    // What the stub programmed counts as written, up to the last half-word that is not erased.
    const auto last = std::find_if(want.rbegin(), want.rend(), [](uint8_t b) { return b != 0xFF; });
    EXPECT_EQ(h.unit.mcu().flashWrittenEnd(), ((want.rend() - last - 1) | 1) + 1);
    EXPECT_EQ(h.unit.mcu().flashStarts(), 1u);
    EXPECT_EQ(h.port.opens.back().baudRate, 115200);
    // The bar moved forward only: writing, then checking.
    const auto& progress = h.services.progress;
    for (std::size_t i = 1; i < progress.size(); ++i) {
      if (progress[i].phase == progress[i - 1].phase)
        EXPECT_GE(progress[i].percent(), progress[i - 1].percent()) << i;
      else
        EXPECT_EQ(progress[i].phase, ProgressPhase::kVerifying) << i;
    }
  }
}

// The vector table's frame goes to the stub only once the rest of the image was written and
// its CRC came back right; nothing follows it but its own check and the leave.
TEST(McuStubUpdate, TheVectorTableGoesLastAfterTheRestIsChecked) {
  StubHarness h;
  h.Press(testing::PatternImage(20 * 1024, 7));
  ASSERT_TRUE(h.RunToEnd());
  ASSERT_TRUE(h.Succeeded()) << h.Box();
  uint64_t restChecked = 0;
  stub::ReplyDecoder decoder;
  for (const auto& out : h.link.fromRamCode) {
    if (auto reply = decoder.Feed(out.byte)) {
      if (auto* crc = std::get_if<stub::CrcResult>(&*reply); crc && crc->address != kFlash)
        restChecked = out.atMs;  // the last of the rest's checks
    }
  }
  ASSERT_NE(restChecked, 0u);
  std::vector<uint8_t> after;  // frame types sent from the vector table's write on
  uint64_t vectorSent = 0;
  for (const auto& frame : h.HostFrames()) {
    const bool vector =
        frame.bytes[0] == uint8_t(stub::Command::kWrite) && Word(frame.bytes, 2) == kFlash;
    if (vector && !vectorSent) vectorSent = frame.atMs;
    if (vectorSent && frame.bytes[0] >= 0x10) after.push_back(frame.bytes[0]);
  }
  EXPECT_GE(vectorSent, restChecked);
  EXPECT_EQ(after, (std::vector<uint8_t>{0x12, 0x13, 0x15})) << "write, CRC, leave";
}

TEST(McuStubUpdate, LostOrDamagedBytesEitherWayAreRepaired) {
  struct Case {
    const char* name;
    Fault toUnit;
    Fault toHost;
  } cases[] = {
      {"a byte to the stub lost",
       [](uint64_t i, uint8_t) { return i == 5000 ? std::optional(-1) : std::nullopt; }, nullptr},
      {"a byte to the stub damaged",
       [](uint64_t i, uint8_t b) { return i == 9000 ? std::optional(b ^ 0x10) : std::nullopt; },
       nullptr},
      {"a Status byte to the host lost", nullptr,
       [](uint64_t i, uint8_t) { return i == 30 ? std::optional(-1) : std::nullopt; }},
      {"a CRC result damaged", nullptr,
       [before = std::pair<int, int>{-1, -1}, done = false](uint64_t, uint8_t b) mutable {
         // The type byte of the first CRC result: after a frame's end and its COBS code.
         const bool crc = !done && before.first == 0 && b == 0x82;
         before = {before.second, b};
         done = done || crc;
         return crc ? std::optional(0x83) : std::nullopt;
       }},
      {"every byte to the host lost for a while", nullptr,
       [](uint64_t i, uint8_t) { return i >= 20 && i < 80 ? std::optional(-1) : std::nullopt; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StubHarness h;
    h.link.toUnit = c.toUnit;
    h.link.toHost = c.toHost;
    h.Press(testing::PatternImage(16 * 1024, 8));
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_TRUE(h.Succeeded()) << h.Box();
    EXPECT_TRUE(h.FlashHolds(h.image));
    EXPECT_EQ(h.unit.mcu().ramCodeRuns(), 1u) << "repaired inside the one stub session";
    EXPECT_EQ(h.RomCommands(kRomErase), 0u);
    if (c.toUnit) {
      // The frame the stub did not take went again.
      std::map<uint32_t, int> writes;
      for (const auto& frame : h.HostFrames()) {
        if (frame.bytes[0] == uint8_t(stub::Command::kWrite)) ++writes[Word(frame.bytes, 2)];
      }
      EXPECT_TRUE(std::any_of(writes.begin(), writes.end(), [](auto& w) { return w.second > 1; }));
    }
  }
}

// The operator closes the port in the middle of the stream: the stub returns to the ROM
// bootloader after its 2 s of silence, and the plain command, without the stub, finishes there.
TEST(McuStubUpdate, TheHostGoneMidStreamLeavesTheRomBootloaderForThePlainCommand) {
  StubHarness h;
  const Bytes image = testing::PatternImage(32 * 1024, 9);
  h.Press(image);
  ASSERT_TRUE(h.clock.RunUntil(
      [&] { return !h.services.progress.empty() && h.services.progress.back().percent() > 30; },
      20000));
  ASSERT_TRUE(h.unit.mcuRunsRamCode());
  EXPECT_TRUE(h.port.keepsInput) << "the stub's replies arrive while the stream is written";
  h.dialog.Click(IDC_PORT_BUTTON);  // closed: the update is abandoned
  EXPECT_EQ(h.Ended(), nullptr);
  EXPECT_FALSE(h.port.keepsInput);
  h.clock.RunFor(4000);
  ASSERT_FALSE(h.unit.mcuRunsRamCode());
  EXPECT_EQ(h.unit.mcu().lastRamCodeExit(), sim::Stm32Exit::kRomEntry);
  EXPECT_TRUE(h.unit.mcu().FirstWordErased()) << "the vector table was not written yet";

  h.dialog.mcuUpdate().Configure({.pacing = Stm32Pacing::kAcknowledged, .verify = true});
  h.dialog.Click(IDC_PORT_BUTTON);
  h.Press(image);
  ASSERT_TRUE(h.RunToEnd());
  ASSERT_TRUE(h.Succeeded()) << h.Box();
  EXPECT_TRUE(h.FlashHolds(image));
  EXPECT_EQ(h.unit.mcu().ramCodeRuns(), 1u);
  EXPECT_EQ(h.RomCommands(kRomErase), 1u);
}

// The controller refuses to erase the whole flash when a page is write-protected: a failure
// after the erase went out, tried again from a fresh sync as in the ROM path, then named.
TEST(McuStubUpdate, AWriteProtectedPageStopsTheEraseAndFailsAfterThreeAttempts) {
  Stm32Config mcu;
  mcu.protectedAddress = kFlash + 0x4010;
  StubHarness h(mcu);
  h.Press(testing::PatternImage(24 * 1024, 10));
  ASSERT_TRUE(h.RunToEnd());
  ASSERT_FALSE(h.Succeeded());
  const OperationResult& failed = *h.Ended();
  EXPECT_EQ(failed.failure, FailureKind::kUnitRefused);
  EXPECT_TRUE(failed.flashIncomplete);
  EXPECT_NE(failed.text.find("could not erase the flash: the page is write-protected"),
            std::string::npos)
      << failed.text;
  EXPECT_NE(failed.text.find("do NOT power it off"), std::string::npos) << failed.text;
  EXPECT_EQ(h.unit.mcu().ramCodeRuns(), 3u) << "three attempts, each from a fresh sync";
  EXPECT_EQ(h.unit.mcu().lastRamCodeExit(), sim::Stm32Exit::kRomEntry);
}

TEST(McuStubUpdate, TheRateSwitchHoldsOrFallsBackToThePortsRate) {
  struct Case {
    const char* name;
    uint32_t linkCarries;  // 0: any rate
    uint32_t asked;
    bool holds;
    bool portSwitched;  // the host reopened its port at the rate asked for
  } cases[] = {
      {"accepted", 230400, 230400, true, true},
      {"the link cannot carry it", 115200, 230400, false, true},
      {"the part's clock cannot make it", 0, 921600, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stm32Config mcu;
    mcu.maxLineBaud = c.linkCarries;
    StubHarness h(mcu, StubOptions(c.asked));
    h.Press(testing::PatternImage(32 * 1024, 11));
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_TRUE(h.Succeeded()) << h.Box();
    EXPECT_TRUE(h.FlashHolds(h.image));
    EXPECT_EQ(h.unit.mcu().ramCodeRuns(), 1u);
    EXPECT_EQ(h.RomCommands(kRomErase), 0u);
    EXPECT_EQ(h.Ended()->goAccepted, true) << "Go through the ROM bootloader at 115200";
    const auto switched =
        std::find_if(h.port.opens.begin(), h.port.opens.end(),
                     [&](const auto& open) { return open.baudRate == int(c.asked); });
    EXPECT_EQ(switched != h.port.opens.end(), c.portSwitched);
    EXPECT_EQ(h.port.opens.back().baudRate, 115200);
    EXPECT_EQ(h.dialog.m_nBaudRate, 115200);
    const double seconds = double(h.clock.Now() - h.started_ms) / 1000;
    const double wire = 32.0 * 1024 * 11 / 115200;
    if (c.holds) EXPECT_LT(seconds, wire * 0.75);
    if (!c.holds) EXPECT_GT(seconds, wire);
  }
}

// The stub never answers, or stops before the erase could reach it: the flash is untouched,
// and the ROM bootloader's own commands write the image in the same update.
TEST(McuStubUpdate, AStubThatDoesNotAnswerFallsBackToTheRomBootloader) {
  struct Case {
    const char* name;
    bool usartOff;
    Fault toHost;
    Fault toUnit;
  } cases[] = {
      {"the bootloader stops the USART before Go", true, nullptr, nullptr},
      {"nothing the stub says arrives", false, [](uint64_t, uint8_t) { return std::optional(-1); },
       nullptr},
      {"the bootloader refuses to load the stub", false, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stm32Config mcu;
    mcu.usartOffAtGo = c.usartOff;
    if (std::string(c.name) == "the bootloader refuses to load the stub") {
      // The stub's second block is refused every time: no Go to half a program.
      mcu.refuseWrite = [](uint32_t address, uint64_t) { return address == 0x20000300; };
    }
    StubHarness h(mcu);
    h.link.toHost = c.toHost;
    h.link.toUnit = c.toUnit;
    h.Press(testing::PatternImage(12 * 1024, 12));
    ASSERT_TRUE(h.RunToEnd());
    ASSERT_TRUE(h.Succeeded()) << h.Box();
    EXPECT_TRUE(h.FlashHolds(h.image));
    EXPECT_EQ(h.RomCommands(kRomErase), 1u) << "the ROM bootloader erased and wrote";
    EXPECT_GT(h.RomCommands(kRomWrite), 12u * 4);
    EXPECT_EQ(h.Ended()->goAccepted, true);
  }
}

}  // namespace
}  // namespace korvelt
