// Why a port did not open, as the trace and korvelt-cli tell it, and the low-latency request
// made at every open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

#include "serial/port_map.h"
#include "serial/port_open_failure.h"
#include "serial/posix_tty_ops.h"
#include "serial/serial_port.h"
#include "tests/support/notification_window.h"
#include "tests/support/pty_pair.h"

extern char** environ;

namespace korvelt {
namespace {

using namespace std::chrono_literals;
using testing::PortFolder;
using testing::PtyPair;

struct FolderOps : SerialPortBackendOps {
  explicit FolderOps(std::string folder) : folder(std::move(folder)) {}
  std::optional<std::string> ResolvePort(const std::string& name) override {
    return PortMap::FromFolder(folder).ResolveName(name);
  }
  std::string folder;
};

// A port opened with a trace hook that keeps every event's kind and text.
struct TracedPort {
  explicit TracedPort(const std::string& folder) : port(std::make_shared<FolderOps>(folder)) {
    port.SetTraceHook([this](const SerialTraceEvent& event) {
      std::lock_guard lock(mutex);
      events.emplace_back(event.kind, event.text);
    });
  }
  bool Open(int number) {
    return port.OpenPort(&window.channel, number, 115200, 'N', 8, 1, 3, 512);
  }
  std::vector<std::string> Texts(SerialTraceEvent::Kind kind) {
    std::lock_guard lock(mutex);
    std::vector<std::string> texts;
    for (const auto& [k, text] : events)
      if (k == kind) texts.push_back(text);
    return texts;
  }
  // The worker traces into these until the port is gone: they are destroyed after it.
  std::mutex mutex;
  std::vector<std::pair<SerialTraceEvent::Kind, std::string>> events;
  testing::NotificationWindow window;
  SerialPort port;
};

TEST(PortOpenFailure, EachReasonSaysWhatToDo) {
  PtyPair pty;  // a device nobody holds
  ASSERT_TRUE(pty.ok());
  const std::string dev = pty.slavePath();
  const std::string plain = std::filesystem::temp_directory_path() / "korvelt-plain-file";
  std::ofstream(plain) << "x";
  ::chmod(plain.c_str(), 0600);  // no group may write: the usual serial group is named
  using K = PortErrorKind;
  struct Case {
    std::string device;
    int code;
    std::string expected;
    PortErrorKind kind;
  } cases[] = {
      {"", ENOENT, "COM7: no such device; `korvelt-cli ports` lists the ports", K::kMissing},
      {dev, ENOENT, "COM7 (" + dev + "): no such device; `korvelt-cli ports` lists the ports",
       K::kMissing},
      {dev, ENXIO, "COM7 (" + dev + "): no such device; `korvelt-cli ports` lists the ports",
       K::kMissing},
      {dev, EBUSY, "COM7 (" + dev + "): busy: held by another program", K::kBusy},
      {plain, EACCES,
       "COM7 (" + plain +
           "): permission denied: add your user to the 'dialout' group (then log "
           "in again)",
       K::kPermission},
      {dev, ENOTTY, "COM7 (" + dev + "): not a serial device", K::kNotSerial},
      {dev, EIO, "COM7 (" + dev + "): Input/output error", K::kSystem},
  };
  for (const auto& c : cases) {
    const PortError error = DescribeOpenFailure("COM7", c.device, c.code);
    EXPECT_EQ(error.text, c.expected) << c.code;
    EXPECT_EQ(error.kind, c.kind) << c.code;
    EXPECT_EQ(error.code, c.code);
  }
  std::filesystem::remove(plain);
}

TEST(PortOpenFailure, AHeldPortNamesTheProcessHoldingIt) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PortFolder folder;
  folder.Link(3, pty.slavePath());
  // flock(1) takes the same advisory lock the updater takes and keeps the device open for its
  // child; both run in their own process group, so that one signal ends them.
  std::string device = pty.slavePath();
  char* argv[] = {const_cast<char*>("flock"), device.data(), const_cast<char*>("sleep"),
                  const_cast<char*>("30"), nullptr};
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  pid_t holder = -1;
  ASSERT_EQ(::posix_spawnp(&holder, "flock", nullptr, &attributes, argv, environ), 0);
  ::posix_spawnattr_destroy(&attributes);

