// Random files through the MCU image reader: it never crashes, and what it accepts is sound:
// sorted, disjoint ranges inside the flash window, 0xFF between them, the buffer ending with
// the last range.
#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "update/mcu_image.h"

using namespace korvelt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  const McuImageParse parsed = ParseMcuImage(bytes, "fuzz");
  if (!parsed.ok) {
    FUZZ_CHECK(!parsed.error.empty());
    return 0;
  }
  const McuImage& image = parsed.image;
  FUZZ_CHECK(!image.ranges.empty());
  FUZZ_CHECK(image.flat.size() == image.ranges.back().end);
  FUZZ_CHECK(image.flat.size() <= kMcuFlashWindowBytes);
  uint32_t previousEnd = 0;
  for (std::size_t i = 0; i < image.ranges.size(); ++i) {
    const McuRange& r = image.ranges[i];
    FUZZ_CHECK(r.begin < r.end);
    FUZZ_CHECK(i == 0 || r.begin > previousEnd);  // merged where they touch
    FUZZ_CHECK(std::all_of(image.flat.begin() + previousEnd, image.flat.begin() + r.begin,
                           [](uint8_t b) { return b == 0xFF; }));
    previousEnd = r.end;
  }
  if (image.format == McuImageFormat::kRawBinary) FUZZ_CHECK(image.flat == bytes);
  return 0;
}
