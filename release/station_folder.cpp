#include "release/station_folder.h"

namespace korvelt::release {

std::filesystem::path DefaultTrustedKeyFolder() {
  return StationFolder() / "keys";
}

std::filesystem::path DefaultStationConfigPath() {
  return StationFolder() / "station.conf";
}

}  // namespace korvelt::release
