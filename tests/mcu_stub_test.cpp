// The flashing stub: its real code runs in the emulated MCU behind the ROM bootloader model,
// uploaded with Write Memory and started with Go, and is driven by the host's codec on a
// virtual clock in millisecond steps. Plus the codec on its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <random>

#include "sim/stm32_bootloader_model.h"
#include "update/mcu_stub_image.h"
#include "update/stub_protocol.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::Stm32Config;
using sim::Stm32Exit;
using stub::SenderState;
using stub::StatusCode;
using stub::StubSender;

constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;
constexpr uint32_t kFlash = stub::kFlashStart;
constexpr uint32_t kRate = 115200;

Bytes Random(std::size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(count);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// One range of an image.
struct Range {
  uint32_t address;
  Bytes bytes;
};

// The emulated MCU behind its ROM bootloader, and the host's side, on one millisecond clock.
struct StubRig {
  explicit StubRig(Stm32Config config = {}) : mcu(config) {}

  // Speaks the ROM protocol: sync, the stub in 256-byte Write Memory commands, Go.
  void StartStub() {
    ASSERT_EQ(Rom({kSync}), Bytes{kAck});
    const Bytes image = McuStubImageFor(kRate);
    ASSERT_FALSE(image.empty());
    for (std::size_t offset = 0; offset < image.size(); offset += 256) {
      Bytes block(image.begin() + long(offset),
                  image.begin() + long(std::min(image.size(), offset + 256)));
      while (block.size() % 4) block.push_back(0xFF);
      ASSERT_EQ(Rom({0x31, 0xCE}), Bytes{kAck});
      ASSERT_EQ(Rom(Address(kMcuStubLoadAddress + static_cast<uint32_t>(offset))), Bytes{kAck});
      Bytes data = {static_cast<uint8_t>(block.size() - 1)};
      data.insert(data.end(), block.begin(), block.end());
      uint8_t checksum = 0;
      for (uint8_t b : data) checksum ^= b;
      data.push_back(checksum);
      ASSERT_EQ(Rom(data), Bytes{kAck});
    }
    ASSERT_EQ(Rom({0x21, 0xDE}), Bytes{kAck});
    const Bytes go = Address(kMcuStubLoadAddress);
    mcu.Receive(now, go.data(), go.size());
    const auto answer = mcu.TakeOutput();
    ASSERT_EQ(answer.size(), 1u);
    ASSERT_EQ(answer[0].byte, kAck);
    ASSERT_TRUE(mcu.runningRamCode());
    started_ms = now;
    sender = std::make_unique<StubSender>(kRate, now);
  }

  static Bytes Address(uint32_t address) {
    Bytes bytes = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                   static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    bytes.push_back(bytes[0] ^ bytes[1] ^ bytes[2] ^ bytes[3]);
    return bytes;
  }

  // Bytes to the ROM bootloader, and what it answers within 50 ms.
  Bytes Rom(const Bytes& bytes) {
    mcu.Receive(now, bytes.data(), bytes.size());
    now += 50;
    mcu.AdvanceTo(now);
    Bytes answer;
    for (const auto& out : mcu.TakeOutput()) answer.push_back(out.byte);
    return answer;
  }

  // One millisecond of the conversation. The host's side stops when `host_gone`.
  void Step() {
    mcu.AdvanceTo(now);
    for (const auto& out : mcu.TakeOutput()) {
      const uint64_t index = stub_bytes++;
      if (to_host_fault && to_host_fault(index, out.byte)) continue;
      to_host.emplace(std::make_pair(out.atMs, index), out.byte);
    }
    if (!host_gone) {
      while (!to_host.empty() && to_host.begin()->first.first <= now) {
        sender->OnByte(to_host.begin()->second, now);
        to_host.erase(to_host.begin());
      }
      if (const auto due = sender->Deadline(); due && *due <= now) sender->OnTimer(now);
      Bytes out = sender->TakeOutgoing(now);
      if (sender->lineRate() != host_rate) {
        host_rate = sender->lineRate();
        mcu.SetHostBaud(host_rate);
      }
      Bytes sent;
      for (uint8_t byte : out) {
        const uint64_t index = host_bytes++;
        if (to_stub_fault) {
          if (auto changed = to_stub_fault(index, byte)) {
            if (*changed < 0) continue;
            byte = static_cast<uint8_t>(*changed);
          }
        }
        sent.push_back(byte);
      }
      if (!sent.empty()) {
        last_host_byte_ms = now;
        mcu.Receive(now, sent.data(), sent.size());
      }
    }
    ++now;
  }

  // Runs until the sender is done or failed, at most `limitMs` of virtual time.
  bool RunSender(uint64_t limitMs) {
    const uint64_t end = now + limitMs;
    while (now < end) {
      Step();
      if (sender->state() == SenderState::kDone || sender->state() == SenderState::kFailed) {
        return true;
      }
    }
    return false;
  }

  void RunFor(uint64_t ms) {
    for (uint64_t i = 0; i < ms; ++i) Step();
  }

  const sim::Stm32EmulatorStats& Stats() const {
    return mcu.emulator() ? mcu.emulator()->stats() : mcu.lastRamCodeStats();
  }

  sim::Stm32BootloaderModel mcu;
  std::unique_ptr<StubSender> sender;
  uint64_t now = 0;
  uint64_t started_ms = 0;
  uint64_t last_host_byte_ms = 0;
  uint32_t host_rate = kRate;
  bool host_gone = false;
  std::multimap<std::pair<uint64_t, uint64_t>, uint8_t> to_host;
  uint64_t stub_bytes = 0;
  uint64_t host_bytes = 0;
  // Faults on the line: drop a byte to the host (true), or drop (-1) or change one to the stub.
  std::function<bool(uint64_t index, uint8_t byte)> to_host_fault;
  std::function<std::optional<int>(uint64_t index, uint8_t byte)> to_stub_fault;
};

// The pages the ranges touch, erased one range after another; each range written, then checked.
void QueueImage(StubSender& sender, const std::vector<Range>& ranges) {
  for (const Range& range : ranges) {
    const uint32_t first = range.address / 1024 * 1024;
    const uint32_t end =
        (range.address + static_cast<uint32_t>(range.bytes.size()) + 1023) / 1024 * 1024;
    sender.ErasePages(first, static_cast<uint16_t>((end - first) / 1024));
  }
  for (const Range& range : ranges) sender.Write(range.address, range.bytes);
  for (const Range& range : ranges) sender.Verify(range.address, range.bytes);
  sender.Leave();
}

// What the flash must hold: the ranges, 0xFF in every page they touch, the old contents elsewhere.
Bytes Expected(const Bytes& before, const std::vector<Range>& ranges) {
  Bytes flash = before;
  for (const Range& range : ranges) {
    const uint32_t offset = range.address - kFlash;
    std::fill(flash.begin() + offset / 1024 * 1024,
              flash.begin() + (offset + range.bytes.size() + 1023) / 1024 * 1024, 0xFF);
  }
  for (const Range& range : ranges) {
    std::copy(range.bytes.begin(), range.bytes.end(), flash.begin() + (range.address - kFlash));
  }
  return flash;
}

Stm32Config WithOldFirmware() {
  Stm32Config config;
  config.flashContents = Random(40 * 1024, 99);
  return config;
}

// The ROM bootloader answers again, found as a resuming host finds it: 0x7F, and on silence
// another (bytes still on the wire when the stub left may have synced it already: NACK).
void ExpectBackInRom(StubRig& rig, Stm32Exit how) {
  EXPECT_FALSE(rig.mcu.runningRamCode());
  EXPECT_EQ(rig.mcu.lastRamCodeExit(), how);
  Bytes answer;
  for (int i = 0; i < 3 && answer.empty(); ++i) answer = rig.Rom({kSync});
  ASSERT_EQ(answer.size(), 1u) << "the ROM bootloader must answer its sync byte";
  EXPECT_TRUE(answer[0] == kAck || answer[0] == kNack);
  const Bytes get = rig.Rom({0x00, 0xFF});
  ASSERT_FALSE(get.empty());
  EXPECT_EQ(get[0], kAck) << "Get after the sync";
}

struct ImageCase {
  const char* name;
  std::vector<Range> ranges;
  bool watchdog = false;
};

TEST(McuStub, WritesAndVerifiesImagesOfEverySizeAndLayout) {
  Bytes tail = Random(777, 5);
  Bytes holes = Random(6000, 6);
  std::fill(holes.begin() + 1000, holes.begin() + 3500, 0xFF);  // an erased run inside a range
  const ImageCase cases[] = {
      {.name = "one frame", .ranges = {{kFlash, Random(1024, 1)}}},
      {.name = "64 KiB at once", .ranges = {{kFlash, Random(64 * 1024, 2)}}},
      {.name = "three ranges with gaps, an odd start and length",
       .ranges = {{kFlash, Random(5000, 3)},
                  {kFlash + 0x4000, Random(2048, 4)},
                  {kFlash + 0x1F001, tail}}},
      {.name = "erased runs inside, watchdog running",
       .ranges = {{kFlash + 0x800, holes}},
       .watchdog = true},
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    Stm32Config config = WithOldFirmware();
    config.watchdogRunning = c.watchdog;
    StubRig rig(config);
    const Bytes before = rig.mcu.flash();
    rig.StartStub();
    QueueImage(*rig.sender, c.ranges);
    ASSERT_TRUE(rig.RunSender(30000));
    ASSERT_EQ(rig.sender->state(), SenderState::kDone) << rig.sender->failure().text;
    EXPECT_TRUE(rig.sender->leaveConfirmed());
    EXPECT_EQ(rig.sender->crcResults().size(), c.ranges.size());
    EXPECT_EQ(rig.mcu.flash(), Expected(before, c.ranges));
    EXPECT_EQ(rig.sender->framesResent(), 0u);
    rig.RunFor(20);
    ExpectBackInRom(rig, Stm32Exit::kRomEntry);
    const auto& stats = rig.mcu.lastRamCodeStats();
    EXPECT_TRUE(stats.faults.empty()) << stats.faults.front();
    EXPECT_EQ(stats.overruns, 0u);
    EXPECT_EQ(stats.txOverwrites, 0u);
  }
}

// 64 KiB written and checked by CRC at 115200: the line is the bound (64 KiB x 11 bits / 115200
// = 6.26 s); the ROM bootloader's Write Memory with a read-back takes about 15 s.
TEST(McuStub, SixtyFourKibTakeAboutTheWireTime) {
  StubRig rig;
  rig.StartStub();
  const Range image{kFlash, Random(64 * 1024, 7)};
  rig.sender->EraseAll();
  rig.sender->Write(image.address, image.bytes);
  rig.sender->Verify(image.address, image.bytes);
  const uint64_t start = rig.now;
  ASSERT_TRUE(rig.RunSender(20000));
  ASSERT_EQ(rig.sender->state(), SenderState::kDone) << rig.sender->failure().text;
  const double emulated = double(rig.now - start) / 1000;
  const double wire = 64.0 * 1024 * 11 / kRate;
  const auto& stats = rig.Stats();
  std::printf(
      "64 KiB written and verified in %.2f s emulated (wire bound %.2f s, %.1f %% over); "
      "%.1f emulated s per real s, %.1f M instructions\n",
      emulated, wire, 100 * (emulated / wire - 1),
      double(rig.now - rig.started_ms) / 1000 / std::max(stats.wallSeconds, 1e-6),
      double(stats.instructions) / 1e6);
  EXPECT_LT(emulated, 7.5) << "under half the ROM bootloader's 15 s";
  EXPECT_LT(emulated, wire * 1.08);
  EXPECT_EQ(rig.mcu.flash().size(), 128u * 1024);
  EXPECT_TRUE(std::equal(image.bytes.begin(), image.bytes.end(), rig.mcu.flash().begin()));
}

struct LineFault {
  const char* name;
  std::function<bool(uint64_t, uint8_t)> toHost;
  std::function<std::optional<int>(uint64_t, uint8_t)> toStub;
  bool resends;  // the host must send frames again
};

TEST(McuStub, LostOrDamagedBytesEitherWayAreRepaired) {
  const LineFault faults[] = {
      {"a byte to the stub lost", nullptr,
       [](uint64_t i, uint8_t) -> std::optional<int> {
         return i == 5000 ? std::optional(-1) : std::nullopt;
       },
       true},
      {"a byte to the stub damaged", nullptr,
       [](uint64_t i, uint8_t b) -> std::optional<int> {
         return i == 9000 ? std::optional(b ^ 0x10) : std::nullopt;
       },
       true},
      {"the zeros between two frames to the stub lost", nullptr,
       [zeros = 0](uint64_t i, uint8_t b) mutable -> std::optional<int> {
         if (i < 3000 || b != 0 || ++zeros > 2) return std::nullopt;
         return -1;
       },
       true},
      {"a Status byte to the host lost", [](uint64_t i, uint8_t) { return i == 30; }, nullptr,
       false},
      {"every byte to the host lost for a while",
       [](uint64_t i, uint8_t) { return i >= 20 && i < 60; }, nullptr, false},
  };
  for (const LineFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    StubRig rig;
    rig.StartStub();
    rig.to_host_fault = fault.toHost;
    if (fault.toStub) {
      rig.to_stub_fault = fault.toStub;
    }
    const Range image{kFlash, Random(16 * 1024, 8)};
    QueueImage(*rig.sender, {image});
    ASSERT_TRUE(rig.RunSender(30000));
    ASSERT_EQ(rig.sender->state(), SenderState::kDone) << rig.sender->failure().text;
    EXPECT_TRUE(std::equal(image.bytes.begin(), image.bytes.end(), rig.mcu.flash().begin()));
    if (fault.resends) EXPECT_GT(rig.sender->framesResent(), 0u);
    if (!fault.resends) EXPECT_GT(rig.sender->queriesSent() + rig.sender->decoder().damaged(), 0u);
    rig.RunFor(20);
    ExpectBackInRom(rig, Stm32Exit::kRomEntry);
  }
}

TEST(McuStub, HostGoneMidStreamLeavesThePartInItsRomBootloader) {
  StubRig rig;
  rig.StartStub();
  rig.sender->EraseAll();
  rig.sender->Write(kFlash, Random(32 * 1024, 9));
  rig.RunFor(1500);
  ASSERT_EQ(rig.sender->state(), SenderState::kRunning);
  rig.host_gone = true;
  const uint64_t gone = rig.now;
  // The frames still on the wire (at most a window, 1.4 s) reach the stub; 2 s after the last
  // it gives up.
  rig.RunFor(2000);
  EXPECT_TRUE(rig.mcu.runningRamCode()) << "the stub waits 2 s for the host";
  while (rig.mcu.runningRamCode() && rig.now < gone + 4000) rig.Step();
  ASSERT_FALSE(rig.mcu.runningRamCode());
  EXPECT_GT(rig.now - gone, 2000u);
  EXPECT_TRUE(rig.mcu.lastRamCodeStats().faults.empty());
  ExpectBackInRom(rig, Stm32Exit::kRomEntry);
}

TEST(McuStub, AFaultInTheStubReturnsToTheRomBootloader) {
  Stm32Config config;
  config.busFaultAtFlashRead = 3;  // the read-back of the third programmed half-word
  StubRig rig(config);
  rig.StartStub();
  rig.sender->EraseAll();
  rig.sender->Write(kFlash, Random(4096, 10));
  rig.RunFor(2000);
  ASSERT_FALSE(rig.mcu.runningRamCode());
  ExpectBackInRom(rig, Stm32Exit::kRomEntry);
  ASSERT_EQ(rig.mcu.lastRamCodeStats().faults.size(), 1u);
  EXPECT_EQ(rig.mcu.lastRamCodeStats().faults[0], "bus fault injected at a flash read");
}

struct ProtectedCase {
  const char* name;
  bool erase;
  uint32_t expectedAddress;
};

TEST(McuStub, AWriteProtectedPageIsReportedWithItsAddress) {
  const uint32_t page = kFlash + 0x4000;
  Bytes data = Random(0x6000, 11);
  data[0x4000] = data[0x4001] = 0xFF;  // the page's first half-word is erased: nothing to do
  const ProtectedCase cases[] = {
      {"erasing it", true, page},
      {"programming it", false, page + 2},
  };
  for (const ProtectedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Stm32Config config;
    config.protectedAddress = page + 0x10;
    config.factoryFirmware = false;  // programmed without an erase
    StubRig rig(config);
    rig.StartStub();
    if (c.erase) rig.sender->ErasePages(kFlash, 0x6000 / 1024);
    rig.sender->Write(kFlash, data);
    ASSERT_TRUE(rig.RunSender(20000));
    ASSERT_EQ(rig.sender->state(), SenderState::kFailed);
    EXPECT_EQ(rig.sender->failure().code, StatusCode::kWriteProtected);
    EXPECT_EQ(rig.sender->failure().address, c.expectedAddress);
    // Nothing after the failed command ran; the pages before it hold the image.
    if (!c.erase) {
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + 0x4000, rig.mcu.flash().begin()));
      EXPECT_TRUE(std::all_of(rig.mcu.flash().begin() + 0x4400, rig.mcu.flash().begin() + 0x6000,
                              [](uint8_t b) { return b == 0xFF; }));
    }
    rig.host_gone = true;
    const uint64_t gone = rig.now;
    while (rig.mcu.runningRamCode() && rig.now < gone + 4000) rig.Step();
    ExpectBackInRom(rig, Stm32Exit::kRomEntry);
  }
}

