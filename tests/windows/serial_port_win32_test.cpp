// The Win32 serial port on COM ports that Wine maps onto a bridged pair of pseudo-terminals:
// the port under test on one end, a plain blocking COM handle as the device on the other.
// run_with_com_pairs.sh links COM3<->COM4, COM12<->COM13 and COM14<->COM15 before this
// program starts.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "serial/serial_messages.h"
#include "serial/serial_port.h"
#include "serial/win32_comm_ops.h"
#include "tests/support/notification_window.h"

namespace korvelt {
namespace {

using namespace std::chrono_literals;
using Window = testing::NotificationWindow;

constexpr int kPortUnderTest = 3;
constexpr int kDevicePort = 4;
constexpr int kHighPortUnderTest = 12;
constexpr int kHighDevicePort = 13;
constexpr int kHangUpPortUnderTest = 14;  // its bridge ends when the device side closes
constexpr int kHangUpDevicePort = 15;
constexpr int kAbsentPort = 57;

// Records the names opened and the line settings asked of the system.
class RecordingOps : public SerialPortBackendOps {
 public:
  HANDLE Open(const char* portName) override {
    names.push_back(portName);
    return SerialPortBackendOps::Open(portName);
  }
  BOOL SetState(HANDLE port, DCB* settings) override {
    requested.push_back(*settings);
    if (failSetState) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return SerialPortBackendOps::SetState(port, settings);
  }

  BOOL Purge(HANDLE port, DWORD flags) override {
    purges.push_back(flags);
    return SerialPortBackendOps::Purge(port, flags);
  }
  // Called on the worker thread.
  BOOL ReadStatus(HANDLE port, DWORD* errors, COMSTAT* status) override {
    if (const DWORD code = failNextStatus.exchange(0)) {
      ::SetLastError(code);
      return FALSE;
    }
    return SerialPortBackendOps::ReadStatus(port, errors, status);
  }

  std::vector<std::string> names;
  std::vector<DCB> requested;
  std::vector<DWORD> purges;
  bool failSetState = false;
  std::atomic<DWORD> failNextStatus{0};
};

// The device's end of the line: blocking reads with a short interval time-out.
class ComDevice {
 public:
  explicit ComDevice(int number) {
    handle_ = ::CreateFileA(SerialPort::PortName(number).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    ::GetCommState(handle_, &settings);
    ::BuildCommDCBA("baud=115200 parity=N data=8 stop=1", &settings);
    ::SetCommState(handle_, &settings);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 20, 0, 1000};
    ::SetCommTimeouts(handle_, &timeouts);
    ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }
  ~ComDevice() {
    if (ok()) ::CloseHandle(handle_);
  }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

  void Write(const std::vector<uint8_t>& bytes) {
    DWORD written = 0;
    ::WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  std::vector<uint8_t> Read(std::size_t count, std::chrono::milliseconds bound) {
    std::vector<uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
      uint8_t buffer[1024];
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min(count - bytes.size(), sizeof buffer));
      if (!::ReadFile(handle_, buffer, want, &got, nullptr)) break;
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

struct Win32PortFixture : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(device.ok()) << "COM" << kDevicePort << " is not mapped; run through "
                             << "run_with_com_pairs.sh";
    port = std::make_unique<SerialPort>(ops);
  }
  bool Open(int number = kPortUnderTest, char parity = 'N') {
    return port->OpenPort(&window.channel, number, 115200, parity, 8, 1, 3, 512);
  }
  bool OpenAndMonitor(int number = kPortUnderTest, char parity = 'N') {
    return Open(number, parity) && port->StartMonitor();
  }
  void Queue(const std::vector<uint8_t>& bytes) {
    port->QueueWrite(bytes.data(), static_cast<int>(bytes.size()));
  }

  // Windows' serial driver lets one handle hold a COM port; Wine's mapping onto a terminal
  // does not enforce that.
  static bool ExclusiveOpenEnforced() {
    return !::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version");
  }

