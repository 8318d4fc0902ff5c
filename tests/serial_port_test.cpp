// The POSIX serial port on real pseudo-terminal pairs. Line settings a pty cannot carry are
// checked through the backend seam.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "serial/notification_channel.h"
#include "serial/port_map.h"
#include "serial/posix_tty_ops.h"
#include "serial/serial_messages.h"
#include "serial/serial_port.h"
#include "tests/support/notification_window.h"
#include "tests/support/pty_pair.h"

namespace korvelt {
namespace {

using namespace std::chrono_literals;
using testing::PortFolder;
using testing::PtyPair;
using Window = testing::NotificationWindow;

// Resolves names through a test folder and records the settings asked of the OS.
class RecordingOps : public SerialPortBackendOps {
 public:
  explicit RecordingOps(std::string folder) : folder_(std::move(folder)) {}
  std::optional<std::string> ResolvePort(const std::string& portName) override {
    names.push_back(portName);
    return PortMap::FromFolder(folder_).ResolveName(portName);
  }
  int SetAttributes(int fd, const termios& settings) override {
    requested.push_back(settings);
    if (failSetAttributes) {
      errno = EINVAL;
      return -1;
    }
    return SerialPortBackendOps::SetAttributes(fd, settings);
  }
  bool IsPseudoTerminal(int fd) override {
    return pretendRealDevice ? false : SerialPortBackendOps::IsPseudoTerminal(fd);
  }
  int AssertRts(int fd) override {
    return pretendRealDevice ? 0 : SerialPortBackendOps::AssertRts(fd);
  }
  // A device that stops taking output: its queue never empties.
  int QueuedOutput(int fd, int* count) override {
    ++outputQueries;
    if (!outputStuck) return SerialPortBackendOps::QueuedOutput(fd, count);
    *count = 1;
    return 0;
  }

  std::vector<std::string> names;
  std::vector<termios> requested;
  bool failSetAttributes = false;
  bool pretendRealDevice = false;
  bool outputStuck = false;
  std::atomic<int> outputQueries{0};  // asked on the worker thread

 private:
  std::string folder_;
};

struct PortFixture : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    folder.Link(3, pty.slavePath());
    ops = std::make_shared<RecordingOps>(folder.path());
    port = std::make_unique<SerialPort>(ops);
  }
  bool Open(int number = 3, char parity = 'N') {
    return port->OpenPort(&window.channel, number, 115200, parity, 8, 1, 3, 512);
  }
  bool OpenAndMonitor(int number = 3, char parity = 'N') {
    if (!Open(number, parity)) return false;
    return port->StartMonitor();
  }
  void Queue(const std::vector<uint8_t>& bytes) {
    port->QueueWrite(bytes.data(), static_cast<int>(bytes.size()));
  }

  static bool ExclusiveOpenEnforced() { return true; }

  static constexpr int kPortUnderTest = 3;
  static constexpr int kAbsentPort = 4;
  PtyPair pty;
  PtyPair& device = pty;
  PortFolder folder;
  std::shared_ptr<RecordingOps> ops;
  Window window;
  std::unique_ptr<SerialPort> port;
};
using SerialBehaviour = PortFixture;

TEST(SerialPortNames, ShortAndDeviceNamespaceForms) {
  EXPECT_EQ(SerialPort::PortName(1), "COM1");
  EXPECT_EQ(SerialPort::PortName(9), "COM9");
  EXPECT_EQ(SerialPort::PortName(10), "\\\\.\\COM10");
  EXPECT_EQ(SerialPort::PortName(99), "\\\\.\\COM99");
  EXPECT_EQ(SerialPort::LineDefinition(115200, 'N', 8, 1), "baud=115200 parity=N data=8 stop=1");
}

TEST_F(PortFixture, ReopenWithEvenParityLeavesOneWorker) {
  std::atomic<int> closes{0};
  port->SetTraceHook([&](const SerialTraceEvent& event) {
    if (event.kind == SerialTraceEvent::Kind::kClose) ++closes;  // worker or window thread
  });
  ASSERT_TRUE(OpenAndMonitor());
  ops->requested.clear();
  ASSERT_TRUE(OpenAndMonitor(3, 'E'));
  EXPECT_EQ(closes, 1) << "the old worker closed its handle and ended";
  ASSERT_FALSE(ops->requested.empty());
  EXPECT_TRUE(ops->requested.front().c_cflag & PARENB) << "parity is asked of the OS first";
  EXPECT_EQ(ops->requested.front().c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(ops->requested.front().c_cflag & CSTOPB);
  EXPECT_EQ(port->RequestedParity(), 'E');
  EXPECT_TRUE(window.ErrorTexts().empty()) << "a pty's refusal of parity is not an error";
  pty.Write({1, 2, 3});
  ASSERT_TRUE(window.PumpUntil([&] { return window.BytesFrom(3).size() >= 3; }));
  window.PumpFor(50ms);
  EXPECT_EQ(window.BytesFrom(3), (std::vector<uint8_t>{1, 2, 3})) << "one worker, no duplicates";
  port.reset();  // the hook uses this test's locals
}

TEST_F(PortFixture, RefusedSettingOnRealDeviceIsReportedAndPortStaysOpen) {
  ops->pretendRealDevice = true;
  ops->failSetAttributes = true;
  ASSERT_TRUE(Open());
  auto errors = window.ErrorTexts();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("WARNING:  SetCommState() Failed with the following error: \n", 0), 0u)
      << errors[0];
  EXPECT_NE(errors[0].find("\nPort: 3\n"), std::string::npos);
  EXPECT_TRUE(port->HoldsPort());
}