TEST(McuStub, BaudSwitchAcceptedCarriesTheImageFaster) {
  Stm32Config config;
  config.maxLineBaud = 230400;
  StubRig rig(config);
  rig.StartStub();
  rig.sender->SwitchBaud(230400);
  const Range image{kFlash, Random(32 * 1024, 12)};
  rig.sender->EraseAll();
  rig.sender->Write(image.address, image.bytes);
  rig.sender->Verify(image.address, image.bytes);
  rig.sender->Leave();
  const uint64_t start = rig.now;
  ASSERT_TRUE(rig.RunSender(20000));
  ASSERT_EQ(rig.sender->state(), SenderState::kDone) << rig.sender->failure().text;
  ASSERT_EQ(rig.sender->baudOutcomes().size(), 1u);
  EXPECT_TRUE(rig.sender->baudOutcomes()[0].accepted);
  EXPECT_EQ(rig.sender->lineRate(), 230400u);
  EXPECT_LT(double(rig.now - start) / 1000, 32.0 * 1024 * 11 / 230400 * 1.15);
  EXPECT_TRUE(std::equal(image.bytes.begin(), image.bytes.end(), rig.mcu.flash().begin()));
  rig.RunFor(20);
  ExpectBackInRom(rig, Stm32Exit::kRomEntry);
}

