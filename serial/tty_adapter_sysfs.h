#pragma once

#include <string>

#include "serial/port_map.h"

namespace korvelt {

// What Linux's sysfs says stands behind a tty device. The root is /sys, or KORVELT_SYSFS_ROOT
// (tests point it at recorded trees).
struct TtyAdapter {
  enum class Kind {
    kUnknown,  // no sysfs entry: a pseudo-terminal, or a device sysfs does not describe
    kUsb,      // a USB adapter, named as lsusb names it
    kUart,     // a serial port with a UART behind it
    kNoUart,   // a ttyS device with no UART: it cannot carry anything
  };
  Kind kind = Kind::kUnknown;
  // "USB 0403:6001 FTDI FT232R USB UART, serial A50285BI, driver ftdi_sio" or "UART 16550A".
  std::string text;
  std::string serialNumber;  // a USB adapter's, where its device has one
};

inline constexpr const char* kSysfsRootVariable = "KORVELT_SYSFS_ROOT";

TtyAdapter DescribeTtyAdapter(const std::string& device, const std::string& sysfsRoot);
// The port listing of `map`, leaving out ttyS devices with no UART.
std::string ListPortsWithAdapters(const PortMap& map, const std::string& sysfsRoot);

}  // namespace korvelt
