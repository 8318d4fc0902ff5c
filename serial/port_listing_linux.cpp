#include <cstdlib>

#include "serial/port_listing.h"
#include "serial/tty_adapter_sysfs.h"

namespace korvelt {

namespace {

std::string SysfsRoot() {
  const char* root = std::getenv(kSysfsRootVariable);
  return root && *root ? root : "/sys";
}

}  // namespace

std::string ListPorts() {
  return ListPortsWithAdapters(PortMap::FromEnvironment(), SysfsRoot());
}

std::optional<std::string> AdapterSerialNumber(int portNumber) {
  const auto device = PortMap::FromEnvironment().Resolve(portNumber);
  if (!device) return std::nullopt;
  std::string serial = DescribeTtyAdapter(*device, SysfsRoot()).serialNumber;
  if (serial.empty()) return std::nullopt;
  return serial;
}

}  // namespace korvelt
