#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "app/updater_dialog.h"
#include "serial/port_operations.h"
#include "tests/support/virtual_clock.h"

namespace korvelt::testing {

// A scripted port on the virtual clock. It records every call, delivers a write-completed
// notification after each write, and delivers received bytes at the times a test (or a
// device model behind it) gives.
class FakeSerialPort : public PortOperations {
 public:
  struct OpenCall {
    int portNumber;
    int baudRate;
    char parity;
    int dataBits;
    int stopBits;
    uint32_t eventMask;
    int writeCapacity;
    bool succeeded;
  };
  struct Write {
    uint64_t atMs;
    int portNumber;
    std::vector<uint8_t> bytes;
  };
  using WriteObserver = std::function<void(int portNumber, const std::vector<uint8_t>& bytes)>;

  explicit FakeSerialPort(VirtualClock& clock) : clock_(clock) {}
  void Attach(UpdaterDialog* dialog) { dialog_ = dialog; }

  bool OpenPort(NotificationChannel* owner, int portNumber, int baudRate, char parity, int dataBits,
                int stopBits, uint32_t eventMask, int writeCapacity) override;
  bool StartMonitor() override;
  void QueueWrite(const uint8_t* bytes, int length) override;
  void RequestClose() override;
  void KeepInputAcrossWrites(bool keep) override { keepsInput = keep; }
  bool HoldsPort() const override { return open_; }

  // Received bytes from the unit on `portNumber`, delivered from `atMs` on, one per `gapMs`.
  // Bytes for a port that is not open and monitored then are lost, as on a real line.
  void DeliverAt(uint64_t atMs, int portNumber, const std::vector<uint8_t>& bytes,
                 uint64_t gapMs = 0);
  // Delivers a notification exactly as the worker would (any port number).
  void Notify(uint32_t message, uint32_t wParam, int32_t lParam);

  void SetWriteObserver(WriteObserver observer) { observer_ = std::move(observer); }

  bool Monitored() const { return open_ && monitored_; }
  int CurrentPort() const { return port_; }
  // All bytes written while `portNumber` was open, in order.
  std::vector<uint8_t> BytesWrittenTo(int portNumber) const;

  std::set<int> presentPorts;
  std::vector<OpenCall> opens;
  std::vector<Write> writes;
  int closeRequests = 0;
  int monitorStarts = 0;
  bool keepsInput = false;  // KeepInputAcrossWrites

 private:
  VirtualClock& clock_;
  UpdaterDialog* dialog_ = nullptr;
  WriteObserver observer_;
  bool open_ = false;
  bool monitored_ = false;
  int port_ = 0;
  uint64_t session_ = 0;  // bumps at every open and close, so stale deliveries are dropped
};

}  // namespace korvelt::testing
