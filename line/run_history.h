#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "history/history_database.h"
#include "history/history_location.h"
#include "history/history_record.h"
#include "line/run_report.h"

namespace korvelt::line {

// Who ran the station, the same in every row of a run.
struct RunIdentity {
  std::string station;
  std::string operatorName;
  std::string toolVersion;
};

// The history row of one step of a unit, carrying the same values as the run's report; nothing
// for a step that sends no image or never started.
std::optional<history::HistoryRecord> HistoryRow(const UnitRecord& unit, const StepRecord& step,
                                                 const RunIdentity& who);

// The station's history for one run: opened before any unit is touched, a row written as each
// image step ends. A row that cannot be written is told once on standard error and makes the
// run's exit status non-zero; it never changes how an update ended.
class RunHistory {
 public:
  // Nothing (and no error) when the settings turn the history off.
  static history::HistoryResult<std::unique_ptr<RunHistory>> Open(
      const history::HistorySettings& settings, const history::EnvironmentLookup& environment,
      RunIdentity who);

  void Record(const UnitRecord& unit, const StepRecord& step);
  bool failed() const { return failed_; }
  // The status a run ends with: a history that was not written turns a success into a failure.
  int ExitStatus(int runStatus) const;
  const RunIdentity& who() const { return who_; }
  const std::filesystem::path& file() const { return database_->file(); }

 private:
  RunHistory(std::unique_ptr<history::HistoryDatabase> database, RunIdentity who);
  std::unique_ptr<history::HistoryDatabase> database_;
  RunIdentity who_;
  bool failed_ = false;
};

}  // namespace korvelt::line
