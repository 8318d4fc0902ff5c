// korvelt-updater: the operator's dialog on Linux.
#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QTimer>

#include "app/updater_app.h"
#include "app/updater_dialog.h"
#include "frontends/qt/qt_updater_window.h"
#include "serial/serial_port.h"

namespace {

class QtPlatform : public korvelt::AppPlatform {
 public:
  explicit QtPlatform(QString screenshot) : screenshot_(std::move(screenshot)) {}

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
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("korvelt-updater");
  QApplication::setApplicationVersion("1.0");
  QCommandLineParser parser;
  parser.setApplicationDescription("Firmware updater for the rack KORVELT instrument.");
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption screenshot("screenshot", "Save a picture of the window at start and end.",
                                "file.png");
  parser.addOption(screenshot);
  parser.process(app);

  QtPlatform platform(parser.value(screenshot));
  korvelt::UpdaterApp updater;
  updater.InitInstance(platform);
  return 0;
}
