// Why a port did not open on Windows: the system's text for GetLastError(). Windows opens a COM
// port for one program at a time, so "access denied" means another program holds it.
#include <windows.h>

#include "serial/port_open_failure.h"

namespace korvelt {

std::optional<PortHolder> FindPortHolder(const std::string&, const std::string&) {
  return std::nullopt;  // Windows does not say who holds a COM port
}

PortError DescribeOpenFailure(const std::string& portName, const std::string&, int systemCode) {
  using K = PortErrorKind;
  const DWORD code = static_cast<DWORD>(systemCode);
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return {K::kBusy, systemCode, portName + ": busy: held by another program"};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return {K::kMissing, systemCode,
              portName + ": no such device; `korvelt-cli ports` lists the ports"};
    default:
      break;
  }
  char text[512] = {};
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  std::string reason = length ? std::string(text, length) : "error " + std::to_string(code);
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
    reason.pop_back();
  return {K::kSystem, systemCode, portName + ": " + reason};
}

}  // namespace korvelt
