#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "serial/low_latency.h"

namespace korvelt {

std::string RequestLowLatency(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
    return std::string("low latency: not supported (") + std::strerror(errno) + ")";
  }
  if (serial.flags & ASYNC_LOW_LATENCY) return "low latency: already on";
  serial.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) {
    return std::string("low latency: not supported (") + std::strerror(errno) + ")";
  }
  return "low latency: on";
}

}  // namespace korvelt
