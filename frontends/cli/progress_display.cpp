#include "frontends/cli/progress_display.h"

#include <algorithm>
#include <cmath>

namespace korvelt::cli {

std::string TimeLeft(double percent, double seconds) {
  // The rate so far says how long the rest takes; too early to tell below 1 %.
  if (percent < 1.0 || seconds <= 0) return "--:-- left";
  const long left = std::lround(seconds * (100.0 - std::min(percent, 100.0)) / percent);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld left", left / 60, left % 60);
  return text;
}

void ProgressDisplay::Start(const std::string& label, bool movesImage) {
  label_ = label;
  movesImage_ = movesImage;
  lastWhole_ = -1;
  active_ = false;
  started_ = std::chrono::steady_clock::now();
}

void ProgressDisplay::Relabel(const std::string& label) {
  if (label == label_) return;
  Finish();
  label_ = label;
  lastWhole_ = -1;
  started_ = std::chrono::steady_clock::now();
}

void ProgressDisplay::Update(double percent, uint64_t totalBytes) {
  if (quiet_ || !movesImage_) return;
  const int whole = static_cast<int>(percent) / 10 * 10;  // a plain line every 10 %
  if (!live_) {
    if (whole == lastWhole_) return;
    lastWhole_ = whole;
    std::fprintf(out_, "%s: %.1f%%\n", label_.c_str(), percent);
    return;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  const uint64_t done = static_cast<uint64_t>(percent / 100.0 * static_cast<double>(totalBytes));
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds / 1000.0 : 0.0;
  constexpr int kWidth = 30;
  const int filled = static_cast<int>(percent / 100.0 * kWidth);
  std::string bar(static_cast<std::size_t>(std::max(0, std::min(filled, kWidth))), '#');
  bar.resize(kWidth, ' ');
  std::fprintf(out_, "\r%s [%s] %5.1f%%  %llu/%llu bytes  %.1f kB/s  %s ", label_.c_str(),
               bar.c_str(), percent, static_cast<unsigned long long>(done),
               static_cast<unsigned long long>(totalBytes), rate,
               TimeLeft(percent, seconds).c_str());
  std::fflush(out_);
  active_ = true;
}

void ProgressDisplay::Finish() {
  if (active_ && live_) std::fputc('\n', out_);
  active_ = false;
}

}  // namespace korvelt::cli
