#include <cstdlib>

#include "serial/port_listing.h"
#include "serial/tty_adapter_sysfs.h"

namespace korvelt {

std::string ListPorts() {
  const char* root = std::getenv(kSysfsRootVariable);
  return ListPortsWithAdapters(PortMap::FromEnvironment(), root && *root ? root : "/sys");
}

}  // namespace korvelt
