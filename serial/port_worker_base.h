#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "serial/notification_channel.h"
#include "serial/serial_port.h"

namespace korvelt {

// What every serial backend's port state has in common: who is told (the owner's channel, the
// trace hook), under which port number, and the one-request write slot.
struct PortWorkerBase {
  NotificationChannel* owner = nullptr;
  int portNumber = 0;
  SerialTraceHook trace;

  void Trace(SerialTraceEvent::Kind kind, std::string text, const uint8_t* bytes = nullptr,
             std::size_t length = 0);
  // The "Application Error" report of a failed call, with the system's text for its error.
  void ReportCommErrorText(const char* operation, const std::string& systemText);
  void Notify(uint32_t message, uint32_t wParam = 0);

  // The write slot: QueueWrite puts a request in, replacing one not yet taken up; the worker
  // takes a copy out, so a request being written is never changed.
  void ResetWriteSlot(int capacity);
  void PutWrite(const uint8_t* bytes, int length);  // cut to the slot; no slot, nothing
  void TakeWrite(std::vector<uint8_t>& inFlight);

 private:
  std::mutex slotMutex_;
  std::vector<uint8_t> writeSlot_;
  std::size_t writeLength_ = 0;
};

}  // namespace korvelt
