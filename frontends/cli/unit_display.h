#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvelt::cli {

// What the display shows of one unit.
struct UnitLine {
  int port = 0;
  std::string kind;  // "generator", or "?" before the unit answered
  std::string step;  // the running step, or the unit's state ("waiting", "ok", ...)
  bool showsBar = false;
  double percent = 0;
  double kilobytesPerSecond = 0;
};

// "COM3   generator  generator-fpga        [#######             ]  35.0%   9.5 kB/s".
std::string FormatUnitLine(const UnitLine& line);

// The progress of several units on standard error: on a terminal one line per unit, redrawn
// in place; otherwise one plain line per unit each time it passes another 10 %.
class UnitDisplay {
 public:
  UnitDisplay(std::FILE* out, bool live, bool quiet) : out_(out), live_(live), quiet_(quiet) {}

  bool live() const { return live_ && !quiet_; }
  // Live: draws every line again, in place.
  void Redraw(const std::vector<UnitLine>& lines);
  // Plain: one line for this unit when its step has passed another 10 %.
  void Passed(const UnitLine& line, int tenths);
  // A message line; on a terminal it goes above the live lines.
  void Note(const std::string& text);
  // Leaves the live lines as they were last drawn.
  void Finish();

 private:
  void Erase();

  std::FILE* out_;
  bool live_;
  bool quiet_;
  std::vector<UnitLine> last_;
  std::size_t drawn_ = 0;
};

}  // namespace korvelt::cli