TEST_F(PortFixture, HangUpIsReportedOnceAndRequestsAreStillHonoured) {
  ASSERT_TRUE(OpenAndMonitor());
  pty.CloseMaster();  // the cable is pulled
  ASSERT_TRUE(window.PumpUntil([&] { return !window.ErrorTexts().empty(); }));
  window.PumpFor(300ms);
  auto errors = window.ErrorTexts();
  ASSERT_EQ(errors.size(), 1u);
  // The POSIX call by its own name, and typed as the device gone.
  EXPECT_NE(errors[0].find("read()"), std::string::npos) << errors[0];
  EXPECT_EQ(errors[0].find("ReadFile()"), std::string::npos) << errors[0];
  EXPECT_EQ(window.Count(WM_SERIAL_COMM_ERROR, kCommErrorDeviceGone), 1);
  EXPECT_LE(window.Count(WM_SERIAL_RXFLAG), 2) << "no spinning on the dead device";

  Queue({1, 2});
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == 1; }));
  errors = window.ErrorTexts();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[1].find("WriteFile()"), std::string::npos);

  port->RequestClose();
  EXPECT_TRUE(window.PumpUntil([&] { return !port->MonitorAlive(); }));
  EXPECT_FALSE(port->HoldsPort());
}

// A device that stops taking output (a flow-controlled adapter, a pulled cable on some drivers)
// must not hold the worker: the write ends at its deadline with one report, or at once when
// the port is being closed.
TEST_F(PortFixture, StuckOutputEndsAtTheWriteDeadlineWithOneReport) {
  ops->pretendRealDevice = true;
  ops->outputStuck = true;
  ASSERT_TRUE(OpenAndMonitor());
  Queue({0x5A});  // deadline: 1000 ms + 1000 ms for the byte
  ASSERT_TRUE(window.PumpUntil([&] { return window.Count(WM_SERIAL_TXDONE) == 1; }, 10000ms));
  auto errors = window.ErrorTexts();
  ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(errors);
  EXPECT_EQ(errors[0].rfind("WARNING:  WriteFile() Failed with the following error: \n", 0), 0u)
      << errors[0];
  EXPECT_EQ(pty.Read(1, 500ms), std::vector<uint8_t>{0x5A});
  port->RequestClose();
  EXPECT_TRUE(window.PumpUntil([&] { return !port->MonitorAlive(); }));
  EXPECT_FALSE(port->HoldsPort());
}

TEST_F(PortFixture, CloseRequestEndsTheWaitForStuckOutput) {
  ops->pretendRealDevice = true;
  ops->outputStuck = true;
  ASSERT_TRUE(OpenAndMonitor());
  Queue(std::vector<uint8_t>(100, 0x5A));  // a deadline of 101 s
  ASSERT_TRUE(window.PumpUntil([&] { return ops->outputQueries > 0; }));
  port->RequestClose();
  ASSERT_TRUE(window.PumpUntil([&] { return !port->MonitorAlive(); }, 10000ms))
      << "the close request is seen while the worker waits for the device";
  window.PumpFor(20ms);
  EXPECT_EQ(window.Count(WM_SERIAL_TXDONE), 1);
  EXPECT_TRUE(window.ErrorTexts().empty()) << "closing is no write failure";
  EXPECT_FALSE(port->HoldsPort());
}

TEST(SerialPortBadEntries, OnlyTerminalDevicesOpen) {
  PortFolder folder;
  const std::string file = folder.path() + "/plain.txt";
  std::ofstream(file) << "not a port";
  std::filesystem::create_directory(folder.path() + "/subfolder");
  folder.Link(1, "/nonexistent/device");
  folder.Link(2, file);
  folder.Link(3, folder.path() + "/subfolder");
  auto ops = std::make_shared<RecordingOps>(folder.path());
  Window window;
  SerialPort port(ops);
  for (int com : {1, 2, 3}) {
    EXPECT_FALSE(port.OpenPort(&window.channel, com, 115200, 'N', 8, 1, 3, 512)) << com;
  }
  EXPECT_TRUE(window.ErrorTexts().empty());
  std::ifstream in(file);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "not a port");
}

TEST(SerialPortEnvironment, PortTenUsesDeviceNamespaceNameAndResolves) {
  PtyPair pty;
  PortFolder folder;
  ASSERT_TRUE(pty.ok());
  folder.Link(10, pty.slavePath());
  ::setenv(PortMap::kFolderVariable, folder.path().c_str(), 1);
  struct NameSpy : SerialPortBackendOps {
    std::vector<std::string> names;
    std::optional<std::string> ResolvePort(const std::string& name) override {
      names.push_back(name);
      return SerialPortBackendOps::ResolvePort(name);
    }
  };
  auto spy = std::make_shared<NameSpy>();
  Window window;
  SerialPort port(spy);
  EXPECT_TRUE(port.OpenPort(&window.channel, 10, 115200, 'N', 8, 1, 3, 512));
  ASSERT_EQ(spy->names.size(), 1u);
  EXPECT_EQ(spy->names[0], "\\\\.\\COM10");
  ::unsetenv(PortMap::kFolderVariable);
}

}  // namespace
}  // namespace korvelt

// The behaviour every backend shares, on this file's fixture.
#include "tests/support/serial_behaviour_tests.h"  // IWYU pragma: keep
