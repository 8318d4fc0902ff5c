#pragma once

#include <cstdint>
#include <string>

namespace korvelt {

class NotificationChannel;

// The port's one write slot: a write request carries at most this many bytes.
inline constexpr int kWriteSlotBytes = 512;

// Why a port did not open. The kinds let a front end choose its hint without reading the text.
enum class PortErrorKind {
  kNone,
  kBusy,        // another program holds it
  kPermission,  // the user may not open it
  kMissing,     // no such port or device
  kNotSerial,   // the device is no serial port
  kSystem,      // anything else the system reported
};
struct PortError {
  PortErrorKind kind = PortErrorKind::kNone;
  int code = 0;      // errno on POSIX, GetLastError() on Windows
  std::string text;  // "COM3 (/dev/ttyUSB0): busy: held by process 1234 (minicom)"
};

// What the window needs of a serial port. SerialPort implements it over the platform's
// serial API; tests implement it with a scripted fake.
class PortOperations {
 public:
  virtual ~PortOperations() = default;

  // Ends a running worker, closes any handle still held, then opens and configures the port
  // named by the number. False when the port is absent or held by another program (no box).
  virtual bool OpenPort(NotificationChannel* owner, int portNumber, int baudRate, char parity,
                        int dataBits, int stopBits, uint32_t eventMask, int writeCapacity) = 0;
  // Starts the worker that delivers received bytes and carries out writes.
  virtual bool StartMonitor() = 0;
  // Copies at most the write-slot capacity into the slot and wakes the worker. A request the
  // worker has not taken up yet is replaced. Never waits.
  virtual void QueueWrite(const uint8_t* bytes, int length) = 0;
  // Asks the worker to close the port; does not wait.
  virtual void RequestClose() = 0;
  // Every write first discards received bytes the worker has not read yet, so that nothing
  // sent before a command can pass for its answer. A stream whose replies arrive while it is
  // still being written (the MCU's flashing stub) keeps them instead, while this is set.
  virtual void KeepInputAcrossWrites(bool /*keep*/) {}
  // A port handle is held (opened and not yet closed by the worker).
  virtual bool HoldsPort() const = 0;
  // Why the last OpenPort that failed did not open; kNone before any failure.
  virtual PortError LastOpenError() const { return {}; }
};

}  // namespace korvelt
