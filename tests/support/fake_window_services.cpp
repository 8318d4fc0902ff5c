#include "tests/support/fake_window_services.h"

namespace korvelt::testing {

void FakeWindowServices::StartTimer(int timerId, unsigned periodMs) {
  StopTimer(timerId);
  auto event = clock_.ScheduleIn(periodMs, [this, timerId] { Fire(timerId); });
  timers[timerId] = RunningTimer{periodMs, event};
}

void FakeWindowServices::StopTimer(int timerId) {
  auto it = timers.find(timerId);
  if (it == timers.end()) return;
  clock_.Cancel(it->second.event);
  timers.erase(it);
}

void FakeWindowServices::Fire(int timerId) {
  auto it = timers.find(timerId);
  if (it == timers.end()) return;
  // Periodic until stopped: the next tick is armed before the handler, which may stop it.
  it->second.event = clock_.ScheduleIn(it->second.periodMs, [this, timerId] { Fire(timerId); });
  timerFirings.emplace_back(clock_.Now(), timerId);
  if (dialog_) dialog_->Dispatch(WM_TIMER, static_cast<uint32_t>(timerId), 0);
}

}  // namespace korvelt::testing
