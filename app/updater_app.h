#pragma once

#include <string>

namespace korvelt {

// What the application object needs of its platform.
class AppPlatform {
 public:
  virtual ~AppPlatform() = default;
  // Starts the socket layer (Windows Sockets 1.1 on Windows; nothing to start elsewhere).
  virtual bool InitializeSockets() = 0;
  // OK button, exclamation icon, the application's name as caption.
  virtual void ShowAppMessageBox(const std::string& text) = 0;
  // Builds the main window and runs it modally; returns how it ended.
  virtual int RunMainDialog() = 0;
};

class UpdaterApp {
 public:
  // Always false: the application ends when its main window has closed.
  bool InitInstance(AppPlatform& platform);
};

}  // namespace korvelt