struct RefusedCase {
  const char* name;
  uint32_t maxLineBaud;
  uint32_t rate;
};

TEST(McuStub, BaudSwitchRefusedOrUnconfirmedFallsBackToTheOldRate) {
  const RefusedCase cases[] = {
      {"the link cannot carry the rate", 115200, 230400},
      {"the stub's clock cannot make the rate", 0, 921600},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Stm32Config config;
    config.maxLineBaud = c.maxLineBaud;
    StubRig rig(config);
    rig.StartStub();
    rig.sender->SwitchBaud(c.rate);
    const Range image{kFlash, Random(8 * 1024, 13)};
    QueueImage(*rig.sender, {image});
    ASSERT_TRUE(rig.RunSender(20000));
    ASSERT_EQ(rig.sender->state(), SenderState::kDone) << rig.sender->failure().text;
    ASSERT_EQ(rig.sender->baudOutcomes().size(), 1u);
    EXPECT_FALSE(rig.sender->baudOutcomes()[0].accepted);
    EXPECT_EQ(rig.sender->lineRate(), kRate);
    EXPECT_TRUE(std::equal(image.bytes.begin(), image.bytes.end(), rig.mcu.flash().begin()));
    rig.RunFor(20);
    ExpectBackInRom(rig, Stm32Exit::kRomEntry);
  }
}

