#include "serial/notification_channel.h"

namespace korvelt {

NotificationChannel::NotificationChannel(Handler handler)
    : handler_(std::move(handler)), owner_(std::this_thread::get_id()) {}

void NotificationChannel::SetWakeHook(std::function<void(uint32_t)> hook) {
  std::lock_guard lock(mutex_);
  wake_hook_ = std::move(hook);
}

void NotificationChannel::Send(SerialNotification notification) {
  std::vector<SerialNotification> one;
  one.push_back(std::move(notification));
  SendAll(one);
}

void NotificationChannel::SendAll(std::vector<SerialNotification>& notifications) {
  if (notifications.empty()) return;
  if (IsWindowThread()) {
    for (const auto& notification : notifications) {
      {
        std::lock_guard lock(mutex_);
        if (shut_down_ || discard_depth_ > 0) return;
      }
      handler_(notification);
    }
    return;
  }
  std::function<void(uint32_t)> wake;
  const uint32_t firstMessage = notifications.front().message;
  uint64_t last = 0;
  {
    std::lock_guard lock(mutex_);
    if (shut_down_ || discard_depth_ > 0) return;
    for (auto& notification : notifications) {
      last = next_sequence_++;
      queue_.push_back(Entry{std::move(notification), last});
    }
    wake = wake_hook_;
  }
  queued_.notify_all();
  if (wake) wake(firstMessage);
  std::unique_lock lock(mutex_);
  handled_.wait(lock, [&] { return done_up_to_ >= last; });
}

std::size_t NotificationChannel::DrainPending() {
  std::size_t handled = 0;
  std::unique_lock lock(mutex_);
  if (draining_) return 0;  // called again from inside a handler: the outer drain goes on later
  draining_ = true;
  while (!queue_.empty()) {
    Entry entry = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    handler_(entry.notification);
    ++handled;
    lock.lock();
    if (entry.sequence > done_up_to_) done_up_to_ = entry.sequence;
  }
  draining_ = false;
  handled_.notify_all();
  return handled;
}

bool NotificationChannel::WaitForPending(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return queued_.wait_for(lock, timeout, [&] { return !queue_.empty(); });
}

void NotificationChannel::DiscardQueuedLocked() {
  if (!queue_.empty()) {
    done_up_to_ = std::max(done_up_to_, queue_.back().sequence);
    queue_.clear();
  }
  done_up_to_ = std::max(done_up_to_, next_sequence_ - 1);
  handled_.notify_all();
}

void NotificationChannel::BeginDiscard() {
  std::lock_guard lock(mutex_);
  ++discard_depth_;
  DiscardQueuedLocked();
}

void NotificationChannel::EndDiscard() {
  std::lock_guard lock(mutex_);
  --discard_depth_;
}

void NotificationChannel::Shutdown() {
  std::lock_guard lock(mutex_);
  shut_down_ = true;
  DiscardQueuedLocked();
}

NotificationChannel::DiscardScope::DiscardScope(NotificationChannel* channel) : channel_(channel) {
  if (channel_) channel_->BeginDiscard();
}

NotificationChannel::DiscardScope::~DiscardScope() {
  if (channel_) channel_->EndDiscard();
}

}  // namespace korvelt
