#include "frontends/cli/cli_runner.h"

#include <algorithm>

#include "frontends/cli/cli_platform.h"
#include "frontends/cli/release_steps.h"
#include "frontends/cli/step_summary.h"
#include "history/history_location.h"
#include "line/time_limits.h"
#include "line/unit_scan.h"
#include "release/release_images.h"
#include "release/sha256_file.h"
#include "resources/dialog_layout.h"
#include "update/operator_texts.h"

namespace korvelt::cli {

namespace {

using namespace std::chrono_literals;

// How long a started firmware may take to answer its probe.
constexpr auto kStartAnswerLimit = 5s;
std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f s", seconds);
  return text;
}

std::string Printable(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

int SearchButtonFor(int deviceType) {
  static constexpr int kButtons[] = {IDC_SEARCH_GENERATOR, IDC_SEARCH_ANALYZER, IDC_SEARCH_TYPE2,
                                     IDC_SEARCH_TYPE3,     IDC_SEARCH_TYPE4,    IDC_SEARCH_TYPE5,
                                     IDC_SEARCH_TYPE6,     IDC_SEARCH_TYPE7};
  return kButtons[deviceType];
}

}  // namespace

std::string McuUidText(const McuFacts& facts) {
  if (!facts.uniqueId) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : *facts.uniqueId) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

std::string McuLine(const McuFacts& facts) {
  char text[96];
  std::snprintf(text, sizeof text, "MCU 0x%03X, bootloader %u.%u, ", facts.productId,
                facts.bootloaderVersion >> 4, facts.bootloaderVersion & 0x0F);
  // 0 and 0xFFFF: no size register there, or a blank one.
  std::string line = text + (facts.flashKib == 0 || facts.flashKib == 0xFFFF
                                 ? std::string("flash size unknown")
                                 : std::to_string(facts.flashKib) + " KiB flash");
  if (facts.uniqueId) line += ", ID " + McuUidText(facts);
  return line;
}

int64_t CliRunner::NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

CliRunner::CliRunner(RunOptions options)
    : options_(std::move(options)), progress_(stderr, StderrIsTerminal(), options_.quiet) {
  progress_.SetColumns(StderrColumns);
  if (!options_.traceFile.empty()) {
    trace_.file = OpenForWriting(options_.traceFile);
    if (!trace_.file)
      std::fprintf(stderr, "korvelt-cli: cannot write %s\n", options_.traceFile.c_str());
  }
  trace_start_ns_ = NowNs();
  port_.SetTraceHook([this](const SerialTraceEvent& event) { OnTrace(event); });
  window_.SetBoxObserver([this](const HeadlessWindow::Box& box) {
    progress_.Finish();
    std::fprintf(stderr, "%s: %s\n", box.caption.c_str(), Printable(box.text).c_str());
  });
  window_.SetEventObserver([this](const OperationResult& result) { OnResult(result); });
  window_.SetProgressObserver([this](const OperationProgress& p) { OnProgress(p); });
  window_.SetLauncher(LaunchDetached);
  dialog_ = std::make_unique<UpdaterDialog>(window_, port_, &window_.channel());
  window_.Attach(dialog_.get());
  dialog_->OnInitDialog();
  // A release's images stand in for the fixed ones, and every image is checked as it loads.
  release::ReleaseImageSource images =
      release::ImageSourceFor(options_.release, options_.requireRelease);
  dialog_->Configure({.allowPlaceholderLoader = options_.allowPlaceholderLoader,
                      .imageFiles = std::move(images.fixedFiles),
                      .refusedImages = std::move(images.refusedFixed),
                      .imageCheck = std::move(images.check),
                      .resendBlocks = options_.resendBlocks});
}

void CliRunner::OnResult(const OperationResult& result) {
  Touch();
  if (result.failed() && !result.text.empty()) step_failure_ = Printable(result.text);
  if (result.failure == FailureKind::kDeviceGone) {
    // The box names the failed call; the operator needs the cause.
    const std::string line =
        "COM" + std::to_string(dialog_->m_nPortNumber) + ": the device went away (unplugged?)";
    progress_.Finish();
    std::fprintf(stderr, "%s\n", line.c_str());
    step_failure_ = line;
  }
  if (result.failure == FailureKind::kPortUnavailable) {
    // The box keeps the window's words; the reason follows it.
    const PortError reason = port_.LastOpenError();
    if (reason.kind != PortErrorKind::kNone) {
      std::fprintf(stderr, "%s\n", reason.text.c_str());
      step_failure_ += " (" + reason.text + ")";
    }
  }
  if (result.event != OperationEvent::kMcuIdentified || !result.mcu) return;
  if (result.mcu->uniqueId) mcu_uid_ = McuUidText(*result.mcu);
  const std::string line = McuLine(*result.mcu);
  TraceNote(line);
  if (options_.quiet) return;
  progress_.Finish();
  std::fprintf(stderr, "%s\n", line.c_str());
}

void CliRunner::OnProgress(const OperationProgress& progress) {
  // Progress is the operation's: a new phase, or more of the image moved. Bytes from the unit
  // are not (a unit that keeps talking without taking a block makes none).
  if (progress.phase != phase_ || progress.done > progress_done_ ||
      progress.confirmed > progress_confirmed_)
    Touch();
  if (progress.phase != phase_) progress_done_ = progress_confirmed_ = 0;
  progress_done_ = std::max(progress_done_, progress.done);
  progress_confirmed_ = std::max(progress_confirmed_, progress.confirmed);
  if (progress.phase != ProgressPhase::kVerifying) {
    bytes_sent_ = std::max(bytes_sent_, progress.done);
  }
  // The limit follows the image as the core loaded it (a HEX file's flat image may be larger).
  if (options_.stepLimitSeconds <= 0 && progress.total > 0 &&
      line::DefaultStepLimitSeconds(progress.total) > step_limit_) {
    SetStepLimit(progress.total);
  }
  if (progress.phase == ProgressPhase::kVerifying && phase_ != ProgressPhase::kVerifying) {
    progress_.Relabel(step_label_ + " verifying");
  }
  phase_ = progress.phase;
  image_moved_ = true;  // the image in the buffer is this step's
  progress_.Update(progress.percent(), progress.total);
  if (options_.hooks.progress) options_.hooks.progress(progress);
}

void CliRunner::TraceNote(const std::string& text) {
  std::lock_guard lock(trace_mutex_);
  if (!trace_.file) return;
  std::fprintf(trace_.file, "%+.6f %s\n", (NowNs() - trace_start_ns_) / 1e9, text.c_str());
}

CliRunner::~CliRunner() {
  dialog_.reset();
  window_.channel().Shutdown();
}

void CliRunner::OnTrace(const SerialTraceEvent& event) {
  // A search moves on port by port; that is its progress. (This runs on the port's worker.)
  if (searching_ && (event.kind == SerialTraceEvent::Kind::kOpen ||
                     event.kind == SerialTraceEvent::Kind::kOpenFailed)) {
    Touch();
  }
  if (!trace_.file) return;
  static constexpr const char* kNames[] = {"OPEN", "OPEN-FAILED", "SETTINGS", "CLOSE",
                                           "IN",   "OUT",         "ERROR"};
  std::lock_guard lock(trace_mutex_);
  std::fprintf(trace_.file, "%+.6f COM%d %s", (NowNs() - trace_start_ns_) / 1e9, event.portNumber,
               kNames[static_cast<int>(event.kind)]);
  for (std::size_t i = 0; i < event.length; ++i) std::fprintf(trace_.file, " %02x", event.bytes[i]);
  if (!event.text.empty()) std::fprintf(trace_.file, " %s", Printable(event.text).c_str());
  std::fputc('\n', trace_.file);
}

bool CliRunner::FailedSinceStepStart() const {
  const auto& results = window_.results();
  return std::any_of(results.begin() + static_cast<long>(results_seen_), results.end(),
                     [](const OperationResult& r) { return r.failed(); });
}

const OperationResult* CliRunner::ResultSince(OperationEvent event) const {
  const auto& results = window_.results();
  for (std::size_t i = results_seen_; i < results.size(); ++i) {
    if (results[i].event == event) return &results[i];
  }
  return nullptr;
}

void CliRunner::Abandon() {
  // Leave the unit and the port in a known state: no conversation, port closed.
  dialog_->AbandonBootloaderConversation();
  dialog_->m_bSearching = 0;
  window_.StopTimer(kTimerSearchStep);
  if (dialog_->m_bPortOpen == 1) dialog_->SetPortClosedUi();
  window_.RunFor(100ms);
}

void CliRunner::SetStepLimit(uint64_t imageBytes) {
  step_limit_ = options_.stepLimitSeconds > 0 ? options_.stepLimitSeconds
                                              : line::DefaultStepLimitSeconds(imageBytes);
  step_deadline_ = step_started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(step_limit_));
}