// The codec on its own.

TEST(StubCodec, CobsRoundTripsAndNeverSendsAZero) {
  const Bytes cases[] = {{}, {0}, {0, 0, 0}, Bytes(254, 7), Bytes(255, 7), Bytes(600, 1), [] {
                           Bytes b = Random(1000, 14);
                           b[0] = b[253] = b[999] = 0;
                           return b;
                         }()};
  for (const Bytes& bytes : cases) {
    const Bytes encoded = stub::CobsEncode(bytes);
    EXPECT_EQ(std::count(encoded.begin(), encoded.end(), 0), 0);
    EXPECT_EQ(stub::CobsDecode(encoded), bytes) << bytes.size() << " bytes";
  }
  EXPECT_EQ(stub::CobsDecode(Bytes{0x05, 1, 2}), std::nullopt) << "a group past the end";
}

TEST(StubCodec, Crc32IsZlibs) {
  const std::string check = "123456789";
  EXPECT_EQ(stub::Crc32({reinterpret_cast<const uint8_t*>(check.data()), check.size()}),
            0xCBF43926u);
}

// A reply as the stub sends it.
Bytes Reply(stub::ReplyType type, const Bytes& body, uint8_t seq = 0) {
  Bytes frame = {static_cast<uint8_t>(type), seq};
  frame.insert(frame.end(), body.begin(), body.end());
  const uint32_t crc = stub::Crc32(frame);
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  Bytes out = stub::CobsEncode(frame);
  out.push_back(0);
  return out;
}

