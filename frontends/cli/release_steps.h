#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line/step.h"
#include "line/step_record.h"
#include "release/release_folder.h"

namespace korvelt::cli {

// The release's image a step sends: the unit's entry for a fixed step (generator-fpga,
// analyzer-mcu, ...), the listed file a step names with =FILE; nullptr for any other.
const release::VerifiedImage* ReleaseImageForStep(const release::VerifiedRelease& release,
                                                  const line::Step& step);

// Checked before any unit is touched: why the steps cannot run with this release (or, when
// `required`, without one); nothing when they can. Every image step of a station that requires
// a release must send an image of it; a fixed step needs its entry in the release given.
std::optional<std::string> RefuseStepsForRelease(const release::VerifiedRelease* release,
                                                 bool required,
                                                 const std::vector<line::Step>& steps);

// The release, its manifest and the key, into a step's record.
void RecordRelease(const release::VerifiedRelease& release, line::StepRecord& record);

}  // namespace korvelt::cli
