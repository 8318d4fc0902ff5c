#include "frontends/headless/headless_window.h"

#include <algorithm>
#include <thread>

#include "serial/comm_error.h"

namespace korvelt {

namespace {
// The loop looks at its timers at least this often while it waits for the port.
constexpr std::chrono::milliseconds kLongestWait{20};
}  // namespace

HeadlessWindow::HeadlessWindow()
    : channel_([this](const SerialNotification& notification) {
        if (dialog_) dialog_->HandleSerialNotification(notification);
      }) {}

bool HeadlessWindow::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    auto now = Clock::now();
    if (now >= deadline) return false;
    FireDueTimers();
    if (done()) break;
    auto next = deadline;
    for (const auto& [id, timer] : timers_) next = std::min(next, timer.due);
    auto wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(next - now),
                           std::chrono::milliseconds(0), kLongestWait);
    channel_.WaitForPending(wait);
    channel_.DrainPending();
  }
  return true;
}

void HeadlessWindow::FireDueTimers() {
  const auto now = Clock::now();
  // One tick per due timer and pass, earliest first; a handler may stop or restart timers.
  std::vector<std::pair<Clock::time_point, int>> due;
  for (const auto& [id, timer] : timers_) {
    if (timer.due <= now) due.emplace_back(timer.due, id);
  }
  std::sort(due.begin(), due.end());
  for (const auto& [when, id] : due) {
    auto it = timers_.find(id);
    if (it == timers_.end() || it->second.due != when) continue;  // stopped or restarted
    it->second.due = Clock::now() + it->second.period;
    if (dialog_) dialog_->Dispatch(WM_TIMER, static_cast<uint32_t>(id), 0);
  }
}

void HeadlessWindow::StartTimer(int timerId, unsigned periodMs) {
  const std::chrono::milliseconds period(periodMs);
  timers_[timerId] = Timer{period, Clock::now() + period};
}

void HeadlessWindow::StopTimer(int timerId) {
  timers_.erase(timerId);
}

void HeadlessWindow::Record(Box box) {
  boxes_.push_back(box);
  if (box_observer_) box_observer_(boxes_.back());
}

void HeadlessWindow::MessageBox(const std::string& text, const std::string& caption) {
  Record({"window", text, caption});
}

void HeadlessWindow::AppMessageBox(const std::string& text) {
  Record({"application", text, "korvelt-updater"});
}

void HeadlessWindow::ErrorBox(const std::string& text, const std::string& caption) {
  Record({"error", text, caption});
}

void HeadlessWindow::SetControlText(int controlId, const std::string& text) {
  texts_[controlId] = text;
  if (text_observer_) text_observer_(controlId, text);
}

std::string HeadlessWindow::GetControlText(int controlId) {
  return ControlText(controlId);
}

std::string HeadlessWindow::ControlText(int controlId) const {
  auto it = texts_.find(controlId);
  return it == texts_.end() ? std::string() : it->second;
}

int HeadlessWindow::GetComboSelection(int controlId) {
  auto it = combos_.find(controlId);
  return it == combos_.end() ? -1 : it->second;
}

std::optional<std::string> HeadlessWindow::ChooseOpenFile(const OpenFileRequest&) {
  if (file_choices_.empty()) return std::nullopt;
  auto choice = file_choices_.front();
  file_choices_.pop_front();
  return choice;
}

void HeadlessWindow::Pause(unsigned ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool HeadlessWindow::LaunchProcess(const std::string& commandLine, int showMode) {
  return launcher_ ? launcher_(commandLine, showMode) : false;
}

}  // namespace korvelt