CliRunner::Outcome CliRunner::WaitFor(const std::function<std::optional<bool>()>& verdict) {
  Touch();
  const auto stall = std::chrono::duration<double>(options_.stallSeconds);
  for (;;) {
    if (interrupted_) return Outcome::kInterrupted;
    if (auto result = verdict()) return *result ? Outcome::kOk : Outcome::kFailed;
    window_.RunUntil([&] { return interrupted_ || verdict().has_value(); }, 100ms);
    if (verdict().has_value()) continue;
    const auto now = std::chrono::steady_clock::now();
    if (run_deadline_ && now > *run_deadline_) {
      timed_out_ = "the run did not end within its limit of " + Seconds(options_.runLimitSeconds) +
                   " (--run-timeout)";
      return Outcome::kTimedOut;
    }
    if (now > step_deadline_) {
      timed_out_ =
          "the step did not end within its limit of " + Seconds(step_limit_) + " (--timeout)";
      return Outcome::kTimedOut;
    }
    const auto quiet = std::chrono::nanoseconds(NowNs() - last_activity_ns_);
    if (quiet > stall) return Outcome::kStalled;
  }
}

CliRunner::Outcome CliRunner::RunStep(const Step& step) {
  using K = Step::Kind;
  UpdaterDialog& d = *dialog_;
  results_seen_ = window_.results().size();
  progress_.Start(step.text, line::StepMovesImage(step.kind));
  step_failure_.clear();
  phase_.reset();
  image_moved_ = false;
  progress_done_ = progress_confirmed_ = 0;
  bytes_sent_ = 0;
  timed_out_.clear();
  searching_ = step.kind == K::kSearch;
  step_started_ = std::chrono::steady_clock::now();
  SetStepLimit(line::StepImageBytes(step));
  auto failedOr = [&](std::function<bool()> done) {
    return [this, done]() -> std::optional<bool> {
      if (FailedSinceStepStart()) return false;
      if (done()) return true;
      return std::nullopt;
    };
  };
  auto finishedThenClosed = [&](OperationEvent event) {
    return failedOr([this, event] { return ResultSince(event) && dialog_->m_bPortOpen == 0; });
  };
  switch (step.kind) {
    case K::kOpen:
      if (d.m_bPortOpen == 0) d.Click(IDC_PORT_BUTTON);
      return WaitFor(failedOr([&] { return d.m_bPortOpen == 1; }));
    case K::kClose:
      if (d.m_bPortOpen == 1) d.Click(IDC_PORT_BUTTON);
      return Outcome::kOk;
    case K::kSearch:
      d.Click(SearchButtonFor(step.value));
      return WaitFor([this]() -> std::optional<bool> {
        if (ResultSince(OperationEvent::kSearchFound)) return true;
        if (ResultSince(OperationEvent::kSearchNotFound)) return false;
        return std::nullopt;
      });
    case K::kGeneratorFpga:
      d.Click(IDC_GENERATOR_FPGA);
      return WaitFor(finishedThenClosed(OperationEvent::kUploadFinished));
    case K::kAnalyzerFpga:
      d.Click(IDC_ANALYZER_FPGA);
      return WaitFor(finishedThenClosed(OperationEvent::kUploadFinished));
    case K::kAuxFpga:
    case K::kGeneratorDataFlash:
    case K::kAnalyzerDataFlash:
    case K::kNandFlash: {
      window_.QueueFileChoice(step.file);
      const int button = step.kind == K::kAuxFpga              ? IDC_AUX_FPGA
                         : step.kind == K::kGeneratorDataFlash ? IDC_GENERATOR_DATA_FLASH
                         : step.kind == K::kAnalyzerDataFlash  ? IDC_ANALYZER_DATA_FLASH
                                                               : IDC_NAND_FLASH;
      d.Click(button);
      return WaitFor(finishedThenClosed(OperationEvent::kUploadFinished));
    }
    case K::kGeneratorMcu:
    case K::kAnalyzerMcu:
      d.mcuUpdate().Configure(
          {.pacing = options_.writtenPacing ? Stm32Pacing::kWritten : Stm32Pacing::kAcknowledged,
           .verify = options_.verify,
           .imageFile = step.file,
           .start = options_.start,
           .stub = options_.mcuStub && !options_.writtenPacing,
           .stubBaud = options_.mcuBaud});
      d.Click(step.kind == K::kGeneratorMcu ? IDC_UPDATE_GENERATOR_MCU : IDC_UPDATE_ANALYZER_MCU);
      return WaitFor(failedOr([this] {
        return ResultSince(OperationEvent::kMcuUpdateSucceeded) && dialog_->m_bPortOpen == 0;
      }));
    case K::kInputBoard:
      window_.QueueFileChoice(step.file);
      d.Click(IDC_UPDATE_IN1 + step.value - 1);
      return WaitFor(finishedThenClosed(OperationEvent::kInputBoardFinished));
    case K::kSubMcu:
      window_.SetComboSelection(IDC_SUB_MCU_LIST, step.value);
      d.Click(IDC_UPDATE_SUB_MCU);
      return WaitFor(failedOr([this] { return ResultSince(OperationEvent::kOutsideToolStarted); }));
    case K::kDataFlashNo:
      window_.SetControlText(IDC_DATA_FLASH_NO, std::to_string(step.value));
      return Outcome::kOk;
  }
  return Outcome::kFailed;
}

