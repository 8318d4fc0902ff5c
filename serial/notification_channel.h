#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvelt {

struct SerialNotification {
  uint32_t message = 0;
  uint32_t wParam = 0;
  int32_t lParam = 0;
  std::string text;  // only for WM_SERIAL_COMM_ERROR
};

// Hands notifications from a port's worker thread to the window's thread synchronously:
// Send() returns once the window's thread has handled the notification, so received bytes
// are handled one at a time and in order. Every front end's event loop drains it.
//
// The thread that constructs the channel is the window's thread. A Send() from that thread
// calls the handler at once, as a window sending a message to itself would.
class NotificationChannel {
 public:
  using Handler = std::function<void(const SerialNotification&)>;

  explicit NotificationChannel(Handler handler);
  NotificationChannel(const NotificationChannel&) = delete;
  NotificationChannel& operator=(const NotificationChannel&) = delete;

  // Called on the sending thread each time notifications are queued, with the message of the
  // first, so that a GUI loop can schedule a drain. Set it before any port uses the channel.
  void SetWakeHook(std::function<void(uint32_t firstMessage)> hook);

  // Any thread. Blocks until the notification was handled or discarded.
  void Send(SerialNotification notification);
  // The same for several notifications at once, handled one by one in order: one hand-over
  // for a whole burst of received bytes.
  void SendAll(std::vector<SerialNotification>& notifications);

  // Window thread: handles every queued notification; returns how many.
  std::size_t DrainPending();
  // Window thread: waits at most `timeout` for a notification to be queued.
  bool WaitForPending(std::chrono::milliseconds timeout);

  // While a scope is alive, notifications are dropped instead of handled and blocked senders
  // are released. The window's thread opens one while it waits for a worker to end, so that
  // wait can never hang on a notification that nobody would handle.
  class DiscardScope {
   public:
    explicit DiscardScope(NotificationChannel* channel);
    ~DiscardScope();
    DiscardScope(const DiscardScope&) = delete;
    DiscardScope& operator=(const DiscardScope&) = delete;

   private:
    NotificationChannel* channel_;
  };

  // The window is gone: drop everything from now on.
  void Shutdown();

  bool IsWindowThread() const { return std::this_thread::get_id() == owner_; }

 private:
  struct Entry {
    SerialNotification notification;
    uint64_t sequence;
  };
  void BeginDiscard();
  void EndDiscard();
  void DiscardQueuedLocked();

  Handler handler_;
  std::function<void(uint32_t)> wake_hook_;
  std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable handled_;
  std::deque<Entry> queue_;
  uint64_t next_sequence_ = 1;
  uint64_t done_up_to_ = 0;  // every sequence <= this was handled or discarded
  int discard_depth_ = 0;
  bool shut_down_ = false;
  bool draining_ = false;  // a handler's nested event loop must not handle later notifications
};

}  // namespace korvelt
