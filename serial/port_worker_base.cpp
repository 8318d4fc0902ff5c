#include "serial/port_worker_base.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "serial/comm_error.h"
#include "serial/serial_messages.h"

namespace korvelt {

void PortWorkerBase::Trace(SerialTraceEvent::Kind kind, std::string text, const uint8_t* bytes,
                           std::size_t length) {
  if (trace) trace(SerialTraceEvent{kind, portNumber, std::move(text), bytes, length});
}

void PortWorkerBase::ReportCommErrorText(const char* operation, const std::string& systemText,
                                         bool deviceGone) {
  std::string text = ComposeCommErrorText(operation, systemText, portNumber);
  Trace(SerialTraceEvent::Kind::kError, text);
  if (owner) {
    owner->Send(SerialNotification{WM_SERIAL_COMM_ERROR, deviceGone ? kCommErrorDeviceGone : 0,
                                   portNumber, text});
  } else {
    std::fputs(text.c_str(), stderr);
  }
}

void PortWorkerBase::Notify(uint32_t message, uint32_t wParam) {
  if (owner) owner->Send(SerialNotification{message, wParam, portNumber, {}});
}

void PortWorkerBase::ResetWriteSlot(int capacity) {
  std::lock_guard slot(slot_mutex_);
  write_slot_.assign(static_cast<std::size_t>(std::max(capacity, 0)), 0);
  write_length_ = 0;
}

void PortWorkerBase::CopyIntoSlot(const uint8_t* bytes, int length) {
  write_length_ = std::min(static_cast<std::size_t>(std::max(length, 0)), write_slot_.size());
  if (write_length_ > 0) std::memcpy(write_slot_.data(), bytes, write_length_);
}

}  // namespace korvelt
