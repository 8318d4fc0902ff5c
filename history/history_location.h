#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "history/history_error.h"

namespace korvelt::history {

// How the command line chose the history.
struct HistorySettings {
  std::filesystem::path file;  // --history FILE; empty when not given
  bool off = false;            // --no-history: no history is written
};

// Names another history file for every run on the station.
inline constexpr const char* kHistoryVariable = "KORVELT_HISTORY";

// An environment variable's value; nothing when unset or empty. Tests pass their own.
using EnvironmentLookup = std::function<std::optional<std::filesystem::path>(const char* name)>;
// The process's environment (history_location_posix.cpp, history_location_win32.cpp).
EnvironmentLookup SystemEnvironment();

// The file the history goes to: nothing when it is off; else --history FILE, else
// KORVELT_HISTORY, else DefaultHistoryFile.
HistoryResult<std::optional<std::filesystem::path>> ChooseHistoryFile(
    const HistorySettings& settings, const EnvironmentLookup& environment);

// Linux: $XDG_DATA_HOME/korvelt-updater/history.sqlite, by default
// ~/.local/share/korvelt-updater/history.sqlite. Windows:
// %LOCALAPPDATA%\korvelt-updater\history.sqlite. A kLocation error when the variable it needs is
// unset or not an absolute path.
HistoryResult<std::filesystem::path> DefaultHistoryFile(const EnvironmentLookup& environment);

// Who and where, as the rows name them: the names given, else the host name and the login name.
struct StationIdentity {
  std::string station;
  std::string operatorName;
};
StationIdentity IdentifyStation(std::string_view givenStation, std::string_view givenOperator);

// The system's names for this computer and for the user running the program (UTF-8).
std::string HostName();
std::string LoginName();

// A path as UTF-8 text (for SQLite and for messages), and back.
std::string PathText(const std::filesystem::path& path);
std::filesystem::path PathFromText(std::string_view utf8);

}  // namespace korvelt::history