  TracedPort traced(folder.path());
  bool refused = false;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!refused && std::chrono::steady_clock::now() < deadline) {
    if (traced.Open(3)) {
      traced.Open(99);  // not yet locked: give the device back (an absent port closes it)
      std::this_thread::sleep_for(20ms);
      continue;
    }
    const auto failures = traced.Texts(SerialTraceEvent::Kind::kOpenFailed);
    refused = failures.back().find("busy") != std::string::npos;
  }
  ::kill(-holder, SIGTERM);
  ::waitpid(holder, nullptr, 0);
  ASSERT_TRUE(refused) << "the holder never took the port";
  const std::string text = traced.Texts(SerialTraceEvent::Kind::kOpenFailed).back();
  const std::regex expected("COM3 \\(" + pty.slavePath() +
                            "\\): busy: held by process [0-9]+ \\((flock|sleep)\\)");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  EXPECT_EQ(traced.port.LastOpenError().kind, PortErrorKind::kBusy);
  EXPECT_EQ(traced.port.LastOpenError().text, text);
  for (int tries = 0; tries < 200 && FindPortHolder(pty.slavePath()); ++tries) {
    std::this_thread::sleep_for(10ms);  // the child ends with its group
  }
  EXPECT_FALSE(FindPortHolder(pty.slavePath())) << "once the holder is gone, nobody holds it";
}

// Whether a process of another user could open the device now (this test runs as root, whom
// the exclusive mode does not stop).
bool AnotherUserCanOpen(const std::string& device) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::_exit(fd >= 0 ? 0 : errno == EBUSY ? 1 : 3);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << "status " << status;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PortOpenFailure, AProgramThatTakesNoLockMakesThePortBusyToo) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  PortFolder folder;
  folder.Link(3, pty.slavePath());
  // A terminal program that opens the device without a lock: sleep(1) with it as its input.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, pty.slavePath().c_str(), O_RDONLY | O_NOCTTY, 0);
  ::posix_spawn_file_actions_addclose(&actions, pty.master());  // it is no pty's server
  char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
  pid_t holder = -1;
  ASSERT_EQ(::posix_spawnp(&holder, "sleep", &actions, nullptr, argv, environ), 0);
  ::posix_spawn_file_actions_destroy(&actions);
  for (int tries = 0; tries < 500 && !FindOtherHolder(pty.slavePath()); ++tries)
    std::this_thread::sleep_for(10ms);

  TracedPort traced(folder.path());
  const bool opened = traced.Open(3);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_FALSE(opened) << "another program would read the unit's replies";
  EXPECT_EQ(traced.port.LastOpenError().kind, PortErrorKind::kBusy);
  const std::regex expected("COM3 \\(" + pty.slavePath() + "\\): busy: held by process " +
                            std::to_string(holder) + " \\(sleep\\)");
  EXPECT_TRUE(std::regex_match(traced.port.LastOpenError().text, expected))
      << traced.port.LastOpenError().text;

  // Once it is gone the port opens, and nobody opens it after us until we close it, even
  // where another process keeps the device alive (as a pty's server does).
  ASSERT_TRUE(traced.Open(3));
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to try the open as another user";
  ::chmod(pty.slavePath().c_str(), 0666);
  const int keepAlive = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_FALSE(AnotherUserCanOpen(pty.slavePath()));
  traced.Open(99);  // an absent port: the device is closed first
  EXPECT_TRUE(AnotherUserCanOpen(pty.slavePath())) << "the exclusive mode ends with our close";
  ::close(keepAlive);
}

TEST(LowLatency, AskedAtEveryOpenAndARefusalLeavesThePortWorking) {
  PtyPair pty;  // pseudo-terminals have no serial driver to ask
  ASSERT_TRUE(pty.ok());
  PortFolder folder;
  folder.Link(3, pty.slavePath());
  TracedPort traced(folder.path());
  ASSERT_TRUE(traced.Open(3));
  ASSERT_TRUE(traced.port.StartMonitor());
  const auto settings = traced.Texts(SerialTraceEvent::Kind::kSettings);
  ASSERT_FALSE(settings.empty());
  EXPECT_EQ(settings.front().rfind("low latency: ", 0), 0u) << settings.front();
  const uint8_t byte = 0x5A;
  traced.port.QueueWrite(&byte, 1);
  EXPECT_EQ(pty.Read(1, 2s), std::vector<uint8_t>{0x5A}) << "the port still writes";
}

}  // namespace
}  // namespace korvelt
