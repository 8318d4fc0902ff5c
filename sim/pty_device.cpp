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

int64_t NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The rate the updater set on its side of the pty, or 0 if it is not one of these.
int HostBaud(int master) {
  static constexpr struct {
    speed_t speed;
    int baud;
  } kRates[] = {{B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                {B57600, 57600},   {B115200, 115200}, {B230400, 230400},
                {B460800, 460800}, {B500000, 500000}, {B921600, 921600}};
  termios settings{};
  if (::tcgetattr(master, &settings) != 0) return 0;
  const speed_t speed = ::cfgetospeed(&settings);
  for (const auto& rate : kRates) {
    if (rate.speed == speed) return rate.baud;
  }
  return 0;
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

void PtyDevice::WithModel(const std::function<void(InstrumentModel&)>& inspect) {
  std::lock_guard lock(model_mutex_);
  inspect(*model_);
}

int64_t PtyDevice::ByteUs() const {
  // Called with the model locked.
  const int64_t bitsPerByte = model_->mode() == InstrumentModel::Mode::kStm32Bootloader ? 11 : 10;
  return baud_ > 0 ? bitsPerByte * 1000000 / baud_ : 0;
}

void PtyDevice::Serve() {
  struct Due {
    int64_t atUs;
    uint8_t byte;
  };
  std::deque<Due> pending;
  std::vector<uint8_t> out;
  std::vector<uint8_t> in;
  std::vector<bool> damaged;
  uint8_t buffer[4096];
  int64_t inFreeUs = 0;   // when the line towards the unit is free again
  int64_t outFreeUs = 0;  // when the line towards the updater is free again
  while (running_) {
    // Waits to the microsecond: a whole millisecond per answer would add up to seconds over
    // a bootloader conversation of thousands of acknowledgements.
    // Code running in the MCU's RAM (the flashing stub) keeps time of its own: it is let run
    // every millisecond, and paces its bytes itself.
    bool ramCode = false;
    {
      std::lock_guard lock(model_mutex_);
      ramCode = model_->mcuRunsRamCode();
    }
    const int64_t longestWaitUs = ramCode ? 1000 : 50000;
    int64_t waitUs = longestWaitUs;
    if (!pending.empty()) {
      waitUs = std::clamp<int64_t>(pending.front().atUs - NowUs(), 0, longestWaitUs);
    }
    const timespec timeout{0, static_cast<long>(waitUs * 1000)};
    pollfd waits[2] = {{master_, POLLIN, 0}, {stop_event_, POLLIN, 0}};
    ::ppoll(waits, 2, &timeout, nullptr);
    if (waits[1].revents) break;
    if (waits[0].revents & POLLIN) {
      const ssize_t got = ::read(master_, buffer, sizeof buffer);
      if (got > 0) {
        bytes_in_ += static_cast<uint64_t>(got);
        in.assign(buffer, buffer + got);
        damaged.assign(in.size(), false);
        if (noise_to_unit_) noise_to_unit_->Apply(in, &damaged);
        std::lock_guard lock(model_mutex_);
        if (const int hostBaud = baud_ > 0 ? HostBaud(master_) : 0) model_->SetHostBaud(hostBaud);
        // Code in the MCU's RAM paces what it receives itself.
        const int64_t byteUs = ramCode ? 0 : ByteUs();
        const int64_t now = NowUs();
        // Each byte reaches the unit when the line has carried it (a lost one still took its
        // time on the line, but it is only a few microseconds).
        for (std::size_t i = 0; i < in.size(); ++i) {
          inFreeUs = std::max(inFreeUs, now) + byteUs;
          const auto at = static_cast<uint64_t>(inFreeUs / 1000);
          if (damaged[i]) {
            model_->ReceiveDamaged(at, in[i]);
          } else {
            model_->Receive(at, &in[i], 1);
          }
        }
      }
    }
    {
      std::lock_guard lock(model_mutex_);
      const uint64_t nowMs = static_cast<uint64_t>(NowUs() / 1000);
      if (ramCode) {
        model_->AdvanceTo(nowMs);  // the code runs on, and times its bytes itself
      } else {
        model_->Tick(nowMs);  // what the unit says by itself
      }
      const int64_t byteUs = ramCode ? 0 : ByteUs();
      for (const TimedByte& answer : model_->TakeOutput()) {
        const int64_t at = std::max(static_cast<int64_t>(answer.atMs) * 1000, outFreeUs);
        outFreeUs = at + byteUs;
        pending.push_back({outFreeUs, answer.byte});
      }
    }
    const int64_t now = NowUs();
    out.clear();
    while (!pending.empty() && pending.front().atUs <= now) {
      out.push_back(pending.front().byte);
      pending.pop_front();
    }
    if (noise_to_host_) noise_to_host_->Apply(out);
    std::size_t done = 0;
    while (done < out.size() && running_) {
      const ssize_t n = ::write(master_, out.data() + done, out.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd writable{master_, POLLOUT, 0};
        ::poll(&writable, 1, 10);
      }
    }
    bytes_out_ += done;
  }
}

}  // namespace korvelt::sim
