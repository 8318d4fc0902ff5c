#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "line/step.h"

namespace korvelt::line {

// Every step and every run ends by a time limit, whatever the line does (a unit that keeps
// talking without taking a block would otherwise hold a run for ever). The defaults are
// generous: 60 s, plus 20 times the image's time on the wire at 115200 baud (10 bits a byte),
// which covers the dialog's written MCU pacing (about 9 times the wire time) with its
// read-back; a run may take every step's limit, plus 60 s for finding its unit.
inline constexpr double kStepBaseSeconds = 60;
inline constexpr double kWireFactor = 20;
inline constexpr double kLineBitsPerSecond = 115200.0 / 10;  // bytes a second
inline constexpr double kRunBaseSeconds = 60;

// The step's default limit for an image of `imageBytes` (0: a step that sends no image).
double DefaultStepLimitSeconds(uint64_t imageBytes);
// The size of the file the step will send, from the working folder: its own file, or the
// fixed image the window reads; 0 when the step sends none or the file is missing.
uint64_t StepImageBytes(const Step& step);
// The limit of a run of these steps: each step's (`stepLimit` when given, else its default).
double RunLimitSeconds(const std::vector<Step>& steps, double stepLimit = 0);
// "--timeout" in --help: what the default comes to for a few sizes.
std::string DefaultLimitsHelp();

}  // namespace korvelt::line
