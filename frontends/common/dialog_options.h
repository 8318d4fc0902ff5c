#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvelt::common {

// The dialog's command line, the same for the Qt and the Win32 front end. Texts are UTF-8.
struct DialogOptions {
  bool fastMcu = false;
  bool mcuStub = false;
  std::string screenshot;                // Qt only: a picture of the window at start
  std::optional<std::string> release;    // --release DIR: images come from this signed release
  std::vector<std::string> trustedKeys;  // --trusted-key FILE...: instead of the station's keys
  std::optional<std::string> history;    // --history FILE: a row for every image operation
  std::string station;                   // --station NAME, for the history's rows
  std::string operatorName;              // --operator NAME, for the history's rows
};

struct ParsedCommandLine {
  enum class Outcome { kRun, kHelp, kVersion, kUsageError };
  Outcome outcome = Outcome::kRun;
  DialogOptions options;
  std::string text;  // the help, the version line, or what is wrong
};

// `arguments` without the program's name. A misspelt option is an error, never ignored: a
// mistyped --release would otherwise run without the release's checks.
ParsedCommandLine ParseDialogCommandLine(const std::vector<std::string>& arguments,
                                         bool offerScreenshot);

}  // namespace korvelt::common
