#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "line/unit_supervisor.h"

namespace korvelt::cli {

using line::UnitStatus;

// "COM3   generator  generator-fpga        [#######             ]  35.0%   9.5 kB/s".
std::string FormatUnitLine(const UnitStatus& line);

// The progress of several units on standard error: on a terminal one line per unit, redrawn
// in place; otherwise one plain line per unit each time it passes another 10 %. At the end, the
// table of every unit's steps and a line for each unit that did not succeed.
class UnitDisplay : public line::UnitRunObserver {
 public:
  UnitDisplay(std::FILE* out, bool live, bool quiet) : out_(out), live_(live), quiet_(quiet) {}

  bool live() const { return live_ && !quiet_; }
  // Live: draws every line again, in place.
  void Redraw(const std::vector<UnitStatus>& lines);
  // A message line; on a terminal it goes above the live lines.
  void Note(const std::string& text);
  // Leaves the live lines as they were last drawn.
  void Finish();

  // line::UnitRunObserver
  void Units(const std::vector<UnitStatus>& units) override { Redraw(units); }
  // Plain: one line for this unit when its step has passed another 10 %.
  void Passed(const UnitStatus& unit, int tenths) override;
  void StepEnded(int port, const line::StepRecord& record) override;
  void UnitSaid(int port, const std::string& text) override;
  void RunEnded(const std::vector<line::UnitRecord>& units) override;

 private:
  void Erase();

  std::FILE* out_;
  bool live_;
  bool quiet_;
  std::vector<UnitStatus> last_;
  std::size_t drawn_ = 0;
};

}  // namespace korvelt::cli
