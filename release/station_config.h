#pragma once

#include <filesystem>
#include <string_view>

#include "release/refusal.h"
#include "release/station_folder.h"

// The station file (DefaultStationConfigPath: /etc/korvelt-updater/station.conf on Linux,
// station.conf in %PROGRAMDATA%\korvelt-updater on Windows): "key = value" lines, blank lines
// and lines starting with '#'.
//   require-release = true        # every image must come from a verified release
//   trusted-keys = /srv/keys      # instead of the keys folder beside the station file
namespace korvelt::release {

struct StationConfig {
  bool requireRelease = false;
  std::filesystem::path trustedKeys = DefaultTrustedKeyFolder();
};

// Unknown settings, repeated settings, lines without '=' and bad values are refused with
// their line number. A relative trusted-keys folder is taken from the station file's folder.
Checked<StationConfig> ParseStationConfig(std::string_view text,
                                          const std::filesystem::path& source);

// Reads the station file; a station without one has the defaults.
Checked<StationConfig> LoadStationConfig(
    const std::filesystem::path& file = DefaultStationConfigPath());

}  // namespace korvelt::release
