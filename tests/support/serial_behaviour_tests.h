// The serial port's behaviour, the same on every backend. Included once by each backend's test
// file, after it has defined the fixture `SerialBehaviour` with:
//   window            a NotificationWindow
//   port              std::unique_ptr<SerialPort> built on the fixture's backend seam `ops`
//   device            the line's other end: Write(bytes), Read(count, bound)
//   Open(number = kPortUnderTest, parity = 'N'), OpenAndMonitor(...), Queue(bytes)
//   kPortUnderTest    the COM number the fixture maps onto its line, and kAbsentPort
//   ExclusiveOpenEnforced()
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <random>
#include <thread>
#include <vector>

namespace korvelt {
namespace {

using namespace std::chrono_literals;

TEST_F(SerialBehaviour, BurstArrivesByteByByteInOrder) {
  ASSERT_TRUE(OpenAndMonitor());
  std::vector<uint8_t> burst;
  for (int i = 0; i < 700; ++i) burst.push_back(static_cast<uint8_t>(i * 7));
  device.Write(burst);
  ASSERT_TRUE(
      window.PumpUntil([&] { return window.BytesFrom(kPortUnderTest).size() >= burst.size(); }));
  window.PumpFor(50ms);
  EXPECT_EQ(window.BytesFrom(kPortUnderTest), burst);
  EXPECT_GE(window.Count(WM_SERIAL_RXFLAG), 1) << "every data wake ends with a flag notification";
  EXPECT_TRUE(window.ErrorTexts().empty()) << ::testing::PrintToString(window.ErrorTexts());
}

TEST_F(SerialBehaviour, SecondRequestReplacesOneNotTakenUp) {
  ASSERT_TRUE(OpenAndMonitor());
  device.Write({0x55});  // holds the worker inside a notification: neither write is taken up
  ASSERT_TRUE(window.channel.WaitForPending(2000ms));
  Queue({1, 2, 3});
  Queue({4, 5});
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) >= 1; }));
  window.PumpFor(100ms);
  EXPECT_EQ(device.Read(2, 500ms), (std::vector<uint8_t>{4, 5}));
  EXPECT_EQ(window.Count(WM_SERIAL_TXDONE), 1);
}

TEST_F(SerialBehaviour, WriteQueuedDuringWriteIsWrittenAfterIt) {
  std::vector<uint8_t> first(512, 0xA1), second(300, 0xB2);
  std::atomic<bool> queued{false};
  port->SetTraceHook([&](const SerialTraceEvent& event) {
    if (event.kind == SerialTraceEvent::Kind::kWrite && !queued.exchange(true)) Queue(second);
  });
  ASSERT_TRUE(OpenAndMonitor());
  Queue(first);
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) >= 2; }));
  std::vector<uint8_t> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(device.Read(expected.size(), 2000ms), expected);
  window.PumpFor(50ms);
  EXPECT_EQ(window.Count(WM_SERIAL_TXDONE), 2);
  port.reset();  // the hook uses this test's locals
}

// A handler that pauses (the banner recogniser waits 400 ms before it repeats a request) and
// then queues a write: bytes that arrived meanwhile are still delivered, in order, before the
// write and its purge.
TEST_F(SerialBehaviour, BytesArrivingWhileHandlerPausesComeBeforeItsWrite) {
  bool reacted = false;
  window.react = [&](const SerialNotification& n) {
    if (n.message != WM_SERIAL_RXCHAR || reacted) return;
    reacted = true;
    device.Write({2, 3, 4});
    std::this_thread::sleep_for(300ms);  // they reach the port's input queue (a bridge relays)
    Queue({0x42});
  };
  ASSERT_TRUE(OpenAndMonitor());
  device.Write({1});
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) >= 1; }));
  window.PumpFor(50ms);
  EXPECT_EQ(device.Read(1, 1000ms), std::vector<uint8_t>{0x42});
  std::vector<int> order;  // received bytes, -1 for the write's end
  for (const auto& n : window.received) {
    if (n.message == WM_SERIAL_RXCHAR) order.push_back(static_cast<int>(n.wParam));
    if (n.message == WM_SERIAL_TXDONE) order.push_back(-1);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, -1}));
  window.react = nullptr;
}

