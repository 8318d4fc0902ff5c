#include "release/station_config.h"

#include <array>
#include <optional>
#include <string>

#include "release/input_file.h"

namespace korvelt::release {

namespace {

constexpr std::size_t kStationFileLimit = 64 * 1024;
constexpr std::string_view kRequireRelease = "require-release";
constexpr std::string_view kTrustedKeys = "trusted-keys";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

Refusal ConfigRefusal(const std::filesystem::path& source, std::size_t line, std::string why) {
  const std::string name = PathText(source);
  return Refusal{.kind = RefusalKind::kBadStationConfig,
                 .text = "The station file " + name + " is refused: line " + std::to_string(line) +
                         ": " + std::move(why) + ".",
                 .file = name,
                 .keyId = {}};
}

}  // namespace

Checked<StationConfig> ParseStationConfig(std::string_view text,
                                          const std::filesystem::path& source) {
  // Notepad starts its UTF-8 files with a byte order mark.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  StationConfig config;
  std::array<std::size_t, 2> set_on_line{};  // require-release, trusted-keys
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = Trim(line);
    if (line.empty() || line.starts_with('#')) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      return ConfigRefusal(source, number, "\"" + std::string(line) + "\" is not key = value");
    }
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    std::size_t* seen = nullptr;
    if (key == kRequireRelease) {
      seen = &set_on_line[0];
      if (value == "true") {
        config.requireRelease = true;
      } else if (value == "false") {
        config.requireRelease = false;
      } else {
        return ConfigRefusal(
            source, number,
            "require-release is \"" + std::string(value) + "\"; it is true or false");
      }
    } else if (key == kTrustedKeys) {
      seen = &set_on_line[1];
      if (value.empty()) return ConfigRefusal(source, number, "trusted-keys names no folder");
      const auto folder = PathFromUtf8(value);
      if (!folder) return ConfigRefusal(source, number, "trusted-keys is not UTF-8 text");
      config.trustedKeys = source.parent_path() / *folder;  // an absolute folder replaces
    } else {
      return ConfigRefusal(source, number,
                           "unknown setting \"" + std::string(key) +
                               "\" (the settings are require-release and trusted-keys)");
    }
    if (*seen != 0) {
      return ConfigRefusal(source, number,
                           std::string(key) + " was already set on line " + std::to_string(*seen));
    }
    *seen = number;
  }
  return config;
}

Checked<StationConfig> LoadStationConfig(const std::filesystem::path& file) {
  const SmallFile read = ReadSmallFile(file, kStationFileLimit);
  if (read.status == SmallFile::Status::kMissing) return StationConfig{};
  if (read.status != SmallFile::Status::kRead) {
    const std::string name = PathText(file);
    return Refusal{.kind = RefusalKind::kBadStationConfig,
                   .text = "The station file " + name + " can not be read: " + read.reason + ".",
                   .file = name,
                   .keyId = {}};
  }
  return ParseStationConfig(read.bytes, file);
}

}  // namespace korvelt::release