  ComDevice device{kDevicePort};
  std::shared_ptr<RecordingOps> ops = std::make_shared<RecordingOps>();
  Window window;
  std::unique_ptr<SerialPort> port;
};

using SerialBehaviour = Win32PortFixture;

TEST_F(Win32PortFixture, LineSettingsAskedOfTheSystemAndReopenLeavesOneWorker) {
  std::atomic<int> closes{0};
  port->SetTraceHook([&](const SerialTraceEvent& event) {
    if (event.kind == SerialTraceEvent::Kind::kClose) ++closes;
  });
  ASSERT_TRUE(OpenAndMonitor());
  ops->requested.clear();
  ASSERT_TRUE(OpenAndMonitor(kPortUnderTest, 'E'));
  EXPECT_EQ(closes, 1) << "the old worker closed its handle and ended";
  ASSERT_EQ(ops->requested.size(), 1u);
  const DCB& dcb = ops->requested.front();
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.Parity, EVENPARITY);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(dcb.EvtChar, 'q');
  EXPECT_EQ(ops->names, (std::vector<std::string>{"COM3", "COM3"}));
  EXPECT_TRUE(window.ErrorTexts().empty()) << ::testing::PrintToString(window.ErrorTexts());
  device.Write({1, 2, 3});
  ASSERT_TRUE(window.PumpUntil([&] { return window.BytesFrom(3).size() >= 3; }));
  window.PumpFor(50ms);
  EXPECT_EQ(window.BytesFrom(3), (std::vector<uint8_t>{1, 2, 3})) << "one worker, no duplicates";
  port.reset();  // the hook uses this test's locals
}

// Output is purged only where nothing can be on its way (open, start of the worker): a purge of
// output before a write would drop the end of the previous write while the line still
// carries it.
TEST_F(Win32PortFixture, OnlyInputIsPurgedBeforeEachWrite) {
  ASSERT_TRUE(OpenAndMonitor());
  constexpr DWORD kEverything = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  EXPECT_EQ(ops->purges, (std::vector<DWORD>{kEverything, kEverything})) << "at open and start";
  ops->purges.clear();
  Queue(std::vector<uint8_t>(512, 0xA1));
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == 1; }));
  Queue({0xB2});
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == 2; }));
  EXPECT_EQ(ops->purges,
            (std::vector<DWORD>{PURGE_RXABORT | PURGE_RXCLEAR, PURGE_RXABORT | PURGE_RXCLEAR}));
  EXPECT_EQ(device.Read(513, 2000ms).size(), 513u);
}

TEST_F(Win32PortFixture, RefusedSettingIsReportedAndPortStaysOpen) {
  ops->failSetState = true;
  ASSERT_TRUE(Open());
  window.PumpFor(20ms);
  auto errors = window.ErrorTexts();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("WARNING:  SetCommState() Failed with the following error: \n", 0), 0u)
      << errors[0];
  EXPECT_NE(errors[0].find("\nPort: 3\n"), std::string::npos);
  EXPECT_TRUE(port->HoldsPort());
}

// Only the errors that mean the device is gone stop reading; any other failure is reported and
// the bytes still arrive.
TEST_F(Win32PortFixture, ReadingStopsOnlyWhenTheDeviceIsGone) {
  const struct {
    DWORD code;
    bool readingGoesOn;
  } cases[] = {{ERROR_GEN_FAILURE, true}, {ERROR_DEVICE_REMOVED, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    port.reset();
    window.received.clear();
    device.Read(64, 50ms);  // nothing left over from the previous case
    port = std::make_unique<SerialPort>(ops);
    ops->failNextStatus = c.code;
    ASSERT_TRUE(OpenAndMonitor());
    device.Write({1});
    ASSERT_TRUE(window.PumpUntil([&] { return !window.ErrorTexts().empty(); }));
    device.Write({2, 3});
    if (c.readingGoesOn) {
      EXPECT_TRUE(window.PumpUntil([&] { return window.BytesFrom(kPortUnderTest).size() >= 3; }));
    } else {
      window.PumpFor(300ms);
    }
    const std::vector<uint8_t> expected =
        c.readingGoesOn ? std::vector<uint8_t>{1, 2, 3} : std::vector<uint8_t>{};
    EXPECT_EQ(window.BytesFrom(kPortUnderTest), expected);
    const auto errors = window.ErrorTexts();
    ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(errors);
    EXPECT_NE(errors[0].find("ClearCommError()"), std::string::npos) << errors[0];
    Queue({0x09});  // writes are carried out either way
    EXPECT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == 1; }));
    EXPECT_EQ(device.Read(1, 1000ms), std::vector<uint8_t>{0x09});
  }
}

