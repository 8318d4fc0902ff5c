#include "history/history_time.h"

#include <charconv>
#include <cstdio>

namespace korvelt::history {

namespace {

using namespace std::chrono;

// Reads exactly `width` decimal digits.
bool Digits(std::string_view& text, std::size_t width, int* value) {
  if (text.size() < width) return false;
  for (std::size_t i = 0; i < width; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  std::from_chars(text.data(), text.data() + width, *value);
  text.remove_prefix(width);
  return true;
}

bool Skip(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

}  // namespace

std::string FormatUtcTime(HistoryTime when) {
  const auto day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{when - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()),
                int(time.subseconds().count()));
  return text;
}

std::optional<HistoryTime> ParseUtcTime(std::string_view text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  if (!Digits(text, 4, &y) || !Skip(text, '-') || !Digits(text, 2, &mo) || !Skip(text, '-') ||
      !Digits(text, 2, &d))
    return std::nullopt;
  const year_month_day date{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
  if (!date.ok()) return std::nullopt;
  if (!text.empty()) {
    if (!Skip(text, 'T') && !Skip(text, ' ')) return std::nullopt;
    if (!Digits(text, 2, &h) || !Skip(text, ':') || !Digits(text, 2, &mi)) return std::nullopt;
    if (Skip(text, ':')) {
      if (!Digits(text, 2, &s)) return std::nullopt;
      if (Skip(text, '.')) {
        // Up to nanoseconds; the history keeps milliseconds, so the rest is cut off.
        int digits = 0;
        while (!text.empty() && text.front() >= '0' && text.front() <= '9' && digits < 9) {
          if (digits < 3) ms = ms * 10 + (text.front() - '0');
          text.remove_prefix(1);
          ++digits;
        }
        if (digits == 0) return std::nullopt;
        for (int i = digits; i < 3; ++i) ms *= 10;
      }
    }
    Skip(text, 'Z');
    if (!text.empty() || h > 23 || mi > 59 || s > 59) return std::nullopt;
  }
  return HistoryTime{sys_days{date}} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}

}  // namespace korvelt::history