TEST(StubCodec, DecoderTakesIntactRepliesAndCountsTheRest) {
  stub::ReplyDecoder decoder;
  std::vector<stub::Reply> got;
  auto feed = [&](const Bytes& bytes) {
    for (uint8_t b : bytes) {
      if (auto r = decoder.Feed(b)) got.push_back(*r);
    }
  };
  feed(Reply(stub::ReplyType::kStatus, {3, 5, 4, 0x10, 0x40, 0x00, 0x08}));
  Bytes damaged = Reply(stub::ReplyType::kStatus, {3, 5, 0, 0, 0, 0, 0});
  damaged[2] ^= 1;
  feed(damaged);
  feed(Reply(stub::ReplyType::kStatus, {3, 5, 0}));  // too short for a Status
  feed(Bytes(100, 0x33));                            // noise, then a zero
  feed({0});
  feed(Reply(stub::ReplyType::kCrcResult, {0, 0, 0, 8, 0, 4, 0, 0, 0x78, 0x56, 0x34, 0x12}, 9));
  ASSERT_EQ(got.size(), 2u);
  const auto& status = std::get<stub::Status>(got[0]);
  EXPECT_EQ(status.code, StatusCode::kWriteProtected);
  EXPECT_EQ(status.address, 0x08004010u);
  const auto& crc = std::get<stub::CrcResult>(got[1]);
  EXPECT_EQ(crc.seq, 9);
  EXPECT_EQ(crc.crc, 0x12345678u);
  EXPECT_EQ(decoder.damaged(), 3u);
}

