#pragma once

#include <optional>
#include <string>

namespace korvelt {

enum class PortIcon { kOff, kOn };

// How an operation ended, for front ends that wait on operations (the command-line tool) or
// show them in a status line, and what an MCU update learnt on its way. Message boxes say the
// rest.
enum class OperationEvent {
  kSearchFound,
  kSearchNotFound,
  kUploadFinished,      // the unit accepted the final block
  kMcuUpdateSucceeded,  // the MCU accepted every block
  kMcuUpdateFailed,
  kMcuIdentified,  // the bootloader told its product ID, version and flash size (before the erase)
  kInputBoardFinished,  // the last chunk went out
  kOutsideToolStarted,
};

// What the open-file dialog offers: the two filter entries, starting in the working folder.
struct OpenFileRequest {
  std::string filter = "bmp file(*.bin)|*.bin|all file(*.*)|*.*||";
  std::string initialFolder = ".\\";
};

// Everything the core asks of the window it runs in. Each front end (Qt dialog, command line,
// Win32 dialog, test double) implements it; the core never sees a toolkit or an OS.
// All calls happen on the window's thread.
class WindowServices {
 public:
  virtual ~WindowServices() = default;

  // Numbered window timers: periodic until stopped; starting a running one restarts it with
  // the new period.
  virtual void StartTimer(int timerId, unsigned periodMs) = 0;
  virtual void StopTimer(int timerId) = 0;

  // The window's own message box: the caption given, OK button, no icon.
  virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
  // The application-level box: OK button, exclamation icon, the application's name.
  virtual void AppMessageBox(const std::string& text) = 0;
  // A serial API failure: caption "Application Error", stop icon.
  virtual void ErrorBox(const std::string& text, const std::string& caption) = 0;

  virtual void SetControlText(int controlId, const std::string& text) = 0;
  virtual std::string GetControlText(int controlId) = 0;
  virtual void SetPortIcon(PortIcon icon) = 0;
  virtual void SetComboSelection(int controlId, int index) = 0;
  virtual int GetComboSelection(int controlId) = 0;  // -1: nothing selected

  // Modal open-file dialog; the full path of the chosen file, nothing when cancelled.
  virtual std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) = 0;

  // A blocking pause on the window's thread: nothing else is handled meanwhile.
  virtual void Pause(unsigned ms) = 0;

  // Starts an outside program without waiting for it; false if it could not be started.
  virtual bool LaunchProcess(const std::string& commandLine, int showMode) = 0;

  virtual void ShowAboutBox() = 0;

  // Ends the modal run of the window (after OnClose, Escape or Enter).
  virtual void EndDialog(int result) = 0;

  virtual void OperationEnded(OperationEvent /*event*/) {}
};

}  // namespace korvelt
