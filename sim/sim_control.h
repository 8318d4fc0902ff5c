#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvelt::sim {

// What an operator does to one unit of a running simulator: pull its USB cable out (the port's
// device goes away, as an unplugged adapter's does), put it back (a new device under the same
// COMn), or switch the unit off and on.
struct ControlCommand {
  enum class Action { kUnplug, kPlug, kPowerCycle };
  Action action = Action::kPowerCycle;
  int com = 0;
  double atSeconds = 0;  // after the simulator's start; 0: at once
};

// "unplug 3", "plug 3", "power-cycle 3", each optionally after a time: "2.5 unplug 3".
// Nothing (and `error` set) for anything else.
std::optional<ControlCommand> ParseControlCommand(const std::string& line, std::string* error);

// A control file: a test or an operator appends command lines while the simulator runs; each
// line is read once, when it is whole.
class ControlFile {
 public:
  explicit ControlFile(std::string path) : path_(std::move(path)) {}
  // The lines appended since the last call.
  std::vector<std::string> NewLines();

 private:
  std::string path_;
  uint64_t offset_ = 0;  // the bytes already read
};

// Whole numbers only: "3x", "3.0" and "" are no COM number.
std::optional<int> StrictNumber(const std::string& text);

}  // namespace korvelt::sim
