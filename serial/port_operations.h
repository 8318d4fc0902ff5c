#pragma once

#include <cstdint>

namespace korvelt {

class NotificationChannel;

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
  // A port handle is held (opened and not yet closed by the worker).
  virtual bool HoldsPort() const = 0;
};

}  // namespace korvelt
