#include "tests/support/fake_serial_port.h"

namespace korvelt::testing {

bool FakeSerialPort::OpenPort(NotificationChannel*, int portNumber, int baudRate, char parity,
                              int dataBits, int stopBits, uint32_t eventMask, int writeCapacity) {
  ++session_;
  monitored_ = false;
  open_ = presentPorts.count(portNumber) != 0;
  port_ = open_ ? portNumber : 0;
  opens.push_back(
      {portNumber, baudRate, parity, dataBits, stopBits, eventMask, writeCapacity, open_});
  return open_;
}

bool FakeSerialPort::StartMonitor() {
  ++monitorStarts;
  monitored_ = true;
  return true;
}

void FakeSerialPort::QueueWrite(const uint8_t* bytes, int length) {
  std::vector<uint8_t> data(bytes, bytes + length);
  writes.push_back({clock_.Now(), open_ ? port_ : 0, data});
  if (!monitored_) return;
  const uint64_t session = session_;
  const int port = port_;
  clock_.ScheduleIn(0, [this, session, port] {
    if (session == session_ && dialog_) dialog_->Dispatch(WM_SERIAL_TXDONE, 0, port);
  });
  if (open_ && observer_) observer_(port_, data);
}

void FakeSerialPort::RequestClose() {
  ++closeRequests;
  if (open_ || monitored_) ++session_;
  open_ = false;
  monitored_ = false;
}

void FakeSerialPort::DeliverAt(uint64_t atMs, int portNumber, const std::vector<uint8_t>& bytes,
                               uint64_t gapMs) {
  uint64_t at = atMs;
  for (uint8_t byte : bytes) {
    clock_.ScheduleAt(at, [this, portNumber, byte] {
      if (open_ && monitored_ && port_ == portNumber && dialog_) {
        dialog_->Dispatch(WM_SERIAL_RXCHAR, byte, portNumber);
      }
    });
    at += gapMs;
  }
}

void FakeSerialPort::Notify(uint32_t message, uint32_t wParam, int32_t lParam) {
  if (dialog_) dialog_->Dispatch(message, wParam, lParam);
}

std::vector<uint8_t> FakeSerialPort::BytesWrittenTo(int portNumber) const {
  std::vector<uint8_t> all;
  for (const auto& write : writes) {
    if (write.portNumber == portNumber)
      all.insert(all.end(), write.bytes.begin(), write.bytes.end());
  }
  return all;
}

}  // namespace korvelt::testing
