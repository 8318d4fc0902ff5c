#include "line/unit_events.h"

#include <nlohmann/json.hpp>

#include "line/run_report.h"

namespace korvelt::line {

namespace {

using Json = nlohmann::ordered_json;
constexpr const char* kNames[] = {"identified", "stepStarted", "progress", "stepEnded", "ended"};

}  // namespace

std::string EncodeUnitEvent(const UnitEvent& event) {
  using K = UnitEvent::Kind;
  Json json{{"event", kNames[static_cast<int>(event.kind)]}};
  switch (event.kind) {
    case K::kIdentified:
      json["deviceType"] = event.deviceType ? Json(*event.deviceType) : Json();
      json["group"] = event.group;
      json["machine"] = event.machine;
      if (event.mcuBootloader) json["mcuBootloader"] = true;
      break;
    case K::kStepStarted:
      json["index"] = event.index;
      json["step"] = event.step;
      break;
    case K::kProgress:
      json["percent"] = event.percent;
      json["bytes"] = event.bytes;
      break;
    case K::kStepEnded:
      json["record"] = StepRecordJson(event.record);
      break;
    case K::kEnded:
      json["exit"] = event.exitCode;
      json["message"] = event.message;
      break;
  }
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<UnitEvent> DecodeUnitEvent(const std::string& line) {
  const auto json = nlohmann::json::parse(line, nullptr, false);
  if (!json.is_object() || !json.contains("event") || !json["event"].is_string()) return {};
  try {
    const std::string name = json["event"];
    UnitEvent event;
    int kind = 0;
    while (kind < 5 && name != kNames[kind]) ++kind;
    if (kind == 5) return {};
    event.kind = static_cast<UnitEvent::Kind>(kind);
    using K = UnitEvent::Kind;
    switch (event.kind) {
      case K::kIdentified:
        if (json["deviceType"].is_number_integer())
          event.deviceType = json["deviceType"].get<int>();
        event.group = json.value("group", 0);
        event.machine = json.value("machine", 0);
        event.mcuBootloader = json.value("mcuBootloader", false);
        break;
      case K::kStepStarted:
        event.index = json.value("index", std::size_t{0});
        event.step = json.value("step", "");
        break;
      case K::kProgress:
        event.percent = json.value("percent", 0.0);
        event.bytes = json.value("bytes", uint64_t{0});
        break;
      case K::kStepEnded:
        event.record = StepRecordFromJson(json.at("record"));
        break;
      case K::kEnded:
        event.exitCode = json.value("exit", 1);
        event.message = json.value("message", "");
        break;
    }
    return event;
  } catch (const nlohmann::json::exception&) {
    return {};  // a damaged line is no event
  }
}

}  // namespace korvelt::line
