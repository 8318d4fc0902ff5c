#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "serial/notification_channel.h"
#include "serial/serial_messages.h"

namespace korvelt::testing {

// The window's side: records notifications on the test thread.
class NotificationWindow {
 public:
  NotificationWindow()
      : channel([this](const SerialNotification& n) {
          {
            std::lock_guard lock(mutex);
            received.push_back(n);
          }
          if (react) react(n);
        }) {}

  // Drains until `done` holds or the bound runs out.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds bound = std::chrono::milliseconds(3000)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
      channel.DrainPending();
      if (done()) return true;
      channel.WaitForPending(std::chrono::milliseconds(5));
    }
    channel.DrainPending();
    return done();
  }
  void PumpFor(std::chrono::milliseconds span) {
    PumpUntil([] { return false; }, span);
  }
  std::vector<uint8_t> BytesFrom(int port) {
    std::lock_guard lock(mutex);
    std::vector<uint8_t> bytes;
    for (const auto& n : received) {
      if (n.message == WM_SERIAL_RXCHAR && n.lParam == port) bytes.push_back(uint8_t(n.wParam));
    }
    return bytes;
  }
  int Count(uint32_t message) {
    std::lock_guard lock(mutex);
    int count = 0;
    for (const auto& n : received) count += n.message == message;
    return count;
  }
  int Count(uint32_t message, uint32_t wParam) {
    std::lock_guard lock(mutex);
    int count = 0;
    for (const auto& n : received) count += n.message == message && n.wParam == wParam;
    return count;
  }
  std::vector<std::string> ErrorTexts() {
    std::lock_guard lock(mutex);
    std::vector<std::string> texts;
    for (const auto& n : received) {
      if (n.message == WM_SERIAL_COMM_ERROR) texts.push_back(n.text);
    }
    return texts;
  }

  // Called on the window's thread after each notification was recorded, as a handler would.
  std::function<void(const SerialNotification&)> react;
  std::mutex mutex;
  std::vector<SerialNotification> received;
  NotificationChannel channel;
};

}  // namespace korvelt::testing