// Pairs of numbered frames, the second queued while the worker may be taking up the first:
// each frame reaches the other end whole and at most once, in order, and every write made
// ends with one TXDONE.
TEST_F(SerialBehaviour, RequestsRacingTakeUpAreWrittenAtMostOnce) {
  constexpr std::size_t kFrameBytes = 6;
  auto frame = [](uint32_t number) {
    std::vector<uint8_t> bytes{0xC3};
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(uint8_t(number >> shift));
    bytes.push_back(uint8_t(bytes[1] ^ bytes[2] ^ bytes[3] ^ bytes[4]));
    return bytes;
  };
  std::atomic<int> writesMade{0};
  std::atomic<uint32_t> lastWritten{0};
  port->SetTraceHook([&](const SerialTraceEvent& event) {
    if (event.kind != SerialTraceEvent::Kind::kWrite || event.length != kFrameBytes) return;
    lastWritten = event.bytes[1] | event.bytes[2] << 8 | event.bytes[3] << 16 |
                  uint32_t(event.bytes[4]) << 24;
    ++writesMade;
  });
  ASSERT_TRUE(OpenAndMonitor());
  constexpr auto kSpan = 2000ms;
  auto seen = std::async(std::launch::async, [&] { return device.Read(SIZE_MAX, kSpan + 2500ms); });
  std::minstd_rand random(14);
  uint32_t next = 1;
  const auto end = std::chrono::steady_clock::now() + kSpan;
  while (std::chrono::steady_clock::now() < end) {
    Queue(frame(next++));
    // A varying pause, so that the second request lands before, during and after take-up.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 80);
    while (std::chrono::steady_clock::now() < until) {
    }
    const uint32_t second = next++;
    Queue(frame(second));
    ASSERT_TRUE(window.PumpUntil(
        [&] { return lastWritten == second && window.Count(WM_SERIAL_TXDONE) == writesMade; }));
    // Time for a second write of the same request, should one follow.
    window.channel.WaitForPending(1ms);
    window.channel.DrainPending();
  }
  window.PumpFor(200ms);
  const std::vector<uint8_t> bytes = seen.get();
  ASSERT_EQ(bytes.size() % kFrameBytes, 0u) << "only whole frames";
  std::vector<uint32_t> numbers;
  for (std::size_t at = 0; at < bytes.size(); at += kFrameBytes) {
    const std::vector<uint8_t> one(bytes.begin() + long(at),
                                   bytes.begin() + long(at + kFrameBytes));
    const uint32_t number = one[1] | one[2] << 8 | one[3] << 16 | uint32_t(one[4]) << 24;
    ASSERT_EQ(one, frame(number)) << "frame " << at / kFrameBytes;
    ASSERT_TRUE(numbers.empty() || number > numbers.back())
        << "frame " << number << " after " << numbers.back();
    numbers.push_back(number);
  }
  std::printf("%u frames queued, %zu written\n", next - 1, numbers.size());
  EXPECT_EQ(static_cast<int>(numbers.size()), writesMade.load());
  EXPECT_EQ(window.Count(WM_SERIAL_TXDONE), writesMade.load());
  EXPECT_TRUE(window.ErrorTexts().empty()) << ::testing::PrintToString(window.ErrorTexts());
  port.reset();  // the hook uses this test's locals
}

// Writes back to back while the other end reads slowly: the purge before each write drops
// input only, never output the other end has not read yet.
TEST_F(SerialBehaviour, BackToBackWritesAllReachASlowReader) {
  ASSERT_TRUE(OpenAndMonitor());
  constexpr int kWrites = 6;
  std::vector<uint8_t> expected;
  for (int i = 0; i < kWrites * 512; ++i)
    expected.push_back(static_cast<uint8_t>(i * 13 + i / 512));
  auto seen = std::async(std::launch::async, [&] {
    std::vector<uint8_t> bytes;
    while (bytes.size() < expected.size()) {
      const auto part = device.Read(64, 3000ms);
      if (part.empty()) break;
      bytes.insert(bytes.end(), part.begin(), part.end());
      std::this_thread::sleep_for(5ms);
    }
    return bytes;
  });
  for (int w = 0; w < kWrites; ++w) {
    Queue(std::vector<uint8_t>(expected.begin() + w * 512, expected.begin() + (w + 1) * 512));
    ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == w + 1; }, 10000ms))
        << "write " << w;
  }
  EXPECT_EQ(seen.get(), expected);
  EXPECT_TRUE(window.ErrorTexts().empty()) << ::testing::PrintToString(window.ErrorTexts());
}

TEST_F(SerialBehaviour, SingleByteWrite) {
  ASSERT_TRUE(OpenAndMonitor());
  Queue({0x7F});
  EXPECT_EQ(device.Read(1, 1000ms), std::vector<uint8_t>{0x7F});
  EXPECT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == 1; }));
}

TEST_F(SerialBehaviour, InputPendingWhenWriteIsTakenUpIsPurged) {
  ASSERT_TRUE(OpenAndMonitor());
  Queue({0x10});
  ASSERT_TRUE(window.channel.WaitForPending(2000ms));  // the worker waits inside TXDONE
  device.Write({0xEE, 0xEE, 0xEE});
  std::this_thread::sleep_for(
      300ms);  // let the bytes reach the port's input queue (a bridge may relay them)
  Queue({0x20});
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) >= 2; }));
  window.PumpFor(100ms);
  EXPECT_TRUE(window.BytesFrom(kPortUnderTest).empty()) << "the second write's purge dropped them";
  EXPECT_EQ(device.Read(2, 500ms), (std::vector<uint8_t>{0x10, 0x20}));
}

