#include "frontends/cli/unit_display.h"

#include <algorithm>

namespace korvelt::cli {

std::string FormatUnitStatus(const UnitStatus& line) {
  char head[96];
  std::snprintf(head, sizeof head, "COM%-3d %-10s %-28s", line.port, line.kind.c_str(),
                line.step.c_str());
  std::string text = head;
  if (line.showsBar) {
    constexpr int kWidth = 20;
    const int filled = std::clamp(static_cast<int>(line.percent / 100.0 * kWidth), 0, kWidth);
    char tail[80];
    std::snprintf(tail, sizeof tail, " [%s%s] %5.1f%%  %5.1f kB/s",
                  std::string(filled, '#').c_str(), std::string(kWidth - filled, ' ').c_str(),
                  line.percent, line.kilobytesPerSecond);
    text += tail;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void UnitDisplay::Erase() {
  // Back to the first live line, and clear everything below it.
  if (drawn_ > 0) std::fprintf(out_, "\x1b[%zuA", drawn_);
  std::fputs("\r\x1b[J", out_);
  drawn_ = 0;
}

void UnitDisplay::Redraw(const std::vector<UnitStatus>& lines) {
  if (!live()) return;
  Erase();
  for (const UnitStatus& line : lines) std::fprintf(out_, "%s\n", FormatUnitStatus(line).c_str());
  drawn_ = lines.size();
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
