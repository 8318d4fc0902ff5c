#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/updater_dialog.h"
#include "app/window_services.h"
#include "frontends/common/history_recorder.h"
#include "frontends/win32/windows_api.h"
#include "serial/notification_channel.h"

namespace korvelt::win32 {

// The operator's window on Windows: dialog 102 from the resource script, run by
// DialogBoxParam. Its dialog procedure hands control notifications, timers, system commands,
// the close box and serial notifications to the core, and the window services are the plain
// Win32 calls. The core runs on this window's thread; the port's worker wakes it with
// SendNotifyMessage, so the worker never blocks on a window that is busy waiting for it.
class Win32UpdaterWindow : public WindowServices {
 public:
  explicit Win32UpdaterWindow(HINSTANCE instance);
  ~Win32UpdaterWindow() override;
  Win32UpdaterWindow(const Win32UpdaterWindow&) = delete;
  Win32UpdaterWindow& operator=(const Win32UpdaterWindow&) = delete;

  void Attach(UpdaterDialog* dialog) { dialog_ = dialog; }
  // --history: the window hands its typed events and the operator's ways out to the recorder.
  void SetRecorder(std::unique_ptr<common::HistoryRecorder> recorder) {
    recorder_ = std::move(recorder);
  }
  // The window's title instead of the template's (UTF-8), set when the window opens.
  void SetTitle(std::string title) { title_ = std::move(title); }
  NotificationChannel& channel() { return channel_; }
  // Runs dialog 102 modally; returns how it ended.
  INT_PTR Run();

  // WindowServices
  void StartTimer(int timerId, unsigned periodMs) override;
  void StopTimer(int timerId) override;
  void MessageBox(const std::string& text, const std::string& caption) override;
  void AppMessageBox(const std::string& text) override;
  void ErrorBox(const std::string& text, const std::string& caption) override;
  void SetControlText(int controlId, const std::string& text) override;
  std::string GetControlText(int controlId) override;
  void SetPortIcon(PortIcon icon) override;
  void SetComboSelection(int controlId, int index) override;
  int GetComboSelection(int controlId) override;
  std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) override;
  void Pause(unsigned ms) override;
  bool LaunchProcess(const std::string& commandLine, int showMode) override;
  void ShowAboutBox() override;
  void EndDialog(int result) override;
  void OperationStarted(const OperationStart& start) override;
  void OperationEnded(const OperationResult& result) override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  void FillListsFromResource();
  HICON Icon(int resourceId, int size);

  HINSTANCE instance_;
  std::atomic<HWND> window_{nullptr};  // read by the worker's wake-up
  UpdaterDialog* dialog_ = nullptr;
  NotificationChannel channel_;
  std::map<int, HICON> icons_;
  std::unique_ptr<common::HistoryRecorder> recorder_;
  std::string title_;
};

}  // namespace korvelt::win32
