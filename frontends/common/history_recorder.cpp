#include "frontends/common/history_recorder.h"

#include <chrono>
#include <system_error>

#include "app/updater_dialog.h"
#include "release/crypto.h"
#include "release/input_file.h"
#include "release/sha256_file.h"
#include "resources/dialog_layout.h"

namespace korvelt::common {

namespace {

constexpr const char* kStoppedByOperator =
    "Stopped by the operator (Close Port, a search or a port choice) before it ended.";
constexpr const char* kOvertaken =
    "Another operation started before this one ended (a bootloader request not answered yet is "
    "forgotten by the next start).";
constexpr const char* kWindowClosed = "The window was closed before it ended.";

struct OperationName {
  ImageOperation operation;
  const char* step;
  bool takesFile;  // the step names its file: the operator chose it
};
constexpr OperationName kOperationNames[] = {
    {.operation = ImageOperation::kGeneratorFpga, .step = "generator-fpga", .takesFile = false},
    {.operation = ImageOperation::kAnalyzerFpga, .step = "analyzer-fpga", .takesFile = false},
    {.operation = ImageOperation::kAuxFpga, .step = "aux-fpga", .takesFile = true},
    {.operation = ImageOperation::kGeneratorDataFlash,
     .step = "generator-data-flash",
     .takesFile = true},
    {.operation = ImageOperation::kAnalyzerDataFlash,
     .step = "analyzer-data-flash",
     .takesFile = true},
    {.operation = ImageOperation::kNandFlash, .step = "nand-flash", .takesFile = true},
    {.operation = ImageOperation::kGeneratorMcu, .step = "generator-mcu", .takesFile = false},
    {.operation = ImageOperation::kAnalyzerMcu, .step = "analyzer-mcu", .takesFile = false},
    {.operation = ImageOperation::kInputBoard, .step = "input-board", .takesFile = true},
};

bool IsMcu(ImageOperation operation) {
  return operation == ImageOperation::kGeneratorMcu || operation == ImageOperation::kAnalyzerMcu;
}

std::string KindOf(int deviceType) {
  if (deviceType == 0) return "generator";
  if (deviceType == 1) return "analyzer";
  return "type" + std::to_string(deviceType);
}

bool SameFile(const std::filesystem::path& a, const std::string& utf8) {
  const auto b = release::PathFromUtf8(utf8);
  if (!b) return false;
  std::error_code error;
  const bool same = std::filesystem::equivalent(a, *b, error);
  return !error && same;
}

}  // namespace

std::string StepName(const OperationStart& start) {
  for (const OperationName& name : kOperationNames) {
    if (name.operation != start.operation) continue;
    if (start.operation == ImageOperation::kInputBoard) {
      return std::string(name.step) + "=" + std::to_string(start.inputBoard) + ":" +
             start.imageFile;
    }
    // An MCU image file a front end names instead of the fixed path is named as korvelt-cli's
    // generator-mcu=FILE is.
    if (name.takesFile || (IsMcu(start.operation) && !start.fixedImage)) {
      return std::string(name.step) + "=" + start.imageFile;
    }
    return name.step;
  }
  return "unknown";
}

history::HistoryTime HistoryRecorder::SystemNow() {
  return std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

HistoryRecorder::HistoryRecorder(std::unique_ptr<history::HistoryDatabase> database,
                                 history::StationIdentity identity, std::string toolVersion,
                                 std::shared_ptr<const release::VerifiedRelease> release,
                                 Clock clock)
    : database_(std::move(database)),
      identity_(std::move(identity)),
      tool_version_(std::move(toolVersion)),
      release_(std::move(release)),
      clock_(std::move(clock)) {}

void HistoryRecorder::OperationStarted(const OperationStart& start, WindowServices& window) {
  if (running_ && start.reread && running_->operation == start.operation) {
    // The MCU's image was read again at the banner: those bytes are the ones it gets.
    TakeImage(start, running_->record);
    return;
  }
  // The core refuses a start while an update is in flight; one still running here is, as a
  // rule, a bootloader request the new start made the window forget.
  if (running_) Finish("interrupted", kOvertaken, window);
  Begin(start);
}

void HistoryRecorder::Begin(const OperationStart& start) {
  Running running;
  running.operation = start.operation;
  running.family = IsMcu(start.operation)                           ? Family::kMcu
                   : start.operation == ImageOperation::kInputBoard ? Family::kInputBoard
                                                                    : Family::kBlocks;
  history::HistoryRecord& record = running.record;
  record.startedAt = clock_();
  record.station = identity_.station;
  record.operatorName = identity_.operatorName;
  record.port = "COM" + std::to_string(start.portNumber);
  if (start.deviceType) {
    record.deviceType = *start.deviceType;
    record.kind = KindOf(*start.deviceType);
  }
  record.step = StepName(start);
  record.toolVersion = tool_version_;
  TakeImage(start, record);
  running_ = std::move(running);
}

void HistoryRecorder::TakeImage(const OperationStart& start, history::HistoryRecord& record) const {
  record.imageFile = start.imageFile;
  record.bytes = start.image.size();
  record.sha256 = release::Sha256Hex(start.image);
  record.release.reset();
  record.key.reset();
  // Only an image of the release is the release's: a file the operator chose elsewhere is not.
  if (!release_) return;
  for (const release::VerifiedImage& image : release_->images) {
    if (!SameFile(image.path, start.imageFile)) continue;
    record.release = release_->name;
    record.key = release_->keyId;
    return;
  }
}

void HistoryRecorder::OperationEnded(const OperationResult& result, WindowServices& window) {
  if (!running_) return;
  Running& running = *running_;
  if (result.mcu && result.mcu->uniqueId && running.family == Family::kMcu) {
    std::span<const uint8_t> uid(*result.mcu->uniqueId);
    running.record.mcuUid = release::HexLower(uid);
  }
  switch (result.event) {
    case OperationEvent::kRefused:
      // A refused start of something else does not end this one; an MCU image refused at the
      // banner is told here first, its failure after.
      running.refusal = result.text;
      return;
    case OperationEvent::kPortFailed:
      // Nothing more comes from a device that is gone; other port failures may pass.
      if (result.failure == FailureKind::kDeviceGone) Finish("failed", result.text, window);
      return;
    default:
      break;
  }
  const struct {
    OperationEvent event;
    Family family;
    bool ok;
  } kEnds[] = {
      {OperationEvent::kUploadFinished, Family::kBlocks, true},
      {OperationEvent::kUploadFailed, Family::kBlocks, false},
      {OperationEvent::kMcuUpdateSucceeded, Family::kMcu, true},
      {OperationEvent::kMcuUpdateFailed, Family::kMcu, false},
      {OperationEvent::kInputBoardFinished, Family::kInputBoard, true},
      {OperationEvent::kInputBoardFailed, Family::kInputBoard, false},
  };
  for (const auto& end : kEnds) {
    if (end.event != result.event || end.family != running.family) continue;
    if (running.family == Family::kMcu) {
      running.record.verified = result.verified;
      // A failed update says whether its erase could have begun; a success changed the unit.
      running.record.started = end.ok || result.flashIncomplete;
    }
    const std::string message = result.text.empty() && !end.ok ? running.refusal : result.text;
    Finish(end.ok ? "ok" : "failed", end.ok ? std::string() : message, window);
    return;
  }
}

void HistoryRecorder::CommandHandled(int controlId, uint16_t notification, WindowServices& window) {
  if (!running_) return;
  const bool click = notification == BN_CLICKED;
  switch (controlId) {
    case IDC_PORT_BUTTON:
    case IDC_SEARCH_GENERATOR:
    case IDC_SEARCH_ANALYZER:
    case IDC_SEARCH_TYPE2:
    case IDC_SEARCH_TYPE3:
    case IDC_SEARCH_TYPE4:
    case IDC_SEARCH_TYPE5:
    case IDC_SEARCH_TYPE6:
    case IDC_SEARCH_TYPE7:
      if (click) Finish("interrupted", kStoppedByOperator, window);
      return;
    case IDC_PORT_LIST:
      if (notification == CBN_SELENDOK) Finish("interrupted", kStoppedByOperator, window);
      return;
    default:
      return;
  }
}

void HistoryRecorder::WindowClosing(WindowServices& window) {
  if (running_) Finish("interrupted", kWindowClosed, window);
}

void HistoryRecorder::Finish(const char* outcome, const std::string& message,
                             WindowServices& window) {
  history::HistoryRecord record = std::move(running_->record);
  running_.reset();
  record.endedAt = clock_();
  record.outcome = outcome;
  record.message = message;
  record.seconds = std::chrono::duration<double>(record.endedAt - record.startedAt).count();
  if (auto error = database_->Append(record)) {
    // The unit's outcome stands; only the station's record of it is missing.
    window.MessageBox("The history row of " + record.step + " (" + record.outcome +
                          ") could not be written: " + error->text +
                          ". The operation's own outcome is as the window showed it.",
                      kCaptionIsp);
  }
}

}  // namespace korvelt::common
