#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvelt::testing {

// A pseudo-terminal whose slave stands in for a COM port; the test holds the master side.
class PtyPair {
 public:
  PtyPair() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) == 0) {
      termios raw{};
      ::tcgetattr(slave, &raw);
      ::cfmakeraw(&raw);
      ::tcsetattr(slave, TCSANOW, &raw);
      ::close(slave);
      slave_path_ = name;
      ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& slavePath() const { return slave_path_; }
  int master() const { return master_; }

  void Write(const std::vector<uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }
  // Reads what the port wrote, waiting up to `timeout` for `count` bytes.
  std::vector<uint8_t> Read(std::size_t count, std::chrono::milliseconds timeout) const {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      uint8_t buffer[4096];
      ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_path_;
};

// A temporary port-map folder with COMn links.
class PortFolder {
 public:
  PortFolder() {
    char pattern[] = "/tmp/korvelt-ports-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~PortFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  void Link(int comNumber, const std::string& device) const {
    std::filesystem::create_symlink(device, path_ / ("COM" + std::to_string(comNumber)));
  }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace korvelt::testing
