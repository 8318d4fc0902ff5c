#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/updater_dialog.h"
#include "frontends/cli/cli_steps.h"
#include "frontends/cli/progress_display.h"
#include "frontends/cli/step_record.h"
#include "frontends/headless/headless_window.h"
#include "serial/serial_port.h"

namespace korvelt::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitStalled = 3,
  kExitInterrupted = 130
};

// What a caller learns while the steps run (a unit child passes it on to its supervisor).
struct RunHooks {
  std::function<void(std::size_t index, const Step& step)> stepStarted;
  std::function<void(double percent, uint64_t imageBytes)> progress;  // image steps only
  std::function<void(const StepRecord& record)> stepEnded;
};

struct RunOptions {
  std::optional<int> port;   // choose COMn in the list first
  double stallSeconds = 30;  // no progress and no traffic for this long ends a step
  bool quiet = false;
  std::string traceFile;
  bool allowPlaceholderLoader = false;  // the placeholder input-board loader may be sent
  bool writtenPacing = false;           // MCU updates with the dialog's fixed pauses
  bool verify = true;                   // MCU updates read the flash back and compare
  std::optional<uint8_t> deviceType;    // the unit on `port` answered the probe as this type
  RunHooks hooks;
};

// "MCU 0x410, bootloader 2.2, 128 KiB flash" from what the bootloader told.
std::string McuLine(uint16_t productId, uint8_t bootloaderVersion, uint32_t flashKib);

// The scripted operator: runs the window core in a headless window on the real serial port and
// presses its buttons one step after another, each to its end.
class CliRunner {
 public:
  explicit CliRunner(RunOptions options);
  ~CliRunner();

  int Run(const std::vector<Step>& steps);
  // Asked from a signal handler's flag: give up the running step safely.
  void RequestInterrupt() { interrupted_ = true; }
  std::atomic<bool>& interruptFlag() { return interrupted_; }
  // The port the run used last (the one a search found).
  int portNumber() const { return dialog_->m_nPortNumber; }
  // Why the run failed, in the updater's words; empty after a run that succeeded.
  const std::string& failureMessage() const { return failure_message_; }

 private:
  enum class Outcome { kOk, kFailed, kStalled, kInterrupted };
  Outcome RunStep(const Step& step);
  Outcome WaitFor(const std::function<std::optional<bool>()>& verdict);
  void Touch() { last_activity_ns_ = NowNs(); }
  static int64_t NowNs();
  void OnTrace(const SerialTraceEvent& event);
  void TraceNote(const std::string& text);  // a line of the runner's own in the trace
  bool NewFailureBox() const;
  bool EventSince(OperationEvent event) const;
  void Abandon();

  struct TraceFile {
    ~TraceFile() {
      if (file) std::fclose(file);
    }
    std::FILE* file = nullptr;
  };

  RunOptions options_;
  TraceFile trace_;  // outlives the port, whose worker writes to it
  std::mutex trace_mutex_;
  int64_t trace_start_ns_ = 0;
  std::string last_open_failure_;  // why the last open failed, under trace_mutex_
  HeadlessWindow window_;
  SerialPort port_;
  std::unique_ptr<UpdaterDialog> dialog_;
  ProgressDisplay progress_;
  std::atomic<int64_t> last_activity_ns_{0};
  std::atomic<bool> interrupted_{false};
  std::size_t boxes_seen_ = 0;
  std::size_t events_seen_ = 0;
  std::string step_label_;            // the running step's name, for the progress bar
  std::string mcu_line_;              // the running MCU step's identity line
  std::string last_box_text_;         // the last failure box of the running step
  std::optional<double> hook_stale_;  // the progress field's value when the step began
  bool image_moved_ = false;          // the running step's progress moved
  bool step_moves_image_ = false;
  std::string failure_message_;
};

}  // namespace korvelt::cli
