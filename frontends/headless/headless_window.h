#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/updater_dialog.h"
#include "app/window_services.h"
#include "serial/notification_channel.h"

namespace korvelt {

// A window with no screen: real timers, the serial channel drained in its own loop, message
// boxes handed to a callback and answered OK. The command-line tool and the end-to-end tests
// run the core in it.
class HeadlessWindow : public WindowServices {
 public:
  struct Box {
    std::string kind;  // "window", "application" or "error"
    std::string text;
    std::string caption;
  };
  using BoxObserver = std::function<void(const Box&)>;
  using Launcher = std::function<bool(const std::string& commandLine, int showMode)>;
  using TextObserver = std::function<void(int controlId, const std::string& text)>;
  using EventObserver = std::function<void(const OperationResult& result)>;
  using ProgressObserver = std::function<void(const OperationProgress& progress)>;

  HeadlessWindow();
  void Attach(UpdaterDialog* dialog) { dialog_ = dialog; }
  NotificationChannel& channel() { return channel_; }

  // Runs timers and serial notifications until `done` holds or `limit` has passed.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
  void RunFor(std::chrono::milliseconds span) {
    RunUntil([] { return false; }, span);
  }

  void SetBoxObserver(BoxObserver observer) { box_observer_ = std::move(observer); }
  void SetLauncher(Launcher launcher) { launcher_ = std::move(launcher); }
  void SetTextObserver(TextObserver observer) { text_observer_ = std::move(observer); }
  void SetEventObserver(EventObserver observer) { event_observer_ = std::move(observer); }
  void SetProgressObserver(ProgressObserver observer) { progress_observer_ = std::move(observer); }
  const std::vector<OperationResult>& results() const { return results_; }
  // The files the open-file dialog "chooses", in order; nothing means cancel.
  void QueueFileChoice(std::optional<std::string> path) { file_choices_.push_back(path); }

  const std::vector<Box>& boxes() const { return boxes_; }
  std::string ControlText(int controlId) const;
  PortIcon portIcon() const { return port_icon_; }
  std::optional<int> endResult() const { return end_result_; }

  // WindowServices
  void StartTimer(int timerId, unsigned periodMs) override;
  void StopTimer(int timerId) override;
  void MessageBox(const std::string& text, const std::string& caption) override;
  void AppMessageBox(const std::string& text) override;
  void ErrorBox(const std::string& text, const std::string& caption) override;
  void SetControlText(int controlId, const std::string& text) override;
  std::string GetControlText(int controlId) override;
  void SetPortIcon(PortIcon icon) override { port_icon_ = icon; }
  void SetComboSelection(int controlId, int index) override { combos_[controlId] = index; }
  int GetComboSelection(int controlId) override;
  std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) override;
  void Pause(unsigned ms) override;
  bool LaunchProcess(const std::string& commandLine, int showMode) override;
  void ShowAboutBox() override {}
  void EndDialog(int result) override { end_result_ = result; }
  void OperationEnded(const OperationResult& result) override {
    results_.push_back(result);
    if (event_observer_) event_observer_(result);
  }
  void ProgressChanged(const OperationProgress& progress) override {
    if (progress_observer_) progress_observer_(progress);
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Timer {
    std::chrono::milliseconds period;
    Clock::time_point due;
  };
  void Record(Box box);
  void FireDueTimers();

  NotificationChannel channel_;
  UpdaterDialog* dialog_ = nullptr;
  std::map<int, Timer> timers_;
  std::map<int, std::string> texts_;
  std::map<int, int> combos_;
  PortIcon port_icon_ = PortIcon::kOff;
  std::vector<Box> boxes_;
  std::deque<std::optional<std::string>> file_choices_;
  BoxObserver box_observer_;
  Launcher launcher_;
  TextObserver text_observer_;
  EventObserver event_observer_;
  ProgressObserver progress_observer_;
  std::vector<OperationResult> results_;
  std::optional<int> end_result_;
};

}  // namespace korvelt
