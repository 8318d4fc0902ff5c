#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "line/step_record.h"

namespace korvelt::line {

// How one unit's run ended.
struct UnitRecord {
  int port = 0;
  std::optional<int> deviceType;   // nothing when no unit answered on the port
  std::string outcome = "failed";  // "ok", "failed" or "stalled"
  std::string message;             // the failure's text
  int exitCode = 1;                // the unit's exit status, as a single-unit run gives it
  std::vector<StepRecord> steps;   // every step given: those not run as "not-started"
  std::optional<int> group;        // the unit's address, from its answer to the probe
  std::optional<int> machine;
  std::optional<std::string> adapterSerial;  // the USB adapter's serial number, where known
  // The MCU's unique ID, where a step read it: what tells this unit from the next.
  std::string McuUid() const;
};

// The report's format: line tooling reads these files, so a change that removes or renames a
// field, or changes its meaning, comes with a new version.
inline constexpr int kReportSchemaVersion = 1;

struct RunReport {
  std::string tool;     // "korvelt-cli 1.0.0 (...)": the program that wrote it
  std::string station;  // where and by whom, as the station's history names them
  std::string operatorName;
  std::chrono::system_clock::time_point startedAt;
  std::chrono::system_clock::time_point endedAt;
  std::vector<UnitRecord> units;
};

// "2025-03-14T09:26:53.589Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point when);

nlohmann::ordered_json StepRecordJson(const StepRecord& record);
StepRecord StepRecordFromJson(const nlohmann::json& json);
nlohmann::ordered_json ReportJson(const RunReport& report);

// The unit outcome that goes with a single-unit exit status.
std::string OutcomeForExit(int exitCode);
// The steps after those the unit ran, as "not-started" records.
void AddStepsNotStarted(UnitRecord& unit, const std::vector<std::string>& stepWords);
// 0 when every unit succeeded; otherwise the worst of the units' statuses: stalled (3) over
// failed (1); an interrupted run stays interrupted.
int CombinedExit(const std::vector<UnitRecord>& units);
// What standard error names for each unit that did not succeed: "COM4: stalled: ...".
std::string FailedUnitLines(const std::vector<UnitRecord>& units);
// The closing table: unit, kind, and each step's outcome and time.
std::string SummaryTable(const std::vector<UnitRecord>& units);

// Writes `text` into a temporary file of its own next to `path` (two runs never share one),
// flushes it to the disk and renames it into place, so a reader never sees half a file; on any
// failure the temporary file is removed. One implementation per system (atomic_file_posix.cpp,
// atomic_file_win32.cpp); paths are UTF-8.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);
// Whether a report can be written to `path`: checked before a unit is touched, by writing and
// removing a temporary file next to it.
bool CheckWritable(const std::string& path, std::string* error);
// The report as its file holds it: invalid UTF-8 in a path or a message is replaced, never
// an abort.
std::string ReportText(const RunReport& report);

}  // namespace korvelt::line
