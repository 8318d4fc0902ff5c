#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line/run_history.h"
#include "line/run_report.h"

namespace korvelt::line {

// "3,5,7" to COM numbers; "all" sets `all`. Nothing (and `error` set) for anything else.
std::optional<std::vector<int>> ParseUnitList(const std::string& text, bool* all,
                                              std::string* error);

struct UnitsOptions {
  std::vector<int> ports;  // the units' COM numbers
  bool scanFirst = false;  // --units all: every unit the scan finds
  bool mcuSteps = false;   // the steps update MCUs: a unit waiting in its bootloader is taken
  std::vector<uint8_t> deviceTypes;       // the probes, for the scan and for each unit
  std::vector<std::string> stepWords;     // as given; each child runs them
  std::vector<std::string> childOptions;  // given to every child before its steps
  std::string traceFile;                  // each child writes FILE.COMn
  int parallel = 0;                       // at most this many at once; 0 for all
  std::string reportFile;
  // Each unit's run ends within this limit, whatever its line does: the child ends itself at
  // it (it is given the same limit); one that has not ended kDeadlineGrace later is stopped, and
  // killed if it still runs after the stop's grace. 0: no limit.
  double runLimitSeconds = 0;
  std::string tool;  // the report's "tool"
  RunIdentity who;   // the report's station and operator
  // The station's history: a row for each image step as it ends. Null: none is written.
  RunHistory* history = nullptr;
};

// What a display shows of one unit while the run goes on.
struct UnitStatus {
  int port = 0;
  std::string kind;  // "generator", or "?" before the unit answered
  std::string step;  // the running step, or the unit's state ("waiting", "ok", ...)
  bool showsBar = false;
  double percent = 0;
  double kilobytesPerSecond = 0;
};

// What the supervisor tells whoever draws the run. Called on the supervisor's thread.
class UnitRunObserver {
 public:
  virtual ~UnitRunObserver() = default;
  // Every unit as it stands: at most every 100 ms while units run, and once at the end.
  virtual void Units(const std::vector<UnitStatus>& /*units*/) {}
  // A unit's step passed another 10 % (`tenths` 0 to 10).
  virtual void Passed(const UnitStatus& /*unit*/, int /*tenths*/) {}
  virtual void StepEnded(int /*port*/, const StepRecord& /*record*/) {}
  // A line the unit's process wrote on its standard error.
  virtual void UnitSaid(int /*port*/, const std::string& /*line*/) {}
  // The run is over: every unit's record, in the order of the units.
  virtual void RunEnded(const std::vector<UnitRecord>& /*units*/) {}
};

// The production line: one child process per unit (this program started again as
// `--unit-child --port N` with the steps), the report, and the worst unit's exit status.
int RunUnits(const UnitsOptions& options, UnitRunObserver& observer);

// Writes the report if a path was given; says on standard error when it cannot.
bool WriteReport(const RunReport& report, const std::string& path);

}  // namespace korvelt::line
