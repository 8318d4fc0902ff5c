#pragma once

#include <QDialog>
#include <QMap>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/updater_dialog.h"
#include "app/window_services.h"
#include "frontends/common/history_recorder.h"
#include "frontends/qt/dialog_builder.h"
#include "serial/notification_channel.h"

namespace korvelt::qt {

// The About box (dialog 100) built into `about`, its OK button the default one.
BuiltDialog BuildAboutBox(QDialog* about);

// The operator's window on Linux: dialog 102 rendered from the layout table, and the window
// services the core asks for, over Qt Widgets. The core runs on this window's thread; serial
// notifications reach it through the channel, woken by a queued call.
class QtUpdaterWindow : public QDialog, public WindowServices {
 public:
  struct BoxRecord {
    QString kind;  // "window", "application", "error"
    QString text;
    QString caption;
  };
  // Tests see boxes and file choices without blocking on them.
  using BoxInterceptor = std::function<void(const BoxRecord&)>;
  using FileInterceptor = std::function<std::optional<std::string>(const OpenFileRequest&)>;

  explicit QtUpdaterWindow(QWidget* parent = nullptr);
  ~QtUpdaterWindow() override;

  void Attach(UpdaterDialog* dialog) { dialog_ = dialog; }
  // --history: the window hands its typed events and the operator's ways out to the recorder.
  void SetRecorder(std::unique_ptr<common::HistoryRecorder> recorder) {
    recorder_ = std::move(recorder);
  }
  NotificationChannel& channel() { return channel_; }
  QWidget* control(int controlId) const { return built_.byId.value(controlId); }
  const BuiltDialog& built() const { return built_; }

  void SetBoxInterceptor(BoxInterceptor interceptor) { box_interceptor_ = std::move(interceptor); }
  void SetFileInterceptor(FileInterceptor interceptor) {
    file_interceptor_ = std::move(interceptor);
  }
  int aboutBoxesShown() const { return about_boxes_; }
  PortIcon portIcon() const { return port_icon_; }

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

 public:
  // Escape and Enter: the core decides (neither passes OnClose).
  void reject() override;
  void accept() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ShowBox(const QString& kind, const QString& text, const QString& caption);
  // Enter and Escape as the dialog manager takes them; true when the key was one of them.
  bool HandleDialogKey(QKeyEvent* event);
  void CommandHandled(int controlId, uint16_t notification);

  NotificationChannel channel_;
  UpdaterDialog* dialog_ = nullptr;
  BuiltDialog built_;
  std::map<int, std::unique_ptr<QTimer>> timers_;
  QMap<int, QString> raw_texts_;  // texts as the core set them ("\r\n" and all)
  BoxInterceptor box_interceptor_;
  FileInterceptor file_interceptor_;
  int about_boxes_ = 0;
  PortIcon port_icon_ = PortIcon::kOff;
  bool start_focus_placed_ = false;
  std::unique_ptr<common::HistoryRecorder> recorder_;
};

}  // namespace korvelt::qt
