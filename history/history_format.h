#pragma once

#include <string>
#include <vector>

#include "history/history_record.h"

namespace korvelt::history {

// The names of a record's fields, in order: the JSON objects' keys and the CSV header.
inline constexpr const char* kHistoryFields[] = {
    "startedAt",  "endedAt",  "station",       "operator",   "port",      "adapterSerial",
    "deviceType", "kind",     "mcuUid",        "step",       "imageFile", "bytes",
    "sha256",     "release",  "releaseSha256", "key",        "outcome",   "message",
    "seconds",    "verified", "started",       "toolVersion"};

// A JSON array, one object a line, newest last. Fields without a value are null; text that is
// not valid UTF-8 is shown with U+FFFD in its place.
std::string HistoryJson(const std::vector<HistoryRecord>& records);

// RFC 4180: a header line with the field names, then one line per record, lines ending in
// CRLF; a field holding a comma, a quote or a line break is quoted, its quotes doubled. Fields
// without a value are empty; verified and started are true or false.
std::string HistoryCsv(const std::vector<HistoryRecord>& records);

// For people at a terminal: one line a record, "2026-12-08T09:26:53.589Z  COM3  generator
// 3132333435363738393a3b03  generator-mcu  ok  6.5 s", then the release and message if any.
std::string HistoryText(const std::vector<HistoryRecord>& records);

}  // namespace korvelt::history
