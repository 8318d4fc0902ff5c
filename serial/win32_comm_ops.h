#pragma once

#include <windows.h>

namespace korvelt {

// The Win32 calls the serial backend makes to open and configure a port. Tests derive from it
// to see the line settings asked of the system.
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
};

}  // namespace korvelt
