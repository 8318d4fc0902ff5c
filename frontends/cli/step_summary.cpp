#include "frontends/cli/step_summary.h"

#include <cstdio>

#include "update/loader_client.h"

namespace korvelt::cli {

namespace {

std::string Format(const char* format, double a, double b) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

}  // namespace

bool InputBoardLastChunkConfirmed(uint64_t imageBytes) {
  if (imageBytes == 0) return true;  // no chunk at all
  const uint64_t last = (imageBytes - 1) % kLoaderChunkBytes + 1;
  return last + kLoaderChunkOverhead > static_cast<uint64_t>(kLoaderPieceBytes);
}

std::string StepSummary(const Step& step, uint64_t imageBytes, double seconds, bool verified,
                        bool started) {
  if (!StepMovesImage(step.kind)) return step.text + ": done\n";
  const double rate = seconds > 0 ? static_cast<double>(imageBytes) / seconds / 1000.0 : 0.0;
  std::string line = step.text + ": " + std::to_string(imageBytes) + " bytes in " +
                     Format("%.1f s (%.1f kB/s)", seconds, rate) + (verified ? ", verified" : "") +
                     (started ? ", started" : "") + "\n";
  if (step.kind == Step::Kind::kInputBoard && !InputBoardLastChunkConfirmed(imageBytes)) {
    const uint64_t last = (imageBytes - 1) % kLoaderChunkBytes + 1;
    line += step.text + ": the board does not confirm the last chunk (" + std::to_string(last) +
            " bytes): the transfer ends when it is written\n";
  }
  return line;
}

}  // namespace korvelt::cli