// The sender against a scripted stub: the window, a Gap, time-outs and failures.
struct ScriptedStub {
  StubSender sender{kRate, 0};
  uint64_t now = 0;
  std::vector<std::pair<uint8_t, uint8_t>> frames;  // (command, sequence) as sent

  void Say(const Bytes& reply) {
    for (uint8_t b : reply) sender.OnByte(b, now);
  }
  void Ready(uint8_t window = 4) {
    Say(Reply(stub::ReplyType::kReady, {1, window, 0x00, 0x04, 0x00, 0x04, 128, 0, 0, 0}));
  }
  void Status(uint8_t done, uint8_t expect, StatusCode code = StatusCode::kOk,
              uint32_t address = 0) {
    Say(Reply(stub::ReplyType::kStatus,
              {done, expect, static_cast<uint8_t>(code), static_cast<uint8_t>(address),
               static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address >> 16),
               static_cast<uint8_t>(address >> 24)}));
  }
  // What the sender sends now, frame by frame.
  std::size_t Take() {
    const Bytes out = sender.TakeOutgoing(now);
    std::size_t count = 0;
    Bytes frame;
    for (uint8_t b : out) {
      if (b != 0) {
        frame.push_back(b);
        continue;
      }
      if (frame.empty()) continue;
      const auto decoded = stub::CobsDecode(frame);
      frame.clear();
      if (!decoded) continue;
      frames.emplace_back((*decoded)[0], (*decoded)[1]);
      ++count;
    }
    return count;
  }
};

