#include "frontends/qt/qt_updater_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QThread>

// Resources compiled into a static library must be registered by name.
static void RegisterImages() {
  Q_INIT_RESOURCE(resources);
}

namespace korvelt::qt {

namespace {

QString FromStd(const std::string& text) {
  return QString::fromStdString(text);
}

// Multi-line edits break lines at "\r\n"; a lone carriage return shows nothing.
QString ForDisplay(QString text) {
  text.replace("\r\n", "\n");
  text.remove('\r');
  return text;
}

}  // namespace

QFont DialogFont(const DialogTemplate& layout) {
  // The template's font is rarely installed on Linux; a condensed sans keeps the captions
  // inside the controls sized for it.
  QFont font;
  font.setFamilies({QString::fromUtf8(layout.fontName.data(), int(layout.fontName.size())),
                    "DejaVu Sans Condensed", "Liberation Sans Narrow", "Sans Serif"});
  font.setPointSize(layout.fontPoints);
  return font;
}

BuiltDialog BuildAboutBox(QDialog* about) {
  const DialogTemplate& layout = AboutDialogTemplate();
  about->setWindowTitle(QString::fromUtf8(layout.title.data(), int(layout.title.size())));
  about->setFont(DialogFont(layout));
  BuiltDialog built = BuildDialog(layout, about);
  if (auto* ok = qobject_cast<QPushButton*>(built.byId.value(1))) {
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, about, &QDialog::accept);
  }
  return built;
}

namespace {

void FillList(QComboBox* combo, std::span<const std::string_view> entries) {
  for (std::string_view entry : entries) {
    combo->addItem(QString::fromUtf8(entry.data(), int(entry.size())));
  }
  combo->setCurrentIndex(-1);
}

}  // namespace

QtUpdaterWindow::QtUpdaterWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      channel_([this](const SerialNotification& notification) {
        if (dialog_) dialog_->HandleSerialNotification(notification);
      }) {
  RegisterImages();
  const DialogTemplate& layout = MainDialogTemplate();
  setWindowTitle(QString::fromUtf8(layout.title.data(), int(layout.title.size())));
  setFont(DialogFont(layout));
  setWindowIcon(QIcon(ResourceImage(IDR_MAINFRAME)));
  built_ = BuildDialog(layout, this);

  FillList(qobject_cast<QComboBox*>(control(IDC_PORT_LIST)), PortListEntries());
  FillList(qobject_cast<QComboBox*>(control(IDC_SUB_MCU_LIST)), SubMcuListEntries());

  for (auto it = built_.byId.cbegin(); it != built_.byId.cend(); ++it) {
    const int id = it.key();
    if (auto* button = qobject_cast<QPushButton*>(it.value())) {
      // The template has no default button: Enter clicks the focused button and nothing
      // else (Qt 6 otherwise makes the first auto-default button after the focus the default).
      button->setAutoDefault(false);
      button->setDefault(false);
      connect(button, &QPushButton::clicked, this, [this, id] {
        if (!dialog_) return;
        dialog_->Click(id);
        CommandHandled(id, BN_CLICKED);
      });
    } else if (auto* combo = qobject_cast<QComboBox*>(it.value())) {
      // An editable QComboBox keeps Enter and Escape for itself; a closed drop-down combo
      // in a dialog hands them on. Its open list is a popup of its own and keeps them.
      combo->installEventFilter(this);
      if (combo->lineEdit()) combo->lineEdit()->installEventFilter(this);
      connect(combo, &QComboBox::activated, this, [this, id](int) {
        if (!dialog_) return;
        dialog_->SelectionMade(id);
        CommandHandled(id, CBN_SELENDOK);
      });
    }
  }
  // The worker waits for each notification; a queued call drains them on this thread.
  channel_.SetWakeHook([this](uint32_t) {
    QMetaObject::invokeMethod(
        this, [this] { channel_.DrainPending(); }, Qt::QueuedConnection);
  });
}

QtUpdaterWindow::~QtUpdaterWindow() {
  channel_.Shutdown();
}

void QtUpdaterWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The start focus is placed once. Qt sends a show event again on each restore from
  // minimised, and the focus stays where the operator left it.
  if (start_focus_placed_) return;
  start_focus_placed_ = true;
  if (QWidget* first = control(IDC_PORT_BUTTON)) first->setFocus();  // Enter clicks it
}

bool QtUpdaterWindow::HandleDialogKey(QKeyEvent* event) {
  const int key = event->key();
  const bool plain = event->modifiers() == Qt::NoModifier ||
                     (event->modifiers() == Qt::KeypadModifier && key == Qt::Key_Enter);
  if (!plain) return false;
  if (key == Qt::Key_Escape) {
    reject();
    return true;
  }
  if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
  // The focused push button takes Enter as a click; anywhere else it is the dialog's OK.
  auto* button = qobject_cast<QPushButton*>(focusWidget());
  if (button && button->isVisible() && button->isEnabled()) {
    button->click();
  } else {
    accept();
  }
  return true;
}

void QtUpdaterWindow::keyPressEvent(QKeyEvent* event) {
  if (!HandleDialogKey(event)) QDialog::keyPressEvent(event);
}

