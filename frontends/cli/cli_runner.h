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
#include "frontends/cli/progress_display.h"
#include "frontends/headless/headless_window.h"
#include "line/exit_codes.h"
#include "line/step.h"
#include "line/step_record.h"
#include "release/release_folder.h"
#include "serial/serial_port.h"

namespace korvelt::cli {

using line::kExitFailed;
using line::kExitInterrupted;
using line::kExitOk;
using line::kExitStalled;
using line::kExitUsage;
using line::Step;
using line::StepRecord;

// What a caller learns while the steps run (a unit child passes it on to its supervisor).
struct RunHooks {
  std::function<void(std::size_t index, const Step& step)> stepStarted;
  std::function<void(const OperationProgress& progress)> progress;  // image steps only
  std::function<void(const StepRecord& record)> stepEnded;
};

struct RunOptions {
  std::optional<int> port;   // choose COMn in the list first
  double stallSeconds = 30;  // no progress of the operation for this long ends a step
  // Hard limits, whatever the line does. A step: this many seconds, or (0) its default for
  // its image (line/time_limits.h). The run: this many seconds from its start (0: none).
  double stepLimitSeconds = 0;
  double runLimitSeconds = 0;
  bool quiet = false;
  std::string traceFile;
  bool allowPlaceholderLoader = false;  // the placeholder input-board loader may be sent
  bool writtenPacing = false;           // MCU updates with the dialog's fixed pauses
  bool verify = true;                   // MCU updates read the flash back and compare
  bool start = true;                    // a verified MCU update starts the new firmware
  bool mcuStub = false;                 // MCU updates go through the flashing stub
  uint32_t mcuBaud = 0;                 // with mcuStub: the stub's line rate; 0 keeps 115200
  bool resendBlocks = true;           // the acknowledged mode: unacknowledged blocks are sent again
  std::optional<uint8_t> deviceType;  // the unit on `port` answered the probe as this type
  // A unit child: a unit found waiting in its MCU bootloader is this type (--resume-kind).
  std::optional<uint8_t> resumeKind;
  // A unit child: the station's history, where a unit found waiting in its MCU bootloader is
  // looked up by its MCU's ID when no --resume-kind was given.
  std::string resumeHistory;
  // The verified release the images come from (null: none); `requireRelease`: every image must.
  std::shared_ptr<const release::VerifiedRelease> release;
  bool requireRelease = false;
  RunHooks hooks;
};

// "MCU 0x410, bootloader 2.2, 128 KiB flash, ID 3132333435363738393a3b03" from what the
// bootloader told.
std::string McuLine(const McuFacts& facts);
// The unique ID as 24 lower-case hex digits, in address order; empty when it was not read.
std::string McuUidText(const McuFacts& facts);

// The scripted operator: runs the window core in a headless window on the real serial port and
// presses its buttons one step after another, each to its end. It learns how each step went
// from the core's typed results and progress, never from what the window shows.
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
  enum class Outcome { kOk, kFailed, kStalled, kTimedOut, kInterrupted };
  using SteadyTime = std::chrono::steady_clock::time_point;
  Outcome RunStep(const Step& step);
  Outcome WaitFor(const std::function<std::optional<bool>()>& verdict);
  // The step's hard limit for an image of `imageBytes`.
  void SetStepLimit(uint64_t imageBytes);
  StepRecord Record(const Step& step, Outcome outcome, double seconds);
  void Touch() { last_activity_ns_ = NowNs(); }
  static int64_t NowNs();
  void OnTrace(const SerialTraceEvent& event);
  void OnResult(const OperationResult& result);
  void OnProgress(const OperationProgress& progress);
  void TraceNote(const std::string& text);  // a line of the runner's own in the trace
  bool FailedSinceStepStart() const;
  const OperationResult* ResultSince(OperationEvent event) const;
  void Abandon();
  // After Go: the type the new firmware answers the probe as; nothing when it is silent.
  std::optional<uint8_t> ProbeStartedUnit();

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
  HeadlessWindow window_;
  SerialPort port_;
  std::unique_ptr<UpdaterDialog> dialog_;
  ProgressDisplay progress_;
  std::atomic<int64_t> last_activity_ns_{0};
  std::atomic<bool> interrupted_{false};
  std::size_t results_seen_ = 0;        // the results before the running step's
  std::string step_label_;              // the running step's name, for the progress bar
  std::string step_failure_;            // the running step's failure, in its box's words
  std::optional<ProgressPhase> phase_;  // the running step's progress phase so far
  bool image_moved_ = false;            // the running step's image moved
  uint64_t progress_done_ = 0;          // the running phase's bytes so far
  uint64_t progress_confirmed_ = 0;     // the bytes the unit has confirmed taking, resent blocks
  uint64_t bytes_sent_ = 0;             // of the running step's image, what went out
  std::atomic<bool> searching_{false};  // a search runs: each port is progress (worker reads)
  SteadyTime step_started_{};
  SteadyTime step_deadline_{};
  double step_limit_ = 0;
  std::optional<SteadyTime> run_deadline_;
  std::string timed_out_;  // which limit ended the step
  std::string failure_message_;
  std::string mcu_uid_;  // the unit's MCU ID, once an MCU step has read it
};

}  // namespace korvelt::cli
