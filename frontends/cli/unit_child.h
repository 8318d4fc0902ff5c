#pragma once

#include <cstdint>
#include <vector>

#include "frontends/cli/cli_runner.h"

namespace korvelt::cli {

// A unit child of a production-line run (`korvelt-cli --unit-child --port N STEP...`):
// identifies the unit on `options.port` with the probe, runs the steps, and tells the
// supervisor on standard output in the line's event lines. Ends when its standard input ends.
int RunUnitChild(RunOptions options, const std::vector<Step>& steps,
                 const std::vector<uint8_t>& deviceTypes);

}  // namespace korvelt::cli
