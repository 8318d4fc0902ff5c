#include "sim/sim_control.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace korvelt::sim {

std::optional<int> StrictNumber(const std::string& text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<ControlCommand> ParseControlCommand(const std::string& line, std::string* error) {
  std::istringstream words(line);
  std::vector<std::string> parts;
  for (std::string word; words >> word;) parts.push_back(word);
  ControlCommand command;
  if (parts.size() == 3) {
    char* end = nullptr;
    command.atSeconds = std::strtod(parts[0].c_str(), &end);
    if (end == parts[0].c_str() || *end != '\0' || !(command.atSeconds >= 0)) {
      *error = "'" + line + "': the time must be seconds (2.5)";
      return std::nullopt;
    }
    parts.erase(parts.begin());
  }
  if (parts.size() != 2) {
    *error = "'" + line + "': want ACTION COM, as 'unplug 3', optionally after seconds";
    return std::nullopt;
  }
  if (parts[0] == "unplug") {
    command.action = ControlCommand::Action::kUnplug;
  } else if (parts[0] == "plug") {
    command.action = ControlCommand::Action::kPlug;
  } else if (parts[0] == "power-cycle") {
    command.action = ControlCommand::Action::kPowerCycle;
  } else {
    *error = "'" + line + "': the action is unplug, plug or power-cycle";
    return std::nullopt;
  }
  const auto com = StrictNumber(parts[1]);
  if (!com || *com < 1 || *com > 99) {
    *error = "'" + line + "': the COM number must be 1 to 99";
    return std::nullopt;
  }
  command.com = *com;
  return command;
}

std::vector<std::string> ControlFile::NewLines() {
  std::vector<std::string> lines;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return lines;
  in.seekg(static_cast<std::streamoff>(offset_));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t start = 0;
  // Only whole lines: a writer may be in the middle of one.
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  offset_ += start;
  return lines;
}

}  // namespace korvelt::sim
