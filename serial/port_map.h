#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvelt {

// Which device stands behind COMn on a POSIX system.
//
// With KORVELT_PORT_DIR set, only that folder counts: its entries COM1..COM99 (normally
// symlinks to devices, such as pseudo-terminals in tests and the simulator). Otherwise COMn is
// the n-th existing device of /dev/ttyACM*, then /dev/ttyUSB*, then /dev/ttyS*, each group in
// numeric order.
struct PortMapEntry {
  int number = 0;
  std::string device;
};

class PortMap {
 public:
  static constexpr const char* kFolderVariable = "KORVELT_PORT_DIR";
  static constexpr int kHighestPort = 99;

  static PortMap FromEnvironment();
  static PortMap FromFolder(const std::string& folder);
  static PortMap FromDevices(const std::string& devRoot = "/dev");

  std::optional<std::string> Resolve(int portNumber) const;
  // "COM5" or "\\.\COM12" to a device; nothing for a name that is not a COM port name.
  std::optional<std::string> ResolveName(std::string_view portName) const;
  // The number in "COM5" or "\\.\COM12".
  static std::optional<int> ParsePortName(std::string_view portName);

  const std::vector<PortMapEntry>& Entries() const { return entries_; }
  const std::string& Source() const { return source_; }
  // One line per entry, "COMn -> device", under a line naming where the map came from.
  std::string Describe() const;

 private:
  std::vector<PortMapEntry> entries_;
  std::string source_;
};

}  // namespace korvelt
