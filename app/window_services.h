#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace korvelt {

enum class PortIcon { kOff, kOn };

// How an operation ended, for front ends that wait on operations (the command-line tool) or
// show them in a status line, and what an MCU update learnt on its way. The boxes say the same
// in the operator's words; a front end learns states from these, never from a displayed text.
enum class OperationEvent {
  kSearchFound,
  kSearchNotFound,
  kUploadFinished,      // the unit accepted the final block
  kUploadFailed,        // a block upload ended without the unit taking every block
  kMcuUpdateSucceeded,  // the MCU accepted every block
  kMcuUpdateFailed,
  kMcuIdentified,  // the bootloader told its product ID, version and flash size (before the erase)
  kInputBoardFinished,  // the last chunk went out
  kInputBoardFailed,    // the board did not confirm a chunk
  kOutsideToolStarted,
  kRefused,     // what a button asked for was refused or could not go on (a box said why)
  kPortFailed,  // the serial port reported a failure (the "Application Error" box)
};

// Why an operation failed or did not start.
enum class FailureKind {
  kNone,
  kRefused,          // the window's state forbids it: port closed, wrong unit, one running
  kPortUnavailable,  // the port did not open (PortOperations::LastOpenError says why)
  kImage,            // the image cannot be read or used
  kNoBootloader,     // the unit did not start its bootloader
  kNoAnswer,         // a time-out: the unit did not answer
  kUnitRefused,      // the unit refused a command
  kImageTooLarge,    // the image does not fit the unit's memory
  kReadProtected,    // the MCU's flash is read-protected
  kVerifyMismatch,   // the memory read back differs from the image
  kPort,             // a port failure in the middle of the operation
  kDeviceGone,       // the device went away in the middle of it (a pulled cable)
  kStrayAnswer,      // the unit answered a block that no send was waiting for
  kOutsideTool,      // the outside flashing tool could not be started
};

// What an MCU's bootloader told about itself.
struct McuFacts {
  uint16_t productId = 0;
  uint8_t bootloaderVersion = 0;   // high nibble major, low nibble minor
  uint32_t flashKib = 0;           // 0 or 0xFFFF: the part does not say
  bool extendedEraseOnly = false;  // the Get reply offers Extended Erase 0x44, not Erase 0x43
  // The 96-bit unique device ID, in address order; read in the acknowledged pacing only.
  std::optional<std::array<uint8_t, 12>> uniqueId;
};

struct OperationResult {
  OperationEvent event = OperationEvent::kRefused;
  FailureKind failure = FailureKind::kNone;
  std::string text;                       // the failure, in the words of its box
  std::optional<uint32_t> failedAddress;  // the first memory address that failed
  std::optional<McuFacts> mcu;            // an MCU update: what the bootloader told
  std::optional<bool> verified;           // an MCU update that read its flash back: all equal
  std::optional<bool> goAccepted;         // an MCU update asked to start the new firmware
  // An MCU update that failed: the flash may be erased or half written (the unit must stay
  // powered, waiting in its bootloader, until an update completes); false: nothing was
  // erased and the old firmware is whole.
  bool flashIncomplete = false;
  bool failed() const { return failure != FailureKind::kNone; }
};

// What an operation's progress counts.
enum class ProgressPhase {
  kSending,    // an image goes to the unit (block uploads, the input-board loader)
  kWriting,    // the MCU's flash is written
  kVerifying,  // the MCU's flash is read back and compared
};

// `done` of `total` bytes; reported at every change of the progress field, and once with 0
// when a phase begins.
struct OperationProgress {
  ProgressPhase phase = ProgressPhase::kSending;
  uint64_t done = 0;
  uint64_t total = 0;
  // Resent blocks (korvelt-cli's acknowledged mode): the bytes the unit has taken, told when it
  // takes a block whose next one still waits for the line to settle. Taking it is progress,
  // though `done` (counted as blocks go out) does not grow then.
  uint64_t confirmed = 0;
  double percent() const { return total ? 100.0 * static_cast<double>(done) / total : 0.0; }
};

// The image operations a button starts.
enum class ImageOperation {
  kGeneratorFpga,
  kAnalyzerFpga,
  kAuxFpga,
  kGeneratorDataFlash,
  kAnalyzerDataFlash,
  kNandFlash,
  kGeneratorMcu,
  kAnalyzerMcu,
  kInputBoard,
};

// An image operation begins: its image was read (and checked, where a front end checks images)
// and the operation goes ahead. Told once for each operation before its OperationEnded; an MCU
// update tells it again when the bootloader's banner has come and the image is read anew
// (`reread`): those are the bytes the MCU gets.
struct OperationStart {
  ImageOperation operation = ImageOperation::kGeneratorFpga;
  int inputBoard = 0;  // kInputBoard: the board, 1 to 4
  int portNumber = 0;  // COMn
  // The unit whose acknowledgements count (block uploads) or whose MCU is updated; the input
  // board's request names none.
  std::optional<uint8_t> deviceType;
  std::string imageFile;    // the file read: for a fixed image path, the file read for it
  bool fixedImage = false;  // read for one of the window's fixed image paths
  // The file's bytes as read and checked (for an MCU image file, before it is parsed); valid
  // during the call only.
  std::span<const uint8_t> image;
  bool reread = false;
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

  // Milliseconds on a clock that only moves forward, for protocols that time their own
  // replies (the MCU's flashing stub). Tests give their virtual clock.
  virtual uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }

  // Starts an outside program without waiting for it; false if it could not be started.
  virtual bool LaunchProcess(const std::string& commandLine, int showMode) = 0;

  virtual void ShowAboutBox() = 0;

  // Ends the modal run of the window (after OnClose, Escape or Enter).
  virtual void EndDialog(int result) = 0;

  virtual void OperationStarted(const OperationStart& /*start*/) {}
  virtual void OperationEnded(const OperationResult& /*result*/) {}
  virtual void ProgressChanged(const OperationProgress& /*progress*/) {}
};

}  // namespace korvelt
