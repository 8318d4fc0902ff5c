// korvelt-updater.exe: the operator's dialog on Windows.
#include <sstream>
#include <string>

#include "app/updater_app.h"
#include "app/updater_dialog.h"
#include "frontends/win32/win32_updater_window.h"
#include "frontends/win32/windows_api.h"
#include "resources/dialog_layout.h"
#include "serial/serial_port.h"

namespace {

class Win32Platform : public korvelt::AppPlatform {
 public:
  Win32Platform(HINSTANCE instance, bool fastMcu, bool mcuStub)
      : instance_(instance), fast_mcu_(fastMcu || mcuStub), mcu_stub_(mcuStub) {}
  ~Win32Platform() override {
    if (sockets_started_) ::WSACleanup();
  }

  bool InitializeSockets() override {
    WSADATA details{};
    sockets_started_ = ::WSAStartup(MAKEWORD(1, 1), &details) == 0;
    return sockets_started_;
  }

  void ShowAppMessageBox(const std::string& text) override {
    ::MessageBoxA(nullptr, text.c_str(), std::string(korvelt::kApplicationName).c_str(),
                  MB_OK | MB_ICONEXCLAMATION);
  }

  int RunMainDialog() override {
    korvelt::win32::Win32UpdaterWindow window(instance_);
    korvelt::SerialPort port;
    korvelt::UpdaterDialog dialog(window, port, &window.channel());
    window.Attach(&dialog);
    if (fast_mcu_) {
      dialog.mcuUpdate().Configure(
          {.pacing = korvelt::Stm32Pacing::kAcknowledged, .verify = true, .stub = mcu_stub_});
    }
    const INT_PTR result = window.Run();
    window.channel().Shutdown();  // the window is gone before the port
    return static_cast<int>(result);
  }

 private:
  HINSTANCE instance_;
  bool fast_mcu_;
  bool mcu_stub_;
  bool sockets_started_ = false;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  // --fast-mcu: MCU updates at the bootloader's own pace, with a read-back; --mcu-stub: through
  // the flashing stub, which implies it. A whole word only: a file path or another option may
  // hold the same letters.
  bool fastMcu = false;
  bool mcuStub = false;
  std::istringstream words(commandLine ? commandLine : "");
  for (std::string word; words >> word;) {
    fastMcu = fastMcu || word == "--fast-mcu";
    mcuStub = mcuStub || word == "--mcu-stub";
  }
  Win32Platform platform(instance, fastMcu, mcuStub);
  korvelt::UpdaterApp updater;
  updater.InitInstance(platform);
  return 0;
}
