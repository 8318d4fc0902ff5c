#pragma once

#include <cstdint>
#include <string>

#include "line/step.h"

namespace korvelt::cli {

using line::Step;

// Whether the board answers the final chunk of an input-board image of `imageBytes`: a final
// chunk that fits one 512-byte piece ends the transfer as soon as it is written.
bool InputBoardLastChunkConfirmed(uint64_t imageBytes);

// The line a successful step ends with: "generator-fpga: 65536 bytes in 6.9 s (9.5 kB/s)",
// "open: done"; an input-board step adds a line when the board did not confirm the last chunk.
// An MCU step that read its flash back adds ", verified"; one whose new firmware answered
// after the start adds ", started".
std::string StepSummary(const Step& step, uint64_t imageBytes, double seconds,
                        bool verified = false, bool started = false);

}  // namespace korvelt::cli
