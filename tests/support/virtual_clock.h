#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace korvelt::testing {

// Time for tests: events run in time order when the test lets time pass, so minutes of
// protocol run in milliseconds and always the same way.
class VirtualClock {
 public:
  using Callback = std::function<void()>;
  using EventId = uint64_t;

  uint64_t Now() const { return now_; }

  EventId ScheduleAt(uint64_t atMs, Callback callback) {
    EventId id = next_id_++;
    events_.emplace(std::make_pair(std::max(atMs, now_), id), std::move(callback));
    return id;
  }
  EventId ScheduleIn(uint64_t delayMs, Callback callback) {
    return ScheduleAt(now_ + delayMs, std::move(callback));
  }
  void Cancel(EventId id) {
    for (auto it = events_.begin(); it != events_.end(); ++it) {
      if (it->first.second == id) {
        events_.erase(it);
        return;
      }
    }
  }

  // A blocking pause: time moves on, nothing runs meanwhile; what fell due runs afterwards.
  void Advance(uint64_t ms) { now_ += ms; }

  // Runs every event due up to `untilMs`, in order; the clock then reads `untilMs`.
  void RunUntil(uint64_t untilMs) {
    while (!events_.empty() && events_.begin()->first.first <= untilMs) RunNext();
    if (now_ < untilMs) now_ = untilMs;
  }
  void RunFor(uint64_t ms) { RunUntil(now_ + ms); }

  // Runs events until `done` holds or `limitMs` of virtual time have passed. True if done.
  bool RunUntil(const std::function<bool()>& done, uint64_t limitMs) {
    const uint64_t limit = now_ + limitMs;
    while (!done()) {
      if (events_.empty() || events_.begin()->first.first > limit) {
        now_ = std::max(now_, limit);
        return done();
      }
      RunNext();
    }
    return true;
  }

  bool Idle() const { return events_.empty(); }

 private:
  void RunNext() {
    auto it = events_.begin();
    now_ = std::max(now_, it->first.first);
    Callback callback = std::move(it->second);
    events_.erase(it);
    callback();
  }

  uint64_t now_ = 0;
  EventId next_id_ = 1;
  std::map<std::pair<uint64_t, EventId>, Callback> events_;
};

}  // namespace korvelt::testing