// A stream whose replies come while it is being written keeps them across its writes.
TEST_F(SerialBehaviour, InputPendingWhenWriteIsTakenUpIsKeptForAStream) {
  ASSERT_TRUE(OpenAndMonitor());
  port->KeepInputAcrossWrites(true);
  Queue({0x10});
  ASSERT_TRUE(window.channel.WaitForPending(2000ms));  // the worker waits inside TXDONE
  device.Write({0xEE, 0xED, 0xEC});
  std::this_thread::sleep_for(300ms);  // in the port's input queue before the next write
  Queue({0x20});
  ASSERT_TRUE(window.PumpUntil([&] { return window.BytesFrom(kPortUnderTest).size() >= 3; }));
  EXPECT_EQ(window.BytesFrom(kPortUnderTest), (std::vector<uint8_t>{0xEE, 0xED, 0xEC}));
  EXPECT_EQ(device.Read(2, 500ms), (std::vector<uint8_t>{0x10, 0x20}));
}

TEST_F(SerialBehaviour, AbsentPortFailsSilentlyThenPresentOneOpens) {
  EXPECT_FALSE(Open(kAbsentPort));
  EXPECT_FALSE(port->HoldsPort());
  EXPECT_TRUE(window.ErrorTexts().empty());
  EXPECT_TRUE(Open());
  EXPECT_TRUE(port->HoldsPort());
}

TEST_F(SerialBehaviour, PortHeldByAnotherProgramDoesNotOpen) {
  if (!ExclusiveOpenEnforced()) GTEST_SKIP() << "this system does not hold ports exclusively";
  ASSERT_TRUE(OpenAndMonitor());
  SerialPort other(ops);
  EXPECT_FALSE(other.OpenPort(&window.channel, kPortUnderTest, 115200, 'N', 8, 1, 3, 512));
  port->RequestClose();
  ASSERT_TRUE(window.PumpUntil([&] { return !port->MonitorAlive(); }));
  EXPECT_TRUE(other.OpenPort(&window.channel, kPortUnderTest, 115200, 'N', 8, 1, 3, 512));
}

TEST_F(SerialBehaviour, CloseRequestThenImmediateReopen) {
  ASSERT_TRUE(OpenAndMonitor());
  port->RequestClose();
  ASSERT_TRUE(OpenAndMonitor());
  device.Write({9});
  EXPECT_TRUE(window.PumpUntil([&] { return window.BytesFrom(kPortUnderTest).size() == 1; }));
}

TEST_F(SerialBehaviour, DestructorEndsWorkerBlockedInNotification) {
  ASSERT_TRUE(OpenAndMonitor());
  device.Write({1, 2, 3, 4});
  ASSERT_TRUE(window.channel.WaitForPending(2000ms));
  port.reset();  // nobody drains: the destructor must still end the worker
  SUCCEED();
}

// Ports opened, watched and destroyed one after another, each while its wait for line events
// is pending: a wait that ends after its port is gone must not touch the next port's state.
TEST_F(SerialBehaviour, PortsDestroyedWhileWaitingLeaveTheNextOneWhole) {
  for (int cycle = 0; cycle < 30; ++cycle) {
    port = std::make_unique<SerialPort>(ops);
    ASSERT_TRUE(OpenAndMonitor()) << "cycle " << cycle;
    std::this_thread::sleep_for(std::chrono::milliseconds(cycle % 7));
  }
  window.received.clear();
  device.Write({0x31, 0x32});
  EXPECT_TRUE(window.PumpUntil([&] { return window.BytesFrom(kPortUnderTest).size() == 2; }));
  Queue({0x33});
  EXPECT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == 1; }));
  EXPECT_EQ(device.Read(1, 1000ms), std::vector<uint8_t>{0x33});
  port->RequestClose();
  EXPECT_TRUE(window.PumpUntil([&] { return !port->MonitorAlive(); }));
  EXPECT_TRUE(window.ErrorTexts().empty()) << ::testing::PrintToString(window.ErrorTexts());
}

TEST(SerialPortUnopened, WritesAndClosesDoNothing) {
  SerialPort port;
  const uint8_t frame[270] = {};
  port.QueueWrite(frame, sizeof frame);  // no slot yet: nothing happens
  port.RequestClose();
  EXPECT_FALSE(port.HoldsPort());
  EXPECT_FALSE(port.MonitorAlive());
}

}  // namespace
}  // namespace korvelt
