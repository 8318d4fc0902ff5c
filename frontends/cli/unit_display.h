#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "line/unit_supervisor.h"

namespace korvelt::cli {

using line::UnitStatus;

// "COM3   generator  generator-fpga        [#######             ]  35.0%   9.5 kB/s", fitted
// to a terminal of `columns`: the step's column narrows, then the bar, then the rate goes.
std::string FormatUnitStatus(const UnitStatus& line, int columns = 80);
// The line that stands for the units a terminal has no rows for.
std::string HiddenUnitsLine(const std::vector<UnitStatus>& hidden);

// The progress of several units on standard error: on a terminal one line per unit, redrawn
// in place; otherwise one plain line per unit each time it passes another 10 %. At the end, the
// table of every unit's steps and a line for each unit that did not succeed.
class UnitDisplay : public line::UnitRunObserver {
 public:
  UnitDisplay(std::FILE* out, bool live, bool quiet) : out_(out), live_(live), quiet_(quiet) {}
  // The terminal's size, asked at every redraw.
  void SetTerminalSize(std::function<int()> columns, std::function<int()> rows) {
    columns_ = std::move(columns);
    rows_ = std::move(rows);
  }

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
  int drawn_columns_ = 0;  // the width the lines on the screen were fitted to
  std::function<int()> columns_;
  std::function<int()> rows_;
};

}  // namespace korvelt::cli
