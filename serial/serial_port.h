#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial/port_operations.h"

namespace korvelt {

class SerialPortBackendOps;  // the platform seam; each backend defines it

// What the trace hook sees: every open, close, line setting and byte on the line.
struct SerialTraceEvent {
  enum class Kind { kOpen, kOpenFailed, kSettings, kClose, kRead, kWrite, kError };
  Kind kind;
  int portNumber = 0;
  std::string text;  // device path, settings or error text
  const uint8_t* bytes = nullptr;
  std::size_t length = 0;
};
using SerialTraceHook = std::function<void(const SerialTraceEvent&)>;

// One COM port and the worker thread that carries out every transfer on it. The platform's
// backend (serial_port_posix.cpp or serial_port_win32.cpp) implements it.
class SerialPort final : public PortOperations {
 public:
  SerialPort();
  explicit SerialPort(std::shared_ptr<SerialPortBackendOps> ops);
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  bool OpenPort(NotificationChannel* owner, int portNumber, int baudRate, char parity, int dataBits,
                int stopBits, uint32_t eventMask, int writeCapacity) override;
  bool StartMonitor() override;
  void QueueWrite(const uint8_t* bytes, int length) override;
  void RequestClose() override;
  void KeepInputAcrossWrites(bool keep) override;
  bool HoldsPort() const override;
  PortError LastOpenError() const override;

  // Installed before OpenPort; called on whichever thread the event happens.
  void SetTraceHook(SerialTraceHook hook);

  bool MonitorAlive() const;
  // The parity the port was asked for last, even where the device could not carry it.
  char RequestedParity() const;

  // "COM%d" for 1 to 9, "\\.\COM%d" from 10 up.
  static std::string PortName(int portNumber);
  // "baud=%d parity=%c data=%d stop=%d".
  static std::string LineDefinition(int baudRate, char parity, int dataBits, int stopBits);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvelt
