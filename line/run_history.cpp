#include "line/run_history.h"

#include <cmath>
#include <cstdio>

#include "line/exit_codes.h"
#include "line/step.h"
#include "line/unit_scan.h"

namespace korvelt::line {

namespace {

history::HistoryTime Millis(std::chrono::system_clock::time_point when) {
  return std::chrono::floor<std::chrono::milliseconds>(when);
}

template <typename T>
std::optional<T> UnlessEmpty(const T& value) {
  if (value.empty()) return std::nullopt;
  return value;
}

// The kind of unit a fixed step writes, for a unit whose kind no probe told.
std::optional<int> StepDeviceType(const std::string& word) {
  std::string error;
  const auto step = ParseStep(word, &error);
  if (!step) return std::nullopt;
  switch (step->kind) {
    case Step::Kind::kGeneratorFpga:
    case Step::Kind::kGeneratorMcu:
    case Step::Kind::kGeneratorDataFlash:
      return 0;
    case Step::Kind::kAnalyzerFpga:
    case Step::Kind::kAnalyzerMcu:
    case Step::Kind::kAnalyzerDataFlash:
      return 1;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<history::HistoryRecord> HistoryRow(const UnitRecord& unit, const StepRecord& step,
                                                 const RunIdentity& who) {
  std::string error;
  const auto parsed = ParseStep(step.step, &error);
  if (!parsed || !StepMovesImage(parsed->kind) || step.outcome == "not-started") {
    return std::nullopt;
  }
  history::HistoryRecord row;
  const auto now = std::chrono::system_clock::now();
  row.endedAt = Millis(step.endedAt.value_or(now));
  row.startedAt = Millis(step.startedAt.value_or(
      step.endedAt.value_or(now) - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                       std::chrono::duration<double>(step.seconds))));
  row.station = who.station;
  row.operatorName = who.operatorName;
  row.port = "COM" + std::to_string(unit.port);
  row.adapterSerial = unit.adapterSerial;
  row.deviceType = unit.deviceType ? unit.deviceType : StepDeviceType(step.step);
  if (row.deviceType) row.kind = KindName(*row.deviceType);
  row.mcuUid = UnlessEmpty(!step.mcuUid.empty() ? step.mcuUid : unit.McuUid());
  row.step = step.step;
  row.imageFile = UnlessEmpty(step.file);
  row.bytes = step.bytes;
  if (step.bytes) row.sha256 = UnlessEmpty(step.sha256);
  row.release = UnlessEmpty(step.release);
  row.releaseSha256 = UnlessEmpty(step.releaseSha256);
  row.key = UnlessEmpty(step.key);
  // Everything but "not-started" is an outcome the history knows.
  row.outcome = step.outcome;
  row.message = step.message;
  row.seconds = std::round(step.seconds * 1000) / 1000;  // as the report shows it
  row.verified = step.verified;
  row.started = step.started;
  row.toolVersion = who.toolVersion;
  return row;
}

history::HistoryResult<std::unique_ptr<RunHistory>> RunHistory::Open(
    const history::HistorySettings& settings, const history::EnvironmentLookup& environment,
    RunIdentity who) {
  auto file = history::ChooseHistoryFile(settings, environment);
  if (!file.ok()) return file.error();
  if (!file.value()) return std::unique_ptr<RunHistory>();
  auto database = history::HistoryDatabase::Open(*file.value());
  if (!database.ok()) return database.error();
  return std::unique_ptr<RunHistory>(new RunHistory(std::move(database.value()), std::move(who)));
}

RunHistory::RunHistory(std::unique_ptr<history::HistoryDatabase> database, RunIdentity who)
    : database_(std::move(database)), who_(std::move(who)) {}

void RunHistory::Record(const UnitRecord& unit, const StepRecord& step) {
  const auto row = HistoryRow(unit, step, who_);
  if (!row) return;
  const auto error = database_->Append(*row);
  if (!error) return;
  if (!failed_) std::fprintf(stderr, "korvelt-cli: %s\n", error->text.c_str());
  failed_ = true;
}

int RunHistory::ExitStatus(int runStatus) const {
  return failed_ && runStatus == kExitOk ? kExitFailed : runStatus;
}

}  // namespace korvelt::line