std::optional<uint8_t> CliRunner::ProbeStartedUnit() {
  // The port closes in the background after the update; the probe opens the device itself.
  const auto closing = std::chrono::steady_clock::now() + 2s;
  while (port_.HoldsPort() && std::chrono::steady_clock::now() < closing) window_.RunFor(10ms);
  const int port = dialog_->m_nPortNumber;
  // The firmware takes a moment to start: the probe is sent again until it answers.
  const auto until = std::chrono::steady_clock::now() + kStartAnswerLimit;
  while (std::chrono::steady_clock::now() < until && !interrupted_) {
    const auto found = line::ScanPorts({.ports = {port},
                                        .deviceTypes = {0, 1},
                                        .listen = std::chrono::milliseconds(250),
                                        .untilFirstAnswer = true});
    if (!found.empty()) return found.front().deviceType;
  }
  return std::nullopt;
}

StepRecord CliRunner::Record(const Step& step, Outcome outcome, double seconds) {
  StepRecord record{step.text, "ok", seconds, {}, {}, {}, {}};
  record.mcuUid = mcu_uid_;
  const bool succeeded = outcome == Outcome::kOk;
  if (line::StepMovesImage(step.kind) && (succeeded || image_moved_)) {
    record.bytes = dialog_->m_imageSize;
    record.sha256 = release::Sha256Hex(
        std::span<const uint8_t>(dialog_->m_pImage.data(), dialog_->m_imageSize));
    record.bytesSent =
        succeeded ? std::max<uint64_t>(bytes_sent_, dialog_->m_imageSize) : bytes_sent_;
    // The file as it lies on the disk: for a HEX or S-record file not the image's bytes.
    record.file = line::StepImagePath(step);
    if (options_.release) {
      if (const auto* image = ReleaseImageForStep(*options_.release, step)) {
        record.file = history::PathText(image->path);
        RecordRelease(*options_.release, record);
      }
    }
    const release::FileSha256 file = release::Sha256File(PathFromUtf8(record.file));
    if (file.status == release::FileSha256::Status::kHashed) record.fileSha256 = file.sha256;
  }
  if (line::IsMcuStep(step.kind) && options_.verify) {
    const OperationResult* mcu = ResultSince(OperationEvent::kMcuUpdateSucceeded);
    record.verified = succeeded && mcu && mcu->verified.value_or(false);
  }
  switch (outcome) {
    case Outcome::kOk:
      break;
    case Outcome::kFailed:
      record.outcome = "failed";
      record.message = step_failure_.empty() ? "the step failed" : step_failure_;
      break;
    case Outcome::kStalled:
      record.outcome = "stalled";
      record.message = "no progress for " + Seconds(options_.stallSeconds);
      break;
    case Outcome::kTimedOut:
      record.outcome = "stalled";
      record.message = timed_out_;
      break;
    case Outcome::kInterrupted:
      record.outcome = "interrupted";
      record.message = "interrupted";
      break;
  }
  return record;
}

