#pragma once

#include <filesystem>

namespace korvelt::release {

// The station's own settings folder: /etc/korvelt-updater on Linux,
// %PROGRAMDATA%\korvelt-updater on Windows. One implementation per system.
std::filesystem::path StationFolder();

// Names another station folder (tests, a station image being prepared).
inline constexpr const char* kStationFolderVariable = "KORVELT_STATION_DIR";

// Its trusted keys (every *.pub) and its settings file, in KORVELT_STATION_DIR when set.
std::filesystem::path DefaultTrustedKeyFolder();
std::filesystem::path DefaultStationConfigPath();

}  // namespace korvelt::release