TEST(StubSender, KeepsTheWindowAndGoesBackAfterAGap) {
  ScriptedStub s;
  s.sender.Write(kFlash, Random(8 * 1024, 15));  // 8 frames
  EXPECT_EQ(s.Take(), 0u) << "nothing before the stub's Ready";
  s.Ready(4);
  EXPECT_EQ(s.Take(), 4u) << "a window of four";
  EXPECT_EQ(s.Take(), 0u);
  s.Status(2, 4);  // two executed: two more may go
  EXPECT_EQ(s.Take(), 2u);
  EXPECT_EQ(s.frames.back().second, 5);
  s.Status(2, 4, StatusCode::kGap);  // frame 4 was lost: 4 and 5 again
  EXPECT_EQ(s.Take(), 2u);
  EXPECT_EQ(s.frames[s.frames.size() - 2].second, 4);
  EXPECT_EQ(s.sender.framesResent(), 2u);
  s.Status(6, 6);
  EXPECT_EQ(s.Take(), 2u);
  s.Status(8, 8);
  EXPECT_EQ(s.Take(), 0u);
  EXPECT_EQ(s.sender.state(), SenderState::kDone);
  EXPECT_EQ(s.sender.bytesDone(), 8u * 1024);
}

TEST(StubSender, SendsTheLastFrameAgainWhenTheQueryShowsItLost) {
  ScriptedStub s;
  s.sender.Write(kFlash, Random(2048, 19));
  s.sender.Leave();
  s.Ready();
  EXPECT_EQ(s.Take(), 2u);
  s.Status(2, 2);  // both writes executed; the Leave never arrived
  EXPECT_EQ(s.Take(), 1u);
  s.now = *s.sender.Deadline();
  s.sender.OnTimer(s.now);
  EXPECT_EQ(s.Take(), 1u);
  EXPECT_EQ(s.frames.back().first, static_cast<uint8_t>(stub::Command::kQuery));
  s.Status(2, 2);
  EXPECT_EQ(s.Take(), 1u);
  EXPECT_EQ(s.frames.back(),
            std::make_pair(static_cast<uint8_t>(stub::Command::kLeave), uint8_t{2}));
  // Now the stub leaves and its Status is lost: one unanswered Query, and the sender is done.
  s.now = *s.sender.Deadline();
  s.sender.OnTimer(s.now);
  s.now = *s.sender.Deadline();
  s.sender.OnTimer(s.now);
  EXPECT_EQ(s.sender.state(), SenderState::kDone);
  EXPECT_FALSE(s.sender.leaveConfirmed());
  // That Query holds no byte the ROM bootloader would take for its sync byte.
  const Bytes query = stub::EncodeFrame(stub::Command::kQuery, 0, {});
  EXPECT_EQ(std::count(query.begin(), query.end(), kSync), 0);
}