TEST(Win32SerialPort, PortTwelveOpensThroughTheDeviceNamespace) {
  auto ops = std::make_shared<RecordingOps>();
  ComDevice device(kHighDevicePort);
  ASSERT_TRUE(device.ok());
  Window window;
  SerialPort port(ops);
  ASSERT_TRUE(port.OpenPort(&window.channel, kHighPortUnderTest, 115200, 'N', 8, 1, 3, 512));
  ASSERT_TRUE(port.StartMonitor());
  EXPECT_EQ(ops->names, std::vector<std::string>{"\\\\.\\COM12"});
  const std::vector<uint8_t> probe{0x5A, 0xA5, 0x01};
  port.QueueWrite(probe.data(), static_cast<int>(probe.size()));
  EXPECT_EQ(device.Read(probe.size(), 2000ms), probe);
  device.Write({0x42});
  EXPECT_TRUE(window.PumpUntil([&] { return window.BytesFrom(12).size() == 1; }));
}

double ProcessCpuSeconds() {
  FILETIME created, ended, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernel, &user);
  auto seconds = [](const FILETIME& t) {
    return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

// Wine ends every comm-event wait on a terminal after a few milliseconds without an event, and
// cannot tell a hung-up line from a quiet one: both must cost little and report nothing.
TEST(Win32SerialPort, QuietAndHungUpLinesDoNotSpinAndRequestsAreHonoured) {
  Window window;
  SerialPort port;
  auto device = std::make_unique<ComDevice>(kHangUpDevicePort);
  ASSERT_TRUE(device->ok());
  ASSERT_TRUE(port.OpenPort(&window.channel, kHangUpPortUnderTest, 115200, 'N', 8, 1, 3, 512));
  ASSERT_TRUE(port.StartMonitor());
  auto idleCost = [&] {  // the worker's cost: nothing is expected for the window meanwhile
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(1000ms);
    return ProcessCpuSeconds() - before;
  };
  const double quiet = idleCost();
  device.reset();  // the bridge sees its end close and hangs up the port's line: a pulled cable
  window.PumpFor(300ms);
  const double hungUp = idleCost();
  std::printf("CPU per second: quiet line %.3f s, hung-up line %.3f s\n", quiet, hungUp);
  EXPECT_LT(quiet, 0.3);
  EXPECT_LT(hungUp, 0.3);
  EXPECT_EQ(window.Count(WM_SERIAL_RXFLAG), 0) << "no data, no flag notifications";
  EXPECT_TRUE(window.BytesFrom(kHangUpPortUnderTest).empty());

  const std::vector<uint8_t> frame{1, 2};
  port.QueueWrite(frame.data(), static_cast<int>(frame.size()));
  EXPECT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == 1; }))
      << "a write on the dead line still ends with its notification";
  port.RequestClose();
  EXPECT_TRUE(window.PumpUntil([&] { return !port.MonitorAlive(); }));
  EXPECT_FALSE(port.HoldsPort());
}

}  // namespace
}  // namespace korvelt

// The behaviour every backend shares, on this file's fixture.
#include "tests/support/serial_behaviour_tests.h"  // IWYU pragma: keep