bool QtUpdaterWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && HandleDialogKey(static_cast<QKeyEvent*>(event))) {
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void QtUpdaterWindow::reject() {
  if (dialog_) dialog_->OnCancel();
}

void QtUpdaterWindow::accept() {
  if (dialog_) dialog_->OnOK();
}

void QtUpdaterWindow::closeEvent(QCloseEvent* event) {
  event->ignore();  // OnClose decides, and ends the dialog itself
  if (dialog_) dialog_->Dispatch(WM_CLOSE, 0, 0);
}

void QtUpdaterWindow::contextMenuEvent(QContextMenuEvent* event) {
  // Linux desktops have no system menu to extend: the About entry lives here instead.
  std::string_view entry = LoadResourceString(IDS_ABOUTBOX);
  if (entry.empty()) return;
  QMenu menu(this);
  QAction* about = menu.addAction(QString::fromUtf8(entry.data(), int(entry.size())));
  connect(about, &QAction::triggered, this, [this] {
    if (dialog_) dialog_->Dispatch(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
  });
  menu.exec(event->globalPos());
}

void QtUpdaterWindow::StartTimer(int timerId, unsigned periodMs) {
  auto& timer = timers_[timerId];
  if (!timer) {
    timer = std::make_unique<QTimer>(this);
    connect(timer.get(), &QTimer::timeout, this, [this, timerId] {
      if (dialog_) dialog_->Dispatch(WM_TIMER, static_cast<uint32_t>(timerId), 0);
    });
  }
  timer->start(static_cast<int>(periodMs));  // restarts a running timer with the new period
}

void QtUpdaterWindow::StopTimer(int timerId) {
  auto it = timers_.find(timerId);
  if (it != timers_.end()) it->second->stop();
}

void QtUpdaterWindow::ShowBox(const QString& kind, const QString& text, const QString& caption) {
  if (box_interceptor_) {
    box_interceptor_({kind, text, caption});
    return;
  }
  QMessageBox::Icon icon = kind == "error"         ? QMessageBox::Critical
                           : kind == "application" ? QMessageBox::Warning
                                                   : QMessageBox::NoIcon;
  QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
  box.exec();
}

void QtUpdaterWindow::MessageBox(const std::string& text, const std::string& caption) {
  ShowBox("window", FromStd(text), FromStd(caption));
}

void QtUpdaterWindow::AppMessageBox(const std::string& text) {
  ShowBox("application", FromStd(text), QString::fromUtf8(kApplicationName.data()));
}

void QtUpdaterWindow::ErrorBox(const std::string& text, const std::string& caption) {
  ShowBox("error", FromStd(text), FromStd(caption));
}

void QtUpdaterWindow::SetControlText(int controlId, const std::string& text) {
  QWidget* widget = control(controlId);
  const QString value = FromStd(text);
  raw_texts_[controlId] = value;
  if (auto* button = qobject_cast<QPushButton*>(widget)) {
    button->setText(value);
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(value);
  } else if (auto* line = qobject_cast<QLineEdit*>(widget)) {
    line->setText(value);
  } else if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
    edit->setPlainText(ForDisplay(value));
  }
}

std::string QtUpdaterWindow::GetControlText(int controlId) {
  QWidget* widget = control(controlId);
  if (auto* line = qobject_cast<QLineEdit*>(widget)) return line->text().toStdString();
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
    // Unless the operator changed it, give back the text exactly as it was set.
    if (ForDisplay(raw_texts_.value(controlId)) == edit->toPlainText()) {
      return raw_texts_.value(controlId).toStdString();
    }
    return edit->toPlainText().replace("\n", "\r\n").toStdString();
  }
  return raw_texts_.value(controlId).toStdString();
}

void QtUpdaterWindow::SetPortIcon(PortIcon icon) {
  port_icon_ = icon;
  if (auto* label = qobject_cast<QLabel*>(control(IDC_PORT_ICON))) {
    label->setPixmap(ResourceImage(icon == PortIcon::kOn ? IDI_PORT_ON : IDI_PORT_OFF));
  }
}

void QtUpdaterWindow::SetComboSelection(int controlId, int index) {
  if (auto* combo = qobject_cast<QComboBox*>(control(controlId))) combo->setCurrentIndex(index);
}

int QtUpdaterWindow::GetComboSelection(int controlId) {
  auto* combo = qobject_cast<QComboBox*>(control(controlId));
  return combo ? combo->currentIndex() : -1;
}

std::optional<std::string> QtUpdaterWindow::ChooseOpenFile(const OpenFileRequest& request) {
  if (file_interceptor_) return file_interceptor_(request);
  QString selected = "bmp file(*.bin)";
  QString path = QFileDialog::getOpenFileName(this, QString(), QDir::currentPath(),
                                              "bmp file(*.bin);;all file(*.*)", &selected);
  if (path.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(path).toStdString();
}

void QtUpdaterWindow::Pause(unsigned ms) {
  QThread::msleep(ms);
}

bool QtUpdaterWindow::LaunchProcess(const std::string& commandLine, int) {
  QString program = FromStd(commandLine);
  program.replace('\\', '/');
  return QProcess::startDetached(program, {});
}

void QtUpdaterWindow::EndDialog(int result) {
  if (recorder_) recorder_->WindowClosing(*this);
  done(result);
}

void QtUpdaterWindow::OperationStarted(const OperationStart& start) {
  if (recorder_) recorder_->OperationStarted(start, *this);
}

void QtUpdaterWindow::OperationEnded(const OperationResult& result) {
  if (recorder_) recorder_->OperationEnded(result, *this);
}

void QtUpdaterWindow::CommandHandled(int controlId, uint16_t notification) {
  if (recorder_) recorder_->CommandHandled(controlId, notification, *this);
}

void QtUpdaterWindow::ShowAboutBox() {
  ++about_boxes_;
  if (box_interceptor_) {
    box_interceptor_({"about", "TIRAS CONSOLE Version 1.0", "About TIRAS CONSOLE"});
    return;
  }
  QDialog about(this, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  BuildAboutBox(&about);
  about.exec();
}

}  // namespace korvelt::qt
