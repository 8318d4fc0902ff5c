#include "sim/served_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace korvelt::sim {

ServedPort::ServedPort(int com, std::string role, std::shared_ptr<InstrumentModel> model,
                       std::string portDir, int baud)
    : com_(com),
      role_(std::move(role)),
      model_(std::move(model)),
      device_(std::make_unique<PtyDevice>(model_)),
      port_dir_(std::move(portDir)) {
  device_->SetBaudRate(baud);
}

ServedPort::~ServedPort() {
  Stop();
}

std::string ServedPort::LinkPath() const {
  return (std::filesystem::path(port_dir_) / ("COM" + std::to_string(com_))).string();
}

std::string ServedPort::LockPath() const {
  return (std::filesystem::path(port_dir_) / (".COM" + std::to_string(com_) + ".lock")).string();
}

void ServedPort::SetLineNoise(double probability, uint64_t seed) {
  // Each port and direction its own sequence, so that units do not share their faults.
  noise_to_unit_ = std::make_shared<LineNoise>(probability, seed * 1000003 + com_ * 2);
  noise_to_host_ = std::make_shared<LineNoise>(probability, seed * 1000003 + com_ * 2 + 1);
  device_->SetLineNoise(noise_to_unit_, noise_to_host_);
}

bool ServedPort::Start(std::string* error) {
  lock_fd_ = ::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd_ < 0 || ::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    std::string holder;
    std::ifstream(LockPath()) >> holder;
    *error = "COM" + std::to_string(com_) + " in " + port_dir_ + " is served by another simulator" +
             (holder.empty() ? std::string() : " (process " + holder + ")");
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = -1;
    return false;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock_fd_, 0) != 0 || ::write(lock_fd_, pid.data(), pid.size()) < 0) {
    // The pid only names the holder in a refusal; the lock is what counts.
  }
  if (!device_->Start(LinkPath())) {
    *error = "cannot serve COM" + std::to_string(com_) + " at " + LinkPath();
    return false;
  }
  plugged_ = true;
  return true;
}

void ServedPort::Unplug() {
  if (!plugged_) return;
  device_->Stop();  // the pty's master closes: its port side hangs up
  plugged_ = false;
  // The link dangles as an unplugged adapter's does, but not into the freed pty's name: the
  // next pseudo-terminal opened on the machine takes that name, and the link would lead to it.
  std::error_code ec;
  std::filesystem::remove(LinkPath(), ec);
  std::filesystem::create_symlink(LinkPath() + ".unplugged", LinkPath(), ec);
}

void ServedPort::Plug() {
  if (plugged_ || lock_fd_ < 0) return;
  plugged_ = device_->Start(LinkPath());
}

void ServedPort::PowerCycle() {
  device_->WithModel([](InstrumentModel& m) { m.PowerCycle(); });
}

void ServedPort::Stop() {
  device_->Stop();
  plugged_ = false;
  if (lock_fd_ < 0) return;
  std::error_code ec;
  std::filesystem::remove(LinkPath(), ec);
  std::filesystem::remove(LockPath(), ec);
  ::close(lock_fd_);
  lock_fd_ = -1;
}

}  // namespace korvelt::sim
