#pragma once

#include <filesystem>

namespace korvelt::release {

// The station's own settings folder: /etc/korvelt-updater on Linux,
// %PROGRAMDATA%\korvelt-updater on Windows. One implementation per system.
std::filesystem::path StationFolder();

// Its trusted keys (every *.pub) and its settings file.
std::filesystem::path DefaultTrustedKeyFolder();
std::filesystem::path DefaultStationConfigPath();

}  // namespace korvelt::release
