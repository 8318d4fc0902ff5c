#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace korvelt::cli {

// Progress on standard error: a live bar with percentage, bytes, rate and the time left on a
// terminal, plain percentage lines otherwise.
// "1:05 left": the time the rest takes at the rate so far; "--:-- left" before 1 %.
std::string TimeLeft(double percent, double seconds);
// "generator-fpga [#####     ]  50.0%  32768/65536 bytes  9.5 kB/s  0:03 left", fitted to a
// terminal of `columns`: the bar narrows, then the byte count, the rate and the time left go.
std::string ProgressLine(const std::string& label, double percent, uint64_t done, uint64_t total,
                         double kilobytesPerSecond, const std::string& timeLeft, int columns);

class ProgressDisplay {
 public:
  ProgressDisplay(std::FILE* out, bool live, bool quiet) : out_(out), live_(live), quiet_(quiet) {}
  // The terminal's width, asked at every redraw.
  void SetColumns(std::function<int()> columns) { columns_ = std::move(columns); }

  // A step that moves no image (a search, open, close) shows no bar at all.
  void Start(const std::string& label, bool movesImage = true);
  // The same step moves on to another phase (an MCU update's read-back): a new label, and the
  // bar starts again.
  void Relabel(const std::string& label);
  void Update(double percent, uint64_t totalBytes);
  void Finish();

 private:
  std::FILE* out_;
  bool live_;
  bool quiet_;
  bool active_ = false;
  bool movesImage_ = false;  // no step has started yet
  std::string label_;
  int lastWhole_ = -1;
  std::size_t shown_ = 0;  // the length of the line drawn last
  std::function<int()> columns_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace korvelt::cli
