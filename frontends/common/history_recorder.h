#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/window_services.h"
#include "history/history_database.h"
#include "history/history_location.h"
#include "release/release_folder.h"

namespace korvelt::common {

// The step as korvelt-cli names it: "generator-fpga", "aux-fpga=FILE", "input-board=2:FILE".
std::string StepName(const OperationStart& start);

// Writes the station's history for the dialog (--history): one row per image operation the
// operator runs, written when it ends. It learns of operations from the window's typed events
// only; the window that owns it hands them on. Everything runs on the window's thread.
class HistoryRecorder {
 public:
  using Clock = std::function<history::HistoryTime()>;
  static history::HistoryTime SystemNow();

  // `release`: the verified release given with --release, or null; its name and key go into
  // the rows of its images.
  HistoryRecorder(std::unique_ptr<history::HistoryDatabase> database,
                  history::StationIdentity identity, std::string toolVersion,
                  std::shared_ptr<const release::VerifiedRelease> release, Clock clock = SystemNow);

  // The window's typed events as the core tells them. `window` shows the box of a row that could
  // not be written; the operation's own outcome is never changed by it.
  void OperationStarted(const OperationStart& start, WindowServices& window);
  void OperationEnded(const OperationResult& result, WindowServices& window);
  // A control notification the window has handled. Close Port, a search and a port-list choice
  // end the operation in flight without a result of its own (the operator stopped it).
  void CommandHandled(int controlId, uint16_t notification, WindowServices& window);
  // The window ends: an operation still in flight ends with it.
  void WindowClosing(WindowServices& window);

  bool operationRunning() const { return running_.has_value(); }

 private:
  enum class Family { kBlocks, kMcu, kInputBoard };
  struct Running {
    history::HistoryRecord record;
    Family family = Family::kBlocks;
    ImageOperation operation = ImageOperation::kGeneratorFpga;
    std::string refusal;  // the last refusal told while it ran
  };
  void Begin(const OperationStart& start);
  void TakeImage(const OperationStart& start, history::HistoryRecord& record) const;
  void Finish(const char* outcome, const std::string& message, WindowServices& window);

  std::unique_ptr<history::HistoryDatabase> database_;
  history::StationIdentity identity_;
  std::string tool_version_;
  std::shared_ptr<const release::VerifiedRelease> release_;
  Clock clock_;
  std::optional<Running> running_;
};

}  // namespace korvelt::common
