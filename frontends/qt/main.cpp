// korvelt-updater: the operator's dialog on Linux.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <string_view>

#include "app/updater_app.h"
#include "app/updater_dialog.h"
#include "frontends/common/dialog_options.h"
#include "frontends/common/dialog_setup.h"
#include "frontends/qt/qt_updater_window.h"
#include "resources/dialog_layout.h"
#include "resources/program_version.h"
#include "serial/serial_port.h"

namespace {

class QtPlatform : public korvelt::AppPlatform {
 public:
  QtPlatform(QString screenshot, korvelt::common::DialogSetup setup)
      : screenshot_(std::move(screenshot)), setup_(std::move(setup)) {}

  bool InitializeSockets() override { return true; }  // nothing to start outside Windows

  void ShowAppMessageBox(const std::string& text) override {
    QMessageBox::warning(nullptr, "korvelt-updater", QString::fromStdString(text));
  }

  int RunMainDialog() override {
    korvelt::qt::QtUpdaterWindow window;
    korvelt::SerialPort port;
    korvelt::UpdaterDialog dialog(window, port, &window.channel());
    window.Attach(&dialog);
    dialog.OnInitDialog();
    setup_.ApplyTo(dialog);
    if (!setup_.titleNote.empty()) {
      window.setWindowTitle(QString::fromStdString(
          korvelt::common::WindowTitle(korvelt::MainDialogTemplate().title, setup_)));
    }
    window.SetRecorder(std::move(setup_.recorder));
    if (!screenshot_.isEmpty()) {
      // Saves a picture of the window as it stands at start, then ends.
      QTimer::singleShot(300, &window, [&] {
        window.grab().save(screenshot_);
        window.done(0);
      });
    }
    const int result = window.exec();
    window.channel().Shutdown();  // the window is gone before the port
    return result;
  }

 private:
  QString screenshot_;
  korvelt::common::DialogSetup setup_;
};

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so that it needs no display.
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--version") {
      std::printf("%s\n", korvelt::VersionLine("korvelt-updater").c_str());
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("korvelt-updater");
  // Qt has taken its own options (-platform, ...) out of the list.
  std::vector<std::string> arguments;
  for (const QString& argument : QApplication::arguments().mid(1)) {
    arguments.push_back(argument.toStdString());
  }
  using Outcome = korvelt::common::ParsedCommandLine::Outcome;
  const auto parsed = korvelt::common::ParseDialogCommandLine(arguments, true);
  switch (parsed.outcome) {
    case Outcome::kRun:
      break;
    case Outcome::kHelp:
    case Outcome::kVersion:
      std::printf("%s\n", parsed.text.c_str());
      return 0;
    case Outcome::kUsageError:
      std::fprintf(stderr, "%s\n", parsed.text.c_str());
      return 1;
  }

  // A release or a history that cannot be used stops the start before the window shows.
  auto setup = korvelt::common::PrepareDialog(parsed.options);
  if (!setup.ok()) {
    QMessageBox box(QMessageBox::Critical, korvelt::kCaptionIsp,
                    QString::fromStdString(setup.error()), QMessageBox::Ok);
    box.exec();
    return 1;
  }
  QtPlatform platform(QString::fromStdString(parsed.options.screenshot), std::move(setup).value());
  korvelt::UpdaterApp updater;
  updater.InitInstance(platform);
  return 0;
}
