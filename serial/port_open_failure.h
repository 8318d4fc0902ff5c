#pragma once

#include <optional>
#include <string>

#include "serial/port_operations.h"

namespace korvelt {

// A process that has the device open.
struct PortHolder {
  long pid = 0;
  std::string program;
};

// The process holding `device`, found through procRoot/<pid>/fd where the system lets us look;
// another process is preferred over this one. The process serving a pseudo-terminal (it holds
// the pty's master, and may keep its port side open to keep the line up) is the device itself,
// not a holder. Nothing where no holder can be seen (Windows).
std::optional<PortHolder> FindPortHolder(const std::string& device,
                                         const std::string& procRoot = "/proc");
// Another process that has `device` open, this one and a pseudo-terminal's server left out.
std::optional<PortHolder> FindOtherHolder(const std::string& device,
                                          const std::string& procRoot = "/proc");

// Why a port did not open, with its kind and in words an operator can act on, for the trace
// and korvelt-cli: "COM3 (/dev/ttyUSB0): busy: held by process 1234 (minicom)". `device` is
// empty when the port name stands for no device; `systemCode` is errno on POSIX and
// GetLastError() on Windows.
PortError DescribeOpenFailure(const std::string& portName, const std::string& device,
                              int systemCode);

}  // namespace korvelt
