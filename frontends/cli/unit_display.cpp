#include "frontends/cli/unit_display.h"

#include <algorithm>

namespace korvelt::cli {

namespace {

constexpr int kWidestStep = 28;
constexpr int kNarrowestStep = 12;
constexpr int kWidestBar = 20;
constexpr int kNarrowestBar = 8;

std::string Padded(const std::string& text, int width) {
  std::string cell = text.substr(0, static_cast<std::size_t>(width));
  cell.resize(static_cast<std::size_t>(width), ' ');
  return cell;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

std::string FormatUnitStatus(const UnitStatus& line, int columns) {
  // Never the last column: a line that reaches it wraps on some terminals and would throw the
  // redraw's count of lines off.
  const std::size_t room = static_cast<std::size_t>(std::max(columns - 1, 20));
  char head[48];
  std::snprintf(head, sizeof head, "COM%-3d %-10s ", line.port, line.kind.c_str());
  std::string tail;
  char percent[16];
  std::snprintf(percent, sizeof percent, " %5.1f%%", line.percent);
  char rate[32];
  std::snprintf(rate, sizeof rate, "  %5.1f kB/s", line.kilobytesPerSecond);
  // The step's column narrows first, then the bar, then the rate goes.
  for (const bool withRate : {true, false}) {
    for (int bar = kWidestBar; bar >= kNarrowestBar; bar -= 2) {
      if (!line.showsBar && bar != kWidestBar) break;
      std::string barText;
      if (line.showsBar) {
        const int filled = std::clamp(static_cast<int>(line.percent / 100.0 * bar), 0, bar);
        barText = " [" + std::string(static_cast<std::size_t>(filled), '#') +
                  std::string(static_cast<std::size_t>(bar - filled), ' ') + "]" + percent +
                  (withRate ? rate : "");
      }
      const int left = static_cast<int>(room) - static_cast<int>(std::string(head).size()) -
                       static_cast<int>(barText.size());
      const int stepWidth = std::min(kWidestStep, left);
      if (stepWidth < kNarrowestStep && line.showsBar) continue;
      const std::string text = Trimmed(head + Padded(line.step, std::max(stepWidth, 0)) + barText);
      if (text.size() <= room) return text;
    }
    if (!line.showsBar) break;
  }
  return Trimmed(std::string(head) + line.step).substr(0, room);
}

std::string HiddenUnitsLine(const std::vector<UnitStatus>& hidden) {
  int running = 0, waiting = 0, ended = 0;
  for (const UnitStatus& unit : hidden) {
    if (unit.step == "waiting") {
      ++waiting;
    } else if (unit.step == "ok" || unit.step == "failed" || unit.step == "stalled") {
      ++ended;
    } else {
      ++running;
    }
  }
  return "... and " + std::to_string(hidden.size()) + " more: " + std::to_string(running) +
         " running, " + std::to_string(ended) + " ended, " + std::to_string(waiting) + " waiting";
}

void UnitDisplay::Erase() {
  // Back to the first live line, and clear everything below it.
  if (drawn_ > 0) std::fprintf(out_, "\x1b[%zuA", drawn_);
  std::fputs("\r\x1b[J", out_);
  drawn_ = 0;
}

void UnitDisplay::Redraw(const std::vector<UnitStatus>& lines) {
  if (!live()) return;
  const int columns = columns_ ? columns_() : 80;
  const int rows = rows_ ? rows_() : 24;
  if (drawn_ > 0 && columns != drawn_columns_) {
    // A narrower terminal may have wrapped the lines drawn last: counting them back up would
    // miss. The screen starts afresh instead.
    std::fputs("\x1b[H\x1b[2J", out_);
    drawn_ = 0;
  } else {
    Erase();
  }
  drawn_columns_ = columns;
  // Every line must stay on the screen to be redrawn in place: more units than rows leave a
  // summary line for the rest.
  const std::size_t fit = static_cast<std::size_t>(std::max(rows - 1, 2));
  std::size_t shown = lines.size() <= fit ? lines.size() : fit - 1;
  for (std::size_t i = 0; i < shown; ++i)
    std::fprintf(out_, "%s\n", FormatUnitStatus(lines[i], columns).c_str());
  drawn_ = shown;
  if (shown < lines.size()) {
    const std::vector<UnitStatus> hidden(lines.begin() + static_cast<long>(shown), lines.end());
    std::fprintf(out_, "%s\n",
                 HiddenUnitsLine(hidden).substr(0, static_cast<std::size_t>(columns - 1)).c_str());
    ++drawn_;
  }
  last_ = lines;
  std::fflush(out_);
}

void UnitDisplay::Passed(const UnitStatus& line, int tenths) {
  if (quiet_ || live_) return;
  std::fprintf(out_, "COM%d %s: %d%%\n", line.port, line.step.c_str(), tenths * 10);
  std::fflush(out_);
}

void UnitDisplay::Note(const std::string& text) {
  if (!live()) {
    std::fprintf(out_, "%s\n", text.c_str());
    return;
  }
  Erase();
  std::fprintf(out_, "%s\n", text.c_str());
  Redraw(last_);
}

void UnitDisplay::Finish() {
  if (live()) Redraw(last_);  // the final state stays on the screen
  drawn_ = 0;
}

void UnitDisplay::StepEnded(int port, const line::StepRecord& record) {
  if (live() || quiet_) return;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", record.seconds);
  Note("COM" + std::to_string(port) + " " + record.step + ": " + record.outcome + " " + seconds);
}

void UnitDisplay::UnitSaid(int port, const std::string& text) {
  Note("COM" + std::to_string(port) + ": " + text);
}

void UnitDisplay::RunEnded(const std::vector<line::UnitRecord>& units) {
  Finish();
  if (!quiet_) std::fprintf(out_, "\n%s", line::SummaryTable(units).c_str());
  std::fputs(line::FailedUnitLines(units).c_str(), out_);
}

}  // namespace korvelt::cli
