// korvelt-updater.exe: the operator's dialog on Windows.
#include "app/updater_app.h"
#include "app/updater_dialog.h"
#include "frontends/win32/win32_updater_window.h"
#include "frontends/win32/windows_api.h"
#include "resources/dialog_layout.h"
#include "serial/serial_port.h"

namespace {

class Win32Platform : public korvelt::AppPlatform {
 public:
  explicit Win32Platform(HINSTANCE instance) : instance_(instance) {}
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
    const INT_PTR result = window.Run();
    window.channel().Shutdown();  // the window is gone before the port
    return static_cast<int>(result);
  }

 private:
  HINSTANCE instance_;
  bool sockets_started_ = false;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  Win32Platform platform(instance);
  korvelt::UpdaterApp updater;
  updater.InitInstance(platform);
  return 0;
}
