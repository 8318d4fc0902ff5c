#include "release/station_folder.h"

#include <cstdlib>

namespace korvelt::release {

namespace {

// KORVELT_STATION_DIR stands in for the system's folder: a test, or a station image being
// prepared, sets up its keys and settings without touching the machine's own.
std::filesystem::path StationFolderInUse() {
  const char* chosen = std::getenv(kStationFolderVariable);
  if (chosen && *chosen) return std::filesystem::path(chosen);
  return StationFolder();
}

}  // namespace

std::filesystem::path DefaultTrustedKeyFolder() {
  return StationFolderInUse() / "keys";
}

std::filesystem::path DefaultStationConfigPath() {
  return StationFolderInUse() / "station.conf";
}

}  // namespace korvelt::release
