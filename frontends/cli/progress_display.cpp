#include "frontends/cli/progress_display.h"

namespace korvelt::cli {

void ProgressDisplay::Start(const std::string& label) {
  label_ = label;
  lastWhole_ = -1;
  active_ = false;
  started_ = std::chrono::steady_clock::now();
}

void ProgressDisplay::Start(const std::string& label, double shownBefore) {
  Start(label);
  stale_ = shownBefore;
}

void ProgressDisplay::Update(double percent, uint64_t totalBytes) {
  if (quiet_) return;
  // The field keeps the last operation's value until this one moves it.
  if (stale_ && percent == *stale_) return;
  stale_.reset();
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
  std::fprintf(out_, "\r%s [%s] %5.1f%%  %llu/%llu bytes  %.1f kB/s ", label_.c_str(), bar.c_str(),
               percent, static_cast<unsigned long long>(done),
               static_cast<unsigned long long>(totalBytes), rate);
  std::fflush(out_);
  active_ = true;
}

void ProgressDisplay::Finish() {
  if (active_ && live_) std::fputc('\n', out_);
  active_ = false;
}

}  // namespace korvelt::cli
