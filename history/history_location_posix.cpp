#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "history/history_location.h"

namespace korvelt::history {

namespace fs = std::filesystem;

EnvironmentLookup SystemEnvironment() {
  return [](const char* name) -> std::optional<fs::path> {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return fs::path(value);
  };
}

HistoryResult<fs::path> DefaultHistoryFile(const EnvironmentLookup& environment) {
  // A relative XDG_DATA_HOME is to be ignored, as if unset.
  auto data = environment("XDG_DATA_HOME");
  if (!data || !data->is_absolute()) {
    const auto home = environment("HOME");
    if (!home || !home->is_absolute()) {
      return HistoryError{
          .kind = HistoryError::Kind::kLocation,
          .text =
              "no place for the history: HOME is not set; choose a file with --history FILE "
              "or KORVELT_HISTORY"};
    }
    data = *home / ".local" / "share";
  }
  return *data / "korvelt-updater" / "history.sqlite";
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

std::string LoginName() {
  // The user the program runs as; the environment only when the password database has no
  // entry for it (a container's arbitrary uid).
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_name && *found->pw_name)
    return found->pw_name;
  for (const char* name : {"LOGNAME", "USER"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return "uid " + std::to_string(::geteuid());
}

}  // namespace korvelt::history
