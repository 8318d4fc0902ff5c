#include "frontends/cli/progress_display.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvelt::cli {

namespace {

constexpr int kWidestBar = 30;
constexpr int kNarrowestBar = 10;

std::string Bar(double percent, int width) {
  const int filled = std::clamp(static_cast<int>(percent / 100.0 * width), 0, width);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(width - filled), ' ') + "]";
}

std::string Format(const char* format, double value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string TimeLeft(double percent, double seconds) {
  // The rate so far says how long the rest takes; too early to tell below 1 %.
  if (percent < 1.0 || seconds <= 0) return "--:-- left";
  const long left = std::lround(seconds * (100.0 - std::min(percent, 100.0)) / percent);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld left", left / 60, left % 60);
  return text;
}

std::string ProgressLine(const std::string& label, double percent, uint64_t done, uint64_t total,
                         double kilobytesPerSecond, const std::string& timeLeft, int columns) {
  // Never the last column: a line that reaches it wraps on some terminals, and the carriage
  // return would then redraw only its second half.
  const std::size_t room = static_cast<std::size_t>(std::max(columns - 1, 20));
  std::vector<std::string> extras = {
      "  " + std::to_string(done) + "/" + std::to_string(total) + " bytes",
      Format("  %.1f kB/s", kilobytesPerSecond), "  " + timeLeft};
  const std::string percentText = Format(" %5.1f%%", percent);
  for (;;) {
    std::string tail;
    for (const std::string& extra : extras) tail += extra;
    // The bar gives up width first, then the extras, least useful first.
    for (int bar = kWidestBar; bar >= kNarrowestBar; --bar) {
      std::string line = label + " " + Bar(percent, bar) + percentText + tail;
      if (line.size() <= room) return line;
    }
    if (extras.empty()) break;
    extras.erase(extras.begin());
  }
  std::string line = label + " " + Bar(percent, kNarrowestBar) + percentText;
  if (line.size() > room) line = label.substr(0, room > 3 ? room - 3 : 0) + "...";
  return line.substr(0, room);
}

void ProgressDisplay::Start(const std::string& label, bool movesImage) {
  label_ = label;
  movesImage_ = movesImage;
  lastWhole_ = -1;
  active_ = false;
  shown_ = 0;
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
  const int columns = columns_ ? columns_() : 80;
  std::string line =
      ProgressLine(label_, percent, done, totalBytes, rate, TimeLeft(percent, seconds), columns);
  // Spaces over what a longer line before left, within the terminal's width.
  const std::size_t room = static_cast<std::size_t>(std::max(columns - 1, 20));
  const std::size_t length = line.size();
  if (shown_ > length) line.append(std::min(shown_, room) - length, ' ');
  shown_ = length;
  std::fprintf(out_, "\r%s", line.c_str());
  std::fflush(out_);
  active_ = true;
}

void ProgressDisplay::Finish() {
  if (active_ && live_) std::fputc('\n', out_);
  active_ = false;
  shown_ = 0;
}

}  // namespace korvelt::cli
