#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frontends/cli/cli_runner.h"
#include "frontends/cli/run_report.h"

namespace korvelt::cli {

// "3,5,7" to COM numbers; "all" sets `all`. Nothing (and `error` set) for anything else.
std::optional<std::vector<int>> ParseUnitList(const std::string& text, bool* all,
                                              std::string* error);

struct UnitsOptions {
  std::vector<int> ports;                 // the units' COM numbers
  bool scanFirst = false;                 // --units all: every unit the scan finds
  std::vector<uint8_t> deviceTypes;       // the probes, for the scan and for each unit
  std::vector<std::string> stepWords;     // as given; each child runs them
  std::vector<std::string> childOptions;  // given to every child before its steps
  std::string traceFile;                  // each child writes FILE.COMn
  int parallel = 0;                       // at most this many at once; 0 for all
  bool quiet = false;
  std::string reportFile;
};

// The production line: one child process per unit, each `korvelt-cli --port N` with the steps,
// a live line per unit, a closing table, the report, and the worst unit's exit status.
int RunUnits(const UnitsOptions& options);

// The child's side: identifies the unit on `options.port` with the probe, runs the steps, and
// tells the supervisor on standard output. Ends when its standard input ends.
int RunUnitChild(RunOptions options, const std::vector<Step>& steps,
                 const std::vector<uint8_t>& deviceTypes);

// Writes the report if a path was given; says on standard error when it cannot.
bool WriteReport(const RunReport& report, const std::string& path);

}  // namespace korvelt::cli