TEST(StubSender, AsksWhenARepliesAreOverdueAndGivesUpOnSilence) {
  ScriptedStub s;
  s.sender.EraseAll();
  s.Ready();
  EXPECT_EQ(s.Take(), 1u);
  for (int query = 1; query <= stub::kMaxQueries; ++query) {
    ASSERT_TRUE(s.sender.Deadline());
    s.now = *s.sender.Deadline();
    s.sender.OnTimer(s.now);
    EXPECT_EQ(s.Take(), 1u);
    EXPECT_EQ(s.frames.back().first, static_cast<uint8_t>(stub::Command::kQuery));
  }
  s.now = *s.sender.Deadline();
  s.sender.OnTimer(s.now);
  EXPECT_EQ(s.sender.state(), SenderState::kFailed);
  EXPECT_EQ(s.sender.failure().text, "the stub does not answer");
}

TEST(StubSender, FailsOnTheStubsErrorAndOnADifferentCrc) {
  {
    ScriptedStub s;
    s.sender.Write(kFlash, Random(2048, 16));
    s.Ready();
    s.Take();
    s.Status(1, 1, StatusCode::kNotErased, kFlash + 0x402);
    EXPECT_EQ(s.sender.state(), SenderState::kFailed);
    EXPECT_EQ(s.sender.failure().code, StatusCode::kNotErased);
    EXPECT_EQ(s.sender.failure().address, kFlash + 0x402);
  }
  {
    ScriptedStub s;
    const Bytes image = Random(100, 17);
    s.sender.Verify(kFlash, image);
    s.Ready();
    s.Take();
    const uint32_t wrong = stub::Crc32(image) ^ 1;
    s.Say(Reply(
        stub::ReplyType::kCrcResult,
        {0, 0, 0, 8, 100, 0, 0, 0, static_cast<uint8_t>(wrong), static_cast<uint8_t>(wrong >> 8),
         static_cast<uint8_t>(wrong >> 16), static_cast<uint8_t>(wrong >> 24)}));
    EXPECT_EQ(s.sender.state(), SenderState::kFailed);
    EXPECT_EQ(s.sender.failure().code, StatusCode::kVerifyFailed);
  }
}

TEST(StubSender, AsksForACrcAgainWhenItsResultWasLost) {
  ScriptedStub s;
  s.sender.Verify(kFlash, Random(100, 18));
  s.Ready();
  EXPECT_EQ(s.Take(), 1u);
  s.Status(1, 1);  // executed, but the result never came
  EXPECT_EQ(s.sender.state(), SenderState::kRunning);
  EXPECT_EQ(s.Take(), 1u);
  EXPECT_EQ(s.frames.back(), std::make_pair(static_cast<uint8_t>(stub::Command::kCrc), uint8_t{1}));
}

TEST(McuStubImage, CarriesItsParameterBlock) {
  const auto image = McuStubImage();
  ASSERT_GT(image.size(), kMcuStubParamsOffset + 8);
  const Bytes patched = McuStubImageFor(57600);
  ASSERT_EQ(patched.size(), image.size());
  EXPECT_EQ(patched[kMcuStubParamsOffset + 4], 57600 & 0xFF);
  EXPECT_EQ(patched[kMcuStubParamsOffset + 5], (57600 >> 8) & 0xFF);
  // The vector table: a stack pointer in RAM, a Thumb reset handler inside the image.
  const uint32_t sp = image[0] | image[1] << 8 | image[2] << 16 | uint32_t(image[3]) << 24;
  const uint32_t reset = image[4] | image[5] << 8 | image[6] << 16 | uint32_t(image[7]) << 24;
  EXPECT_EQ(sp, 0x20005000u);
  EXPECT_EQ(reset & 1, 1u);
  EXPECT_LT(reset - kMcuStubLoadAddress, image.size());
}

}  // namespace
}  // namespace korvelt
