#include "serial/port_map.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace korvelt {
namespace fs = std::filesystem;

namespace {

std::optional<int> ParseNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 6) return std::nullopt;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Devices of one family ("ttyUSB") in numeric order of their suffix.
std::vector<std::string> DevicesOfFamily(const std::string& devRoot, std::string_view family) {
  std::vector<std::pair<int, std::string>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(devRoot, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= family.size() || name.compare(0, family.size(), family) != 0) continue;
    auto number = ParseNumber(std::string_view(name).substr(family.size()));
    if (number) found.emplace_back(*number, entry.path().string());
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& [number, path] : found) paths.push_back(std::move(path));
  return paths;
}

}  // namespace

PortMap PortMap::FromEnvironment() {
  if (const char* folder = std::getenv(kFolderVariable); folder && *folder) {
    return FromFolder(folder);
  }
  return FromDevices();
}

PortMap PortMap::FromFolder(const std::string& folder) {
  PortMap map;
  map.source_ = "port map folder " + folder;
  for (int number = 1; number <= kHighestPort; ++number) {
    fs::path entry = fs::path(folder) / ("COM" + std::to_string(number));
    std::error_code ec;
    // A dangling link still names a device that may come back; opening it reports absence.
    if (fs::exists(fs::symlink_status(entry, ec))) {
      map.entries_.push_back({number, entry.string()});
    }
  }
  return map;
}

PortMap PortMap::FromDevices(const std::string& devRoot) {
  PortMap map;
  map.source_ = "devices under " + devRoot;
  int number = 1;
  for (const char* family : {"ttyACM", "ttyUSB", "ttyS"}) {
    for (auto& path : DevicesOfFamily(devRoot, family)) {
      if (number > kHighestPort) break;
      map.entries_.push_back({number++, std::move(path)});
    }
  }
  return map;
}

std::optional<std::string> PortMap::Resolve(int portNumber) const {
  for (const auto& entry : entries_) {
    if (entry.number == portNumber) return entry.device;
  }
  return std::nullopt;
}

std::optional<int> PortMap::ParsePortName(std::string_view portName) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (portName.substr(0, kDevicePrefix.size()) == kDevicePrefix) {
    portName.remove_prefix(kDevicePrefix.size());
  }
  if (portName.substr(0, 3) != "COM") return std::nullopt;
  return ParseNumber(portName.substr(3));
}

std::optional<std::string> PortMap::ResolveName(std::string_view portName) const {
  auto number = ParsePortName(portName);
  if (!number) return std::nullopt;
  return Resolve(*number);
}

std::string PortMap::Describe() const {
  std::string text = "COM ports from " + source_ + ":\n";
  if (entries_.empty()) text += "  (none)\n";
  for (const auto& entry : entries_) {
    text += "  COM" + std::to_string(entry.number) + " -> " + entry.device + "\n";
  }
  return text;
}

}  // namespace korvelt