int CliRunner::Run(const std::vector<Step>& steps) {
  if (options_.runLimitSeconds > 0) {
    run_deadline_ = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(options_.runLimitSeconds));
  }
  if (options_.port) {
    window_.SetComboSelection(IDC_PORT_LIST, *options_.port - 1);
    dialog_->SelectionMade(IDC_PORT_LIST);
    if (dialog_->m_bPortOpen != 1) {
      std::fprintf(stderr, "korvelt-cli: COM%d did not open\n", *options_.port);
      failure_message_ = step_failure_.empty()
                             ? "COM" + std::to_string(*options_.port) + " did not open"
                             : step_failure_;
      return kExitFailed;
    }
    if (options_.deviceType) {  // as a search that found the unit on this port leaves it
      dialog_->m_deviceType = *options_.deviceType;
      dialog_->m_deviceSubType = 0;
    }
  }
  for (std::size_t index = 0; index < steps.size(); ++index) {
    const Step& step = steps[index];
    if (options_.hooks.stepStarted) options_.hooks.stepStarted(index, step);
    const auto started = std::chrono::steady_clock::now();
    const auto startedAt = std::chrono::system_clock::now();
    step_label_ = step.text;
    const bool portClosedBefore = dialog_->m_bPortOpen != 1;
    const Outcome outcome = RunStep(step);
    progress_.Finish();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    StepRecord record = Record(step, outcome, took.count());
    record.startedAt = startedAt;
    Outcome ending = outcome;
    const OperationResult* mcu = ResultSince(OperationEvent::kMcuUpdateSucceeded);
    if (outcome == Outcome::kOk && mcu && mcu->goAccepted) {
      // The new firmware must answer as the unit the step was for.
      const uint8_t wanted = step.kind == Step::Kind::kGeneratorMcu ? 0 : 1;
      const std::optional<uint8_t> answered = *mcu->goAccepted ? ProbeStartedUnit() : std::nullopt;
      record.started = answered.has_value();
      if (answered && *answered != wanted) {
        ending = Outcome::kFailed;
        step_failure_ = "the new firmware answers as a " + line::KindName(*answered) +
                        ", not as the " + line::KindName(wanted) +
                        " this step was for: wrong firmware for this unit";
        record.outcome = "failed";
        record.message = step_failure_;
        std::fprintf(stderr, "korvelt-cli: %s\n", step_failure_.c_str());
      } else if (!answered && !options_.quiet) {
        std::fprintf(stderr,
                     "%s: the flash is verified, but the new firmware did not answer within 5 s: "
                     "re-power the unit to start it\n",
                     step.text.c_str());
      }
    }
    if (ending != Outcome::kOk) failure_message_ = step.text + ": " + record.message;
    record.endedAt = std::chrono::system_clock::now();
    if (options_.hooks.stepEnded) options_.hooks.stepEnded(record);
    switch (ending) {
      case Outcome::kOk:
        if (!options_.quiet) {
          std::fputs(StepSummary(step, dialog_->m_imageSize, took.count(),
                                 record.verified.value_or(false), record.started.value_or(false))
                         .c_str(),
                     stderr);
        }
        continue;
      case Outcome::kFailed:
        std::fprintf(stderr, "korvelt-cli: step '%s' failed\n", step.text.c_str());
        if (index > 0 && portClosedBefore && dialog_->m_bPortOpen != 1) {
          // The commonest mistake of a first script: two updates in a row.
          std::fprintf(stderr,
                       "korvelt-cli: the port was closed when '%s' began (an update closes it at "
                       "its end): put 'open' before it, as in 'generator-fpga open "
                       "generator-mcu'\n",
                       step.text.c_str());
        }
        Abandon();
        return kExitFailed;
      case Outcome::kStalled:
        std::fprintf(stderr,
                     "korvelt-cli: step '%s' stalled: no progress for %.0f s. Check the cable "
                     "and that the unit is powered.\n",
                     step.text.c_str(), options_.stallSeconds);
        Abandon();
        return kExitStalled;
      case Outcome::kTimedOut:
        std::fprintf(stderr, "korvelt-cli: step '%s' stopped: %s\n", step.text.c_str(),
                     timed_out_.c_str());
        Abandon();
        return kExitStalled;
      case Outcome::kInterrupted:
        std::fprintf(stderr, "korvelt-cli: interrupted during '%s'; the port is closed\n",
                     step.text.c_str());
        Abandon();
        return kExitInterrupted;
    }
  }
  return kExitOk;
}

}  // namespace korvelt::cli
