#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "history/history_record.h"

namespace korvelt::history {

// "2026-12-08T09:26:53.589Z": fixed width, so the text sorts as the times do.
std::string FormatUtcTime(HistoryTime when);

// A UTC date or date-time as a query's "since" takes it: "2026-12-08", "2026-12-08T09:26",
// "2026-12-08 09:26:53", "2026-12-08T09:26:53.589Z" (a space or T between the date and the time,
// seconds and their fraction optional, Z optional). Nothing for anything else, an impossible
// date (2026-02-30) included.
std::optional<HistoryTime> ParseUtcTime(std::string_view text);

}  // namespace korvelt::history
