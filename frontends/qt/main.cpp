// korvelt-updater: the operator's dialog on Linux.
#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <string_view>

#include "app/updater_app.h"
#include "app/updater_dialog.h"
#include "frontends/qt/qt_updater_window.h"
#include "resources/program_version.h"
#include "serial/serial_port.h"

namespace {

class QtPlatform : public korvelt::AppPlatform {
 public:
  QtPlatform(QString screenshot, bool fastMcu, bool mcuStub)
      : screenshot_(std::move(screenshot)), fast_mcu_(fastMcu || mcuStub), mcu_stub_(mcuStub) {}

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
    if (fast_mcu_) {
      dialog.mcuUpdate().Configure(
          {.pacing = korvelt::Stm32Pacing::kAcknowledged, .verify = true, .stub = mcu_stub_});
    }
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
  bool fast_mcu_;
  bool mcu_stub_;
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
  QCommandLineParser parser;
  parser.setApplicationDescription("Firmware updater for the rack KORVELT instrument.");
  parser.addHelpOption();
  parser.addOption({"version", "Print the version and end."});
  QCommandLineOption screenshot("screenshot", "Save a picture of the window at start and end.",
                                "file.png");
  parser.addOption(screenshot);
  QCommandLineOption fastMcu("fast-mcu",
                             "MCU updates go on at each acknowledgement of the bootloader and "
                             "read the flash back afterwards, instead of the fixed pauses.");
  parser.addOption(fastMcu);
  QCommandLineOption mcuStub("mcu-stub",
                             "MCU updates load a flashing stub into the MCU's RAM and write and "
                             "check the image through it; implies --fast-mcu.");
  parser.addOption(mcuStub);
  parser.process(app);

  QtPlatform platform(parser.value(screenshot), parser.isSet(fastMcu), parser.isSet(mcuStub));
  korvelt::UpdaterApp updater;
  updater.InitInstance(platform);
  return 0;
}
