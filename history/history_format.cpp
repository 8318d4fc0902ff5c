#include "history/history_format.h"

#include <cmath>
#include <cstdio>
#include <iterator>
#include <nlohmann/json.hpp>

#include "history/history_time.h"

namespace korvelt::history {

namespace {

using Json = nlohmann::ordered_json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json();
}

// The one description of a record's fields; the CSV line is read off it.
Json RecordJson(const HistoryRecord& r) {
  Json json = {
      {"startedAt", FormatUtcTime(r.startedAt)},
      {"endedAt", FormatUtcTime(r.endedAt)},
      {"station", r.station},
      {"operator", r.operatorName},
      {"port", r.port},
      {"adapterSerial", OrNull(r.adapterSerial)},
      {"deviceType", OrNull(r.deviceType)},
      {"kind", OrNull(r.kind)},
      {"mcuUid", OrNull(r.mcuUid)},
      {"step", r.step},
      {"imageFile", OrNull(r.imageFile)},
      {"bytes", OrNull(r.bytes)},
      {"sha256", OrNull(r.sha256)},
      {"release", OrNull(r.release)},
      {"releaseSha256", OrNull(r.releaseSha256)},
      {"key", OrNull(r.key)},
      {"outcome", r.outcome},
      {"message", r.message},
      {"seconds", std::round(r.seconds * 1000) / 1000},
      {"verified", OrNull(r.verified)},
      {"started", OrNull(r.started)},
      {"toolVersion", r.toolVersion},
  };
  return json;
}

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string CsvField(const Json& value) {
  if (value.is_null()) return "";
  const std::string text = value.is_string() ? value.get<std::string>() : Dump(value);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string HistoryJson(const std::vector<HistoryRecord>& records) {
  if (records.empty()) return "[]\n";
  std::string text = "[\n";
  for (std::size_t i = 0; i < records.size(); ++i) {
    text += Dump(RecordJson(records[i]));
    text += i + 1 < records.size() ? ",\n" : "\n";
  }
  return text + "]\n";
}

std::string HistoryCsv(const std::vector<HistoryRecord>& records) {
  std::string text;
  for (const char* field : kHistoryFields) {
    if (!text.empty()) text += ',';
    text += field;
  }
  text += "\r\n";
  for (const HistoryRecord& record : records) {
    const Json json = RecordJson(record);
    std::string line;
    const char* separator = "";
    for (const char* field : kHistoryFields) {
      line += separator;
      line += CsvField(json.at(field));
      separator = ",";
    }
    text += line + "\r\n";
  }
  return text;
}

}  // namespace korvelt::history

namespace korvelt::history {

std::string HistoryText(const std::vector<HistoryRecord>& records) {
  std::string text;
  for (const HistoryRecord& r : records) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", r.seconds);
    text += FormatUtcTime(r.startedAt) + "  " + r.port + "  " + r.kind.value_or("?") + "  " +
            r.mcuUid.value_or("-") + "  " + r.step + "  " + r.outcome + "  " + seconds;
    if (r.release) text += "  release " + *r.release;
    // A message may hold line breaks: one record, one line.
    std::string message = r.message;
    for (char& c : message) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    if (!message.empty()) text += "  " + message;
    text += "\n";
  }
  return text;
}

}  // namespace korvelt::history
