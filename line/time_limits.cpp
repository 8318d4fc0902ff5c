#include "line/time_limits.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace korvelt::line {

double DefaultStepLimitSeconds(uint64_t imageBytes) {
  return kStepBaseSeconds + kWireFactor * static_cast<double>(imageBytes) / kLineBitsPerSecond;
}

uint64_t StepImageBytes(const Step& step) {
  const std::string path = StepImagePath(step);
  if (path.empty()) return 0;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

double RunLimitSeconds(const std::vector<Step>& steps, double stepLimit) {
  double total = kRunBaseSeconds;
  for (const Step& step : steps) {
    total += stepLimit > 0 ? stepLimit : DefaultStepLimitSeconds(StepImageBytes(step));
  }
  return total;
}

std::string DefaultLimitsHelp() {
  char text[160];
  std::snprintf(text, sizeof text,
                "default: %.0f s + %.0f x the image's time on the wire at 115200 baud "
                "(64 KiB: %.0f s, 1 MiB: %.0f s)",
                kStepBaseSeconds, kWireFactor, std::ceil(DefaultStepLimitSeconds(65536)),
                std::ceil(DefaultStepLimitSeconds(1 << 20)));
  return text;
}

}  // namespace korvelt::line
