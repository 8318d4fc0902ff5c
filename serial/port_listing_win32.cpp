// The COM ports Windows knows (QueryDosDevice), each with its friendly name from SetupAPI's
// Ports class ("USB Serial Device (COM5)").
#include <windows.h>
// setupapi.h needs windows.h first.
#include <devguid.h>
#include <setupapi.h>

#include <map>

#include "serial/port_listing.h"

namespace korvelt {

namespace {

struct PortDevice {
  std::string friendlyName;
  std::string instanceId;  // USB\VID_0483&PID_5740\206A36A3594E
};

// PortName -> what SetupAPI tells of every present device of the Ports class.
std::map<std::string, PortDevice> PortDevices() {
  std::map<std::string, PortDevice> names;
  HDEVINFO devices = ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    char friendly[256] = {};
    if (!::SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                             reinterpret_cast<BYTE*>(friendly), sizeof friendly - 1,
                                             nullptr)) {
      continue;
    }
    HKEY key = ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char portName[64] = {};
    DWORD size = sizeof portName - 1;
    if (::RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(portName),
                           &size) == ERROR_SUCCESS) {
      char instance[256] = {};
      if (!::SetupDiGetDeviceInstanceIdA(devices, &device, instance, sizeof instance - 1,
                                         nullptr)) {
        instance[0] = '\0';
      }
      names[portName] = {friendly, instance};
    }
    ::RegCloseKey(key);
  }
  ::SetupDiDestroyDeviceInfoList(devices);
  return names;
}

}  // namespace

std::string ListPorts() {
  const auto friendly = PortDevices();
  std::string text = "COM ports known to the system:\n";
  bool any = false;
  for (int number = 1; number <= 99; ++number) {
    const std::string name = "COM" + std::to_string(number);
    char target[512];
    if (::QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) continue;
    text += "  " + name + " -> " + target;
    if (auto it = friendly.find(name); it != friendly.end()) text += "  " + it->second.friendlyName;
    text += "\n";
    any = true;
  }
  if (!any) text += "  (none)\n";
  return text;
}

std::optional<std::string> AdapterSerialNumber(int portNumber) {
  const auto devices = PortDevices();
  const auto it = devices.find("COM" + std::to_string(portNumber));
  if (it == devices.end()) return std::nullopt;
  // A USB device with a serial number has it as the last part of its instance ID; Windows
  // makes up one with '&' in it for a device without.
  const std::string& id = it->second.instanceId;
  const auto last = id.rfind('\\');
  if (id.rfind("USB\\", 0) != 0 || last == std::string::npos || last + 1 == id.size()) {
    return std::nullopt;
  }
  const std::string serial = id.substr(last + 1);
  if (serial.find('&') != std::string::npos) return std::nullopt;
  return serial;
}

}  // namespace korvelt
