#include "update/mcu_stub_image.h"

namespace korvelt {

// Generated from stub/mcu_stub.bin at build time.
extern const uint8_t g_mcuStub[KORVELT_MCU_STUB_BYTES];

std::span<const uint8_t> McuStubImage() {
  return {g_mcuStub, KORVELT_MCU_STUB_BYTES};
}

std::vector<uint8_t> McuStubImageFor(uint32_t lineBaud) {
  std::vector<uint8_t> image(g_mcuStub, g_mcuStub + KORVELT_MCU_STUB_BYTES);
  auto word = [&](std::size_t at) {
    return uint32_t(image[at]) | uint32_t(image[at + 1]) << 8 | uint32_t(image[at + 2]) << 16 |
           uint32_t(image[at + 3]) << 24;
  };
  if (image.size() < kMcuStubParamsOffset + 8 ||
      word(kMcuStubParamsOffset) != kMcuStubParamsMagic) {
    return {};
  }
  for (int i = 0; i < 4; ++i) {
    image[kMcuStubParamsOffset + 4 + i] = static_cast<uint8_t>(lineBaud >> (8 * i));
  }
  return image;
}

}  // namespace korvelt
