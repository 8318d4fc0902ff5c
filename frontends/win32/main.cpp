// korvelt-updater.exe: the operator's dialog on Windows.
#include <string>
#include <vector>

#include "app/updater_app.h"
#include "app/updater_dialog.h"
#include "frontends/common/dialog_options.h"
#include "frontends/common/dialog_setup.h"
#include "frontends/win32/win32_updater_window.h"
#include "frontends/win32/windows_api.h"
#include "resources/dialog_layout.h"
#include "serial/serial_port.h"
#include "update/image_file.h"
// shellapi.h after windows.h, which defines its types
#include <shellapi.h>

namespace {

class Win32Platform : public korvelt::AppPlatform {
 public:
  Win32Platform(HINSTANCE instance, korvelt::common::DialogSetup setup)
      : instance_(instance), setup_(std::move(setup)) {}
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
    // The options outlive OnInitDialog, which the window calls when it opens.
    setup_.ApplyTo(dialog);
    if (!setup_.titleNote.empty()) {
      window.SetTitle(korvelt::common::WindowTitle(korvelt::MainDialogTemplate().title, setup_));
    }
    window.SetRecorder(std::move(setup_.recorder));
    const INT_PTR result = window.Run();
    window.channel().Shutdown();  // the window is gone before the port
    return static_cast<int>(result);
  }

 private:
  HINSTANCE instance_;
  korvelt::common::DialogSetup setup_;
  bool sockets_started_ = false;
};

// The words of the UTF-16 command line, as the C runtime would split them (a quoted path keeps
// its spaces), in UTF-8, without the program's name.
std::vector<std::string> Arguments() {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (!wide) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(korvelt::Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

void ShowBox(const std::string& text, const char* caption, UINT icon) {
  const std::wstring wideText = korvelt::WideFromUtf8(text).value_or(L"?");
  const std::wstring wideCaption = korvelt::WideFromUtf8(caption).value_or(L"?");
  ::MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(), MB_OK | icon);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  using Outcome = korvelt::common::ParsedCommandLine::Outcome;
  const auto parsed = korvelt::common::ParseDialogCommandLine(Arguments(), false);
  const std::string application(korvelt::kApplicationName);
  switch (parsed.outcome) {
    case Outcome::kRun:
      break;
    case Outcome::kHelp:
    case Outcome::kVersion:
      ShowBox(parsed.text, application.c_str(), MB_ICONINFORMATION);
      return 0;
    case Outcome::kUsageError:
      ShowBox(parsed.text, application.c_str(), MB_ICONSTOP);
      return 1;
  }
  // A release or a history that cannot be used stops the start before the window shows.
  auto setup = korvelt::common::PrepareDialog(parsed.options);
  if (!setup.ok()) {
    ShowBox(setup.error(), korvelt::kCaptionIsp, MB_ICONSTOP);
    return 1;
  }
  Win32Platform platform(instance, std::move(setup).value());
  korvelt::UpdaterApp updater;
  updater.InitInstance(platform);
  return 0;
}
