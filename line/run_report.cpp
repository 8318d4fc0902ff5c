#include "line/run_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "history/history_time.h"
#include "line/exit_codes.h"
#include "line/unit_scan.h"

namespace korvelt::line {

namespace {

using Json = nlohmann::ordered_json;

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

int Severity(int exitCode) {
  switch (exitCode) {
    case kExitOk:
      return 0;
    case kExitFailed:
      return 1;
    case kExitUsage:
      return 2;
    case kExitStalled:
      return 3;
    default:
      return 4;  // interrupted, or a child that died
  }
}

// A failure's text on one line: its line breaks become "; ".
std::string OneLine(const std::string& text) {
  std::string line;
  bool broken = false;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      broken = true;
      continue;
    }
    if (broken && !line.empty())
      line += std::string(".:;!?").find(line.back()) == std::string::npos ? "; " : " ";
    broken = false;
    line += c;
  }
  return line;
}

}  // namespace

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  return history::FormatUtcTime(std::chrono::floor<std::chrono::milliseconds>(when));
}

namespace {

std::optional<std::chrono::system_clock::time_point> ParseUtcTimestamp(const nlohmann::json& json) {
  if (!json.is_string()) return std::nullopt;
  const auto when = history::ParseUtcTime(json.get<std::string>());
  if (!when) return std::nullopt;
  return std::chrono::system_clock::time_point(*when);
}

}  // namespace

Json StepRecordJson(const StepRecord& record) {
  Json json{{"step", record.step},
            {"outcome", record.outcome},
            {"seconds", std::round(record.seconds * 1000) / 1000}};
  if (record.bytes) {
    json["bytes"] = *record.bytes;
    json["sha256"] = record.sha256;
  }
  if (!record.file.empty()) {
    json["file"] = record.file;
    json["fileSha256"] = record.fileSha256;
  }
  if (record.bytesSent) json["bytesSent"] = *record.bytesSent;
  if (record.verified) json["verified"] = *record.verified;
  if (record.started) json["started"] = *record.started;
  if (!record.mcuUid.empty()) json["mcuUid"] = record.mcuUid;
  if (record.startedAt) json["startedAt"] = UtcTimestamp(*record.startedAt);
  if (record.endedAt) json["endedAt"] = UtcTimestamp(*record.endedAt);
  if (!record.release.empty()) {
    json["release"] = {{"name", record.release}, {"manifestSha256", record.releaseSha256}};
    json["key"] = record.key;
  }
  if (!record.message.empty()) json["message"] = record.message;
  return json;
}

StepRecord StepRecordFromJson(const nlohmann::json& json) {
  StepRecord record;
  record.step = json.value("step", "");
  record.outcome = json.value("outcome", "failed");
  record.seconds = json.value("seconds", 0.0);
  if (json.contains("bytes")) record.bytes = json["bytes"].get<uint64_t>();
  record.sha256 = json.value("sha256", "");
  if (json.contains("verified")) record.verified = json["verified"].get<bool>();
  if (json.contains("started")) record.started = json["started"].get<bool>();
  record.mcuUid = json.value("mcuUid", "");
  record.message = json.value("message", "");
  record.file = json.value("file", "");
  record.fileSha256 = json.value("fileSha256", "");
  if (json.contains("bytesSent")) record.bytesSent = json["bytesSent"].get<uint64_t>();
  if (json.contains("startedAt")) record.startedAt = ParseUtcTimestamp(json["startedAt"]);
  if (json.contains("endedAt")) record.endedAt = ParseUtcTimestamp(json["endedAt"]);
  if (json.contains("release")) {
    record.release = json["release"].value("name", "");
    record.releaseSha256 = json["release"].value("manifestSha256", "");
    record.key = json.value("key", "");
  }
  return record;
}

Json ReportJson(const RunReport& report) {
  Json units = Json::array();
  for (const UnitRecord& unit : report.units) {
    Json steps = Json::array();
    for (const StepRecord& step : unit.steps) steps.push_back(StepRecordJson(step));
    units.push_back({{"port", "COM" + std::to_string(unit.port)},
                     {"deviceType", unit.deviceType ? Json(*unit.deviceType) : Json()},
                     {"kind", unit.deviceType ? Json(KindName(*unit.deviceType)) : Json()},
                     {"group", unit.group ? Json(*unit.group) : Json()},
                     {"machine", unit.machine ? Json(*unit.machine) : Json()},
                     {"outcome", unit.outcome},
                     {"message", unit.message},
                     {"steps", steps}});
    if (!unit.McuUid().empty()) units.back()["mcuUid"] = unit.McuUid();
    if (unit.adapterSerial) units.back()["adapterSerial"] = *unit.adapterSerial;
  }
  return Json{{"schemaVersion", kReportSchemaVersion},
              {"tool", report.tool},
              {"station", report.station},
              {"operator", report.operatorName},
              {"startedAt", UtcTimestamp(report.startedAt)},
              {"endedAt", UtcTimestamp(report.endedAt)},
              {"units", units}};
}

std::string UnitRecord::McuUid() const {
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    if (!it->mcuUid.empty()) return it->mcuUid;
  }
  return {};
}

std::string OutcomeForExit(int exitCode) {
  if (exitCode == kExitOk) return "ok";
  if (exitCode == kExitStalled) return "stalled";
  return "failed";
}

void AddStepsNotStarted(UnitRecord& unit, const std::vector<std::string>& stepWords) {
  for (std::size_t i = unit.steps.size(); i < stepWords.size(); ++i) {
    StepRecord record;
    record.step = stepWords[i];
    record.outcome = "not-started";
    unit.steps.push_back(record);
  }
}

std::string ReportText(const RunReport& report) {
  return ReportJson(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int CombinedExit(const std::vector<UnitRecord>& units) {
  int worst = kExitOk;
  for (const UnitRecord& unit : units) {
    if (Severity(unit.exitCode) > Severity(worst)) worst = unit.exitCode;
  }
  return worst;
}

std::string FailedUnitLines(const std::vector<UnitRecord>& units) {
  std::string text;
  for (const UnitRecord& unit : units) {
    if (unit.outcome == "ok") continue;
    text += "COM" + std::to_string(unit.port) + ": " + unit.outcome + ": " +
            (unit.message.empty() ? "no reason given" : OneLine(unit.message)) + "\n";
  }
  return text;
}

std::string SummaryTable(const std::vector<UnitRecord>& units) {
  // Columns: unit, kind, then one per step position; each cell "ok 3.1 s".
  std::vector<std::vector<std::string>> rows = {{"unit", "kind"}};
  for (const UnitRecord& unit : units) {
    for (std::size_t i = rows[0].size() - 2; i < unit.steps.size(); ++i)
      rows[0].push_back(unit.steps[i].step);
  }
  for (const UnitRecord& unit : units) {
    std::vector<std::string> row = {"COM" + std::to_string(unit.port),
                                    unit.deviceType ? KindName(*unit.deviceType) : "-"};
    for (const StepRecord& step : unit.steps) {
      if (step.outcome == "not-started") {
        row.push_back("-");
        continue;
      }
      row.push_back(step.outcome + " " + Seconds(step.seconds) +
                    (step.verified ? (*step.verified ? " verified" : " NOT verified") : ""));
    }
    const bool anyRan = std::any_of(unit.steps.begin(), unit.steps.end(),
                                    [](const StepRecord& s) { return s.outcome != "not-started"; });
    if (!anyRan && unit.outcome != "ok") {
      row.resize(2);
      row.push_back(unit.outcome);
    }
    rows.push_back(row);
  }
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    text += line + "\n";
  }
  return text;
}

}  // namespace korvelt::line
