#include "sim/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>

namespace korvelt::sim {

namespace {

uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

PtyDevice::PtyDevice(std::shared_ptr<InstrumentModel> model) : model_(std::move(model)) {}

PtyDevice::~PtyDevice() {
  Stop();
}

bool PtyDevice::Start(const std::string& linkPath) {
  char name[256] = {};
  if (::openpty(&master_, &slave_keepalive_, name, nullptr, nullptr) != 0) return false;
  termios raw{};
  ::tcgetattr(slave_keepalive_, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave_keepalive_, TCSANOW, &raw);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  slave_path_ = name;
  std::error_code ec;
  std::filesystem::remove(linkPath, ec);
  std::filesystem::create_symlink(slave_path_, linkPath, ec);
  if (ec) return false;
  stop_event_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  running_ = true;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void PtyDevice::Stop() {
  if (thread_.joinable()) {
    running_ = false;
    eventfd_write(stop_event_, 1);
    thread_.join();
  }
  for (int* fd : {&master_, &slave_keepalive_, &stop_event_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void PtyDevice::Disconnect() {
  Stop();
}

void PtyDevice::WithModel(const std::function<void(InstrumentModel&)>& inspect) {
  std::lock_guard lock(model_mutex_);
  inspect(*model_);
}

void PtyDevice::Serve() {
  std::deque<TimedByte> pending;
  uint8_t buffer[4096];
  while (running_) {
    int timeout = 50;
    if (!pending.empty()) {
      const uint64_t now = NowMs();
      timeout = pending.front().atMs > now ? static_cast<int>(pending.front().atMs - now) : 0;
    }
    pollfd waits[2] = {{master_, POLLIN, 0}, {stop_event_, POLLIN, 0}};
    ::poll(waits, 2, std::min(timeout, 50));
    if (waits[1].revents) break;
    if (waits[0].revents & POLLIN) {
      ssize_t got = ::read(master_, buffer, sizeof buffer);
      if (got > 0) {
        std::lock_guard lock(model_mutex_);
        model_->Receive(NowMs(), buffer, static_cast<std::size_t>(got));
        for (const auto& out : model_->TakeOutput()) pending.push_back(out);
      }
    }
    // Send every byte that has fallen due, in one write.
    const uint64_t now = NowMs();
    std::vector<uint8_t> due;
    while (!pending.empty() && pending.front().atMs <= now) {
      due.push_back(pending.front().byte);
      pending.pop_front();
    }
    std::size_t done = 0;
    while (done < due.size() && running_) {
      ssize_t n = ::write(master_, due.data() + done, due.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd out{master_, POLLOUT, 0};
        ::poll(&out, 1, 10);
      }
    }
  }
}

}  // namespace korvelt::sim
