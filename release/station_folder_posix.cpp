#include "release/station_folder.h"

namespace korvelt::release {

std::filesystem::path StationFolder() {
  return "/etc/korvelt-updater";
}

}  // namespace korvelt::release
