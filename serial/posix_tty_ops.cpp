#include "serial/posix_tty_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "serial/port_map.h"
#include "serial/port_open_failure.h"

namespace korvelt {

std::optional<std::string> SerialPortBackendOps::ResolvePort(const std::string& portName) {
  return PortMap::FromEnvironment().ResolveName(portName);
}

int SerialPortBackendOps::OpenExclusive(const std::string& device, bool reopening) {
  int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // Only a terminal device is a serial port; a stray file or folder in the port map is not.
  if (!::isatty(fd)) {
    ::close(fd);
    errno = ENOTTY;
    return -1;
  }
  // Another program holding the port makes the open fail, as on Windows. An advisory lock is
  // what other serial tools on Linux honour too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved == EWOULDBLOCK ? EBUSY : saved;
    return -1;
  }
  // A program that takes no lock (a terminal program, a modem daemon) would read the unit's
  // replies before us: the port is as busy as a locked one.
  if (!reopening && FindOtherHolder(device)) {
    ::close(fd);
    errno = EBUSY;
    return -1;
  }
  ::ioctl(fd, TIOCEXCL);
  return fd;
}

void CloseExclusive(int fd) {
  ::ioctl(fd, TIOCNXCL);
  ::close(fd);
}

int SerialPortBackendOps::GetAttributes(int fd, termios* settings) {
  return ::tcgetattr(fd, settings);
}

int SerialPortBackendOps::SetAttributes(int fd, const termios& settings) {
  return ::tcsetattr(fd, TCSANOW, &settings);
}

int SerialPortBackendOps::AssertRts(int fd) {
  int bits = TIOCM_RTS;
  return ::ioctl(fd, TIOCMBIS, &bits);
}

bool SerialPortBackendOps::IsPseudoTerminal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  // Unix98 pty slaves have majors 136 to 143.
  unsigned major_number = major(st.st_rdev);
  return major_number >= 136 && major_number <= 143;
}

int SerialPortBackendOps::QueuedOutput(int fd, int* count) {
  return ::ioctl(fd, TIOCOUTQ, count);
}

namespace {

std::optional<speed_t> SpeedFor(int baudRate) {
  switch (baudRate) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return std::nullopt;
  }
}

}  // namespace

bool BuildLineSettings(termios* settings, int baudRate, char parity, int dataBits, int stopBits) {
  auto speed = SpeedFor(baudRate);
  if (!speed || (parity != 'N' && parity != 'E') || dataBits < 5 || dataBits > 8 ||
      (stopBits != 1 && stopBits != 2)) {
    errno = EINVAL;
    return false;
  }
  ::cfmakeraw(settings);
  ::cfsetispeed(settings, *speed);
  ::cfsetospeed(settings, *speed);
  settings->c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  settings->c_cflag |= kSizes[dataBits - 5] | CLOCAL | CREAD;
  if (parity == 'E') settings->c_cflag |= PARENB;
  if (stopBits == 2) settings->c_cflag |= CSTOPB;
  settings->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  settings->c_cc[VMIN] = 0;
  settings->c_cc[VTIME] = 0;
  return true;
}

}  // namespace korvelt
