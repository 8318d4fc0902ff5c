#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/updater_dialog.h"
#include "app/window_services.h"
#include "tests/support/virtual_clock.h"

namespace korvelt::testing {

// Window services on a virtual clock: timers fire in virtual time, pauses advance it, message
// boxes are recorded and answered OK, the file dialog answers from a queue.
class FakeWindowServices : public WindowServices {
 public:
  enum class BoxKind { kWindow, kApplication, kError };
  struct Box {
    BoxKind kind;
    std::string text;
    std::string caption;
  };
  struct RunningTimer {
    unsigned periodMs;
    VirtualClock::EventId event;
  };

  explicit FakeWindowServices(VirtualClock& clock) : clock_(clock) {}
  void Attach(UpdaterDialog* dialog) { dialog_ = dialog; }

  void StartTimer(int timerId, unsigned periodMs) override;
  void StopTimer(int timerId) override;
  void MessageBox(const std::string& text, const std::string& caption) override {
    boxes.push_back({BoxKind::kWindow, text, caption});
  }
  void AppMessageBox(const std::string& text) override {
    boxes.push_back({BoxKind::kApplication, text, "korvelt-updater"});
  }
  void ErrorBox(const std::string& text, const std::string& caption) override {
    boxes.push_back({BoxKind::kError, text, caption});
  }
  void SetControlText(int controlId, const std::string& text) override {
    controlTexts[controlId] = text;
    textHistory.emplace_back(controlId, text);
  }
  // Every text a control showed, in order, with repeats removed.
  std::vector<std::string> TextsShown(int controlId) const {
    std::vector<std::string> shown;
    for (const auto& [id, text] : textHistory) {
      if (id == controlId && (shown.empty() || shown.back() != text)) shown.push_back(text);
    }
    return shown;
  }
  std::string GetControlText(int controlId) override { return controlTexts[controlId]; }
  void SetPortIcon(PortIcon icon) override { portIcon = icon; }
  void SetComboSelection(int controlId, int index) override { comboSelections[controlId] = index; }
  int GetComboSelection(int controlId) override {
    auto it = comboSelections.find(controlId);
    return it == comboSelections.end() ? -1 : it->second;
  }
  std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) override {
    fileRequests.push_back(request);
    if (fileAnswers.empty()) return std::nullopt;
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
  }
  void Pause(unsigned ms) override {
    pauses.push_back(ms);
    clock_.Advance(ms);
  }
  uint64_t NowMs() override { return clock_.Now(); }
  bool LaunchProcess(const std::string& commandLine, int showMode) override {
    launches.push_back({commandLine, showMode});
    return launchSucceeds;
  }
  void ShowAboutBox() override { ++aboutBoxes; }
  void EndDialog(int result) override { endResult = result; }
  void OperationEnded(const OperationResult& result) override {
    events.push_back(result.event);
    results.push_back(result);
  }
  void ProgressChanged(const OperationProgress& p) override { progress.push_back(p); }

  bool TimerRunning(int timerId) const { return timers.count(timerId) != 0; }
  std::optional<unsigned> TimerPeriod(int timerId) const {
    auto it = timers.find(timerId);
    if (it == timers.end()) return std::nullopt;
    return it->second.periodMs;
  }

  std::vector<Box> boxes;
  std::map<int, std::string> controlTexts;
  std::vector<std::pair<int, std::string>> textHistory;
  std::map<int, int> comboSelections;
  PortIcon portIcon = PortIcon::kOff;
  std::deque<std::optional<std::string>> fileAnswers;
  std::vector<OpenFileRequest> fileRequests;
  std::vector<unsigned> pauses;
  std::vector<std::pair<std::string, int>> launches;
  bool launchSucceeds = true;
  int aboutBoxes = 0;
  std::optional<int> endResult;
  std::vector<OperationEvent> events;
  std::vector<OperationResult> results;
  std::vector<OperationProgress> progress;

  // The first MCU update that ended from result `first` on, or nullptr.
  const OperationResult* McuUpdateEndedSince(std::size_t first) const {
    for (std::size_t i = first; i < results.size(); ++i) {
      const auto event = results[i].event;
      if (event == OperationEvent::kMcuUpdateSucceeded || event == OperationEvent::kMcuUpdateFailed)
        return &results[i];
    }
    return nullptr;
  }
  std::map<int, RunningTimer> timers;
  std::vector<std::pair<uint64_t, int>> timerFirings;  // (time, id)

 private:
  void Fire(int timerId);

  VirtualClock& clock_;
  UpdaterDialog* dialog_ = nullptr;
};

}  // namespace korvelt::testing
