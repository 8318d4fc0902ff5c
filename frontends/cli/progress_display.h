#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace korvelt::cli {

// Progress on standard error: a live bar with percentage, bytes and rate on a terminal, plain
// percentage lines otherwise.
class ProgressDisplay {
 public:
  ProgressDisplay(std::FILE* out, bool live, bool quiet) : out_(out), live_(live), quiet_(quiet) {}

  void Start(const std::string& label);
  // `shownBefore` is what the field showed when the step began; it is not this step's news.
  void Start(const std::string& label, double shownBefore);
  void Update(double percent, uint64_t totalBytes);
  void Finish();

 private:
  std::FILE* out_;
  bool live_;
  bool quiet_;
  bool active_ = false;
  std::string label_;
  int lastWhole_ = -1;
  std::optional<double> stale_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace korvelt::cli
