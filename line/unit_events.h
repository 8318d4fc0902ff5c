#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "line/step_record.h"

namespace korvelt::line {

// What a unit child tells its supervisor, one JSON line on its standard output each.
struct UnitEvent {
  enum class Kind { kIdentified, kStepStarted, kProgress, kStepEnded, kEnded };
  explicit UnitEvent(Kind what = Kind::kEnded) : kind(what) {}
  Kind kind;
  std::optional<int> deviceType;  // kIdentified: nothing when no unit answered
  bool mcuBootloader = false;     // kIdentified: an MCU bootloader answered, not the firmware
  int group = 0;
  int machine = 0;
  std::size_t index = 0;  // kStepStarted
  std::string step;       // kStepStarted
  double percent = 0;     // kProgress
  uint64_t bytes = 0;     // kProgress: the image's size
  StepRecord record;      // kStepEnded
  int exitCode = 0;       // kEnded
  std::string message;    // kEnded: why the unit failed
};

std::string EncodeUnitEvent(const UnitEvent& event);  // one line, with its newline
// Nothing for a line that is not an event (the supervisor ignores it).
std::optional<UnitEvent> DecodeUnitEvent(const std::string& line);

}  // namespace korvelt::line
