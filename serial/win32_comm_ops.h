#pragma once

#include <windows.h>

namespace korvelt {

// The Win32 calls the serial backend makes to open and configure a port and to read its status.
// Tests derive from it to see the line settings asked of the system and to make calls fail.
class SerialPortBackendOps {
 public:
  virtual ~SerialPortBackendOps() = default;
  // Exclusive overlapped open of "COM%d" or "\\.\COM%d".
  virtual HANDLE Open(const char* portName) {
    return ::CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  }
  virtual BOOL SetState(HANDLE port, DCB* settings) { return ::SetCommState(port, settings); }
  virtual BOOL Purge(HANDLE port, DWORD flags) { return ::PurgeComm(port, flags); }
  // The port's status (bytes in the input queue); clears its error flags.
  virtual BOOL ReadStatus(HANDLE port, DWORD* errors, COMSTAT* status) {
    return ::ClearCommError(port, errors, status);
  }
};

}  // namespace korvelt
