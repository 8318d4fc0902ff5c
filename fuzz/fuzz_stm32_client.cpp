// The STM32 bootloader client against random replies and time-outs: every data block holds
// image bytes from its own address (then 0xFF), and the success note needs every block taken.
#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "update/stm32_boot_client.h"

using namespace korvelt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzzing::Input in(data, size);
  fuzzing::Harness h;
  UpdaterDialog& d = h.dialog;
  const std::size_t imageSize = 1 + in.Below(1100);
  const std::vector<uint8_t> image = fuzzing::OffsetImage(imageSize, 13, 1);
  d.m_pImage = image;
  d.m_imageSize = static_cast<uint32_t>(imageSize);
  d.m_bStm32Mode = 1;
  d.m_stm32State = 0;
  g_nStm32SubStep = 0;
  int acks = 0;
  while (!in.Done() && d.m_bStm32Mode == 1) {
    const uint8_t choice = in.Byte();
    if (choice < 160) {
      d.Dispatch(WM_SERIAL_RXCHAR, kStm32Ack, 1);
      ++acks;
    } else if (choice < 200) {
      d.Dispatch(WM_SERIAL_RXCHAR, kStm32Nack, 1);
    } else if (choice < 230) {
      d.Dispatch(WM_SERIAL_RXCHAR, in.Byte(), 1);
    } else {
      h.clock.RunFor(in.Below(4000));
    }
  }
  h.clock.RunFor(5000);
  // Data blocks follow their write address; compare each with the image there.
  uint32_t address = 0;
  int blocks = 0;
  for (const auto& write : h.port.writes) {
    const auto& b = write.bytes;
    if (b.size() == 5 && b[0] == 0x08) {
      address = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    } else if (b.size() == 130) {
      ++blocks;
      FUZZ_CHECK(address >= kMcuFlashBase);
      const std::size_t offset = address - kMcuFlashBase;
      FUZZ_CHECK(offset < imageSize && offset % 128 == 0);
      for (std::size_t i = 0; i < 128; ++i) {
        FUZZ_CHECK(b[1 + i] == (offset + i < imageSize ? image[offset + i] : 0xFF));
      }
      uint8_t x = 0;
      for (std::size_t i = 0; i < 129; ++i) x ^= b[i];
      FUZZ_CHECK(b[129] == x);
    }
  }
  const auto& events = h.services.events;
  if (std::find(events.begin(), events.end(), OperationEvent::kMcuUpdateSucceeded) !=
      events.end()) {
    FUZZ_CHECK(d.mcuUpdate().failedBlocks() == 0);
    FUZZ_CHECK(blocks >= static_cast<int>((imageSize + 127) / 128));
    FUZZ_CHECK(acks >= blocks);
  }
  return 0;
}
