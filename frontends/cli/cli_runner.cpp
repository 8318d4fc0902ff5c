#include "frontends/cli/cli_runner.h"

#include <algorithm>

#include "frontends/cli/cli_platform.h"
#include "frontends/cli/step_summary.h"
#include "resources/dialog_layout.h"
#include "update/operator_texts.h"

namespace korvelt::cli {

namespace {

using namespace std::chrono_literals;

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

bool Informational(const HeadlessWindow::Box& box) {
  return box.text.rfind("Next step is to update SUB MCU firmware!", 0) == 0;
}

}  // namespace

std::string McuLine(uint16_t productId, uint8_t bootloaderVersion, uint32_t flashKib) {
  char text[96];
  std::snprintf(text, sizeof text, "MCU 0x%03X, bootloader %u.%u, ", productId,
                bootloaderVersion >> 4, bootloaderVersion & 0x0F);
  // 0 and 0xFFFF: no size register there, or a blank one.
  if (flashKib == 0 || flashKib == 0xFFFF) return text + std::string("flash size unknown");
  return text + std::to_string(flashKib) + " KiB flash";
}

int64_t CliRunner::NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

CliRunner::CliRunner(RunOptions options)
    : options_(std::move(options)), progress_(stderr, StderrIsTerminal(), options_.quiet) {
  if (!options_.traceFile.empty()) {
    trace_.file = std::fopen(options_.traceFile.c_str(), "w");
    if (!trace_.file)
      std::fprintf(stderr, "korvelt-cli: cannot write %s\n", options_.traceFile.c_str());
  }
  trace_start_ns_ = NowNs();
  port_.SetTraceHook([this](const SerialTraceEvent& event) { OnTrace(event); });
  window_.SetBoxObserver([this](const HeadlessWindow::Box& box) {
    progress_.Finish();
    std::fprintf(stderr, "%s: %s\n", box.caption.c_str(), Printable(box.text).c_str());
    if (!Informational(box)) last_box_text_ = Printable(box.text);
    if (box.text != kPortUnavailable) return;
    std::lock_guard lock(trace_mutex_);  // the box keeps its text; the reason follows it
    if (last_open_failure_.empty()) return;
    std::fprintf(stderr, "%s\n", last_open_failure_.c_str());
    last_box_text_ += " (" + last_open_failure_ + ")";
  });
  window_.SetTextObserver([this](int controlId, const std::string& text) {
    if (controlId == IDC_WAIT && text == "Verifying...")
      progress_.Relabel(step_label_ + " verifying");
    if (controlId != IDC_PROGRESS) return;
    Touch();
    const double percent = std::atof(text.c_str());
    const uint64_t imageBytes = dialog_ ? dialog_->m_imageSize : 0;
    progress_.Update(percent, imageBytes);
    if (!step_moves_image_ || (hook_stale_ && percent == *hook_stale_)) return;
    hook_stale_.reset();
    image_moved_ = true;  // the image in the buffer is this step's
    if (options_.hooks.progress) options_.hooks.progress(percent, imageBytes);
  });
  window_.SetEventObserver([this](OperationEvent event) {
    Touch();
    if (event != OperationEvent::kMcuIdentified || !dialog_) return;
    mcu_line_ = McuLine(dialog_->m_stm32ProductId, dialog_->m_stm32BootloaderVersion,
                        dialog_->m_stm32FlashKib);
    TraceNote(mcu_line_);
    if (options_.quiet) return;
    progress_.Finish();
    std::fprintf(stderr, "%s\n", mcu_line_.c_str());
  });
  window_.SetLauncher(LaunchDetached);
  dialog_ = std::make_unique<UpdaterDialog>(window_, port_, &window_.channel());
  window_.Attach(dialog_.get());
  dialog_->OnInitDialog();
  dialog_->m_bAllowPlaceholderLoader = options_.allowPlaceholderLoader ? 1 : 0;
  dialog_->m_stm32Pacing =
      options_.writtenPacing ? Stm32Pacing::kWritten : Stm32Pacing::kAcknowledged;
  dialog_->m_bStm32Verify = options_.verify ? 1 : 0;
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
  if (event.kind == SerialTraceEvent::Kind::kRead) Touch();  // the unit said something
  if (event.kind == SerialTraceEvent::Kind::kOpenFailed) {
    std::lock_guard lock(trace_mutex_);
    last_open_failure_ = event.text;
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

bool CliRunner::NewFailureBox() const {
  const auto& boxes = window_.boxes();
  for (std::size_t i = boxes_seen_; i < boxes.size(); ++i) {
    if (!Informational(boxes[i])) return true;
  }
  return false;
}

bool CliRunner::EventSince(OperationEvent event) const {
  const auto& events = window_.events();
  return std::find(events.begin() + static_cast<long>(events_seen_), events.end(), event) !=
         events.end();
}

void CliRunner::Abandon() {
  // Leave the unit and the port in a known state: no conversation, port closed.
  dialog_->AbandonBootloaderConversation();
  dialog_->m_bSearching = 0;
  window_.StopTimer(kTimerSearchStep);
  if (dialog_->m_bPortOpen == 1) dialog_->SetPortClosedUi();
  window_.RunFor(100ms);
}

CliRunner::Outcome CliRunner::WaitFor(const std::function<std::optional<bool>()>& verdict) {
  Touch();
  const auto stall = std::chrono::duration<double>(options_.stallSeconds);
  for (;;) {
    if (interrupted_) return Outcome::kInterrupted;
    if (auto result = verdict()) return *result ? Outcome::kOk : Outcome::kFailed;
    window_.RunUntil([&] { return interrupted_ || verdict().has_value(); }, 100ms);
    const auto quiet = std::chrono::nanoseconds(NowNs() - last_activity_ns_);
    if (quiet > stall && !verdict().has_value()) return Outcome::kStalled;
  }
}

CliRunner::Outcome CliRunner::RunStep(const Step& step) {
  using K = Step::Kind;
  UpdaterDialog& d = *dialog_;
  boxes_seen_ = window_.boxes().size();
  events_seen_ = window_.events().size();
  const double shownBefore = std::atof(window_.ControlText(IDC_PROGRESS).c_str());
  progress_.Start(step.text, shownBefore, StepMovesImage(step.kind));
  last_box_text_.clear();
  hook_stale_ = shownBefore;
  image_moved_ = false;
  step_moves_image_ = StepMovesImage(step.kind);
  auto failedOr = [&](std::function<bool()> done) {
    return [this, done]() -> std::optional<bool> {
      if (NewFailureBox()) return false;
      if (done()) return true;
      return std::nullopt;
    };
  };
  auto finishedThenClosed = [&](OperationEvent event) {
    return failedOr([this, event] { return EventSince(event) && dialog_->m_bPortOpen == 0; });
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
        if (EventSince(OperationEvent::kSearchFound)) return true;
        if (EventSince(OperationEvent::kSearchNotFound)) return false;
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
      d.m_strMcuImageFile = step.file;
      d.m_bStm32Verified = 0;
      d.Click(step.kind == K::kGeneratorMcu ? IDC_UPDATE_GENERATOR_MCU : IDC_UPDATE_ANALYZER_MCU);
      return WaitFor([this]() -> std::optional<bool> {
        if (EventSince(OperationEvent::kMcuUpdateFailed) || NewFailureBox()) return false;
        if (EventSince(OperationEvent::kMcuUpdateSucceeded) && dialog_->m_bPortOpen == 0) {
          return true;
        }
        return std::nullopt;
      });
    case K::kInputBoard:
      window_.QueueFileChoice(step.file);
      d.Click(IDC_UPDATE_IN1 + step.value - 1);
      return WaitFor(finishedThenClosed(OperationEvent::kInputBoardFinished));
    case K::kSubMcu:
      window_.SetComboSelection(IDC_SUB_MCU_LIST, step.value);
      d.Click(IDC_UPDATE_SUB_MCU);
      return WaitFor(failedOr([this] { return EventSince(OperationEvent::kOutsideToolStarted); }));
    case K::kDataFlashNo:
      window_.SetControlText(IDC_DATA_FLASH_NO, std::to_string(step.value));
      return Outcome::kOk;
  }
  return Outcome::kFailed;
}

int CliRunner::Run(const std::vector<Step>& steps) {
  if (options_.port) {
    window_.SetComboSelection(IDC_PORT_LIST, *options_.port - 1);
    dialog_->SelectionMade(IDC_PORT_LIST);
    if (dialog_->m_bPortOpen != 1) {
      std::fprintf(stderr, "korvelt-cli: COM%d did not open\n", *options_.port);
      failure_message_ = last_box_text_.empty()
                             ? "COM" + std::to_string(*options_.port) + " did not open"
                             : last_box_text_;
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
    step_label_ = step.text;
    mcu_line_.clear();
    const Outcome outcome = RunStep(step);
    progress_.Finish();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    StepRecord record{step.text, "ok", took.count(), {}, {}, {}, {}};
    const bool succeeded = outcome == Outcome::kOk;
    if (step_moves_image_ && (succeeded || image_moved_)) {
      record.bytes = dialog_->m_imageSize;
      record.sha256 = Sha256Hex(dialog_->m_pImage.data(), dialog_->m_imageSize);
    }
    const bool mcuStep =
        step.kind == Step::Kind::kGeneratorMcu || step.kind == Step::Kind::kAnalyzerMcu;
    if (mcuStep && options_.verify) record.verified = succeeded && dialog_->m_bStm32Verified == 1;
    switch (outcome) {
      case Outcome::kOk:
        break;
      case Outcome::kFailed:
        record.outcome = "failed";
        record.message = last_box_text_.empty() ? "the step failed" : last_box_text_;
        break;
      case Outcome::kStalled:
        record.outcome = "stalled";
        record.message = "no progress and no answer from the unit for " +
                         std::to_string(static_cast<long>(options_.stallSeconds)) + " s";
        break;
      case Outcome::kInterrupted:
        record.outcome = "interrupted";
        record.message = "interrupted";
        break;
    }
    if (!succeeded) failure_message_ = step.text + ": " + record.message;
    if (options_.hooks.stepEnded) options_.hooks.stepEnded(record);
    switch (outcome) {
      case Outcome::kOk:
        if (!options_.quiet) {
          std::fputs(
              StepSummary(step, dialog_->m_imageSize, took.count(), record.verified.value_or(false))
                  .c_str(),
              stderr);
        }
        continue;
      case Outcome::kFailed:
        std::fprintf(stderr, "korvelt-cli: step '%s' failed\n", step.text.c_str());
        Abandon();
        return kExitFailed;
      case Outcome::kStalled:
        std::fprintf(stderr,
                     "korvelt-cli: step '%s' stalled: no progress and no answer from the unit "
                     "for %.0f s. Check the cable and that the unit is powered.\n",
                     step.text.c_str(), options_.stallSeconds);
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
