#pragma once

#include <atomic>
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
  // Set from the window's thread, read by the worker before each write.
  std::atomic<bool> keepInputAcrossWrites{false};

  void Trace(SerialTraceEvent::Kind kind, std::string text, const uint8_t* bytes = nullptr,
             std::size_t length = 0);
  // The "Application Error" report of a failed call, with the system's text for its error.
  void ReportCommErrorText(const char* operation, const std::string& systemText,
                           bool deviceGone = false);
  void Notify(uint32_t message, uint32_t wParam = 0);

  // The write slot holds one request; a request the worker has not taken up yet is replaced
  // by a later one. Putting a request in and signalling the worker is one step under the
  // slot's lock, and so is resetting the signal and taking the request up: each request is
  // either replaced before take-up or written exactly once, never lost after its signal was
  // consumed nor written twice. `signal` and `resetSignal` must not block.
  void ResetWriteSlot(int capacity);
  template <typename Signal>
  void PutWrite(const uint8_t* bytes, int length, Signal&& signal) {
    std::lock_guard slot(slot_mutex_);
    CopyIntoSlot(bytes, length);
    signal();
  }
  // The worker's copy: a request being written never changes.
  template <typename ResetSignal>
  void TakeWrite(std::vector<uint8_t>& inFlight, ResetSignal&& resetSignal) {
    std::lock_guard slot(slot_mutex_);
    resetSignal();  // from here on the request counts as taken up
    inFlight.assign(write_slot_.begin(), write_slot_.begin() + static_cast<long>(write_length_));
  }

 private:
  void CopyIntoSlot(const uint8_t* bytes, int length);  // cut to the slot; no slot, nothing

  std::mutex slot_mutex_;
  std::vector<uint8_t> write_slot_;
  std::size_t write_length_ = 0;
};

}  // namespace korvelt
