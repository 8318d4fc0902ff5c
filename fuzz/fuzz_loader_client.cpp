// The input-board loader client against random board bytes and write completions: every chunk
// frame carries image bytes from its own address with a correct CRC.
#include "fuzz/fuzz_support.h"
#include "update/crc16.h"
#include "update/loader_client.h"

using namespace korvelt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzzing::Input in(data, size);
  fuzzing::Harness h;
  UpdaterDialog& d = h.dialog;
  const std::size_t imageSize = in.Below(9000);
  const std::vector<uint8_t> image = fuzzing::OffsetImage(imageSize, 7, 3);
  d.m_pImage = image;
  d.m_imageSize = static_cast<uint32_t>(imageSize);
  d.m_bLoaderMode = 1;
  d.m_loaderState = 0;
  g_bLoaderPiecePending = 0;
  static constexpr uint8_t kBoardBytes[] = {0xF1, 0x2E, 0xEF, 0xDF};
  while (!in.Done() && d.m_bLoaderMode == 1) {
    const uint8_t choice = in.Byte();
    if (choice < 200) {
      d.Dispatch(WM_SERIAL_RXCHAR, kBoardBytes[choice % 4], 1);
    } else if (choice < 230) {
      d.Dispatch(WM_SERIAL_RXCHAR, in.Byte(), 1);
    } else {
      h.clock.RunFor(in.Below(50));  // write-completed notifications arrive
    }
  }
  h.clock.RunFor(100);
  // Reassemble chunk frames from the pieces after each 03 10 ED.
  std::vector<uint8_t> frame;
  bool collecting = false;
  auto check = [&] {
    if (frame.size() < 12) return;
    const uint32_t address =
        uint32_t(frame[0]) << 24 | uint32_t(frame[1]) << 16 | uint32_t(frame[2]) << 8 | frame[3];
    const uint32_t n =
        uint32_t(frame[4]) << 24 | uint32_t(frame[5]) << 16 | uint32_t(frame[6]) << 8 | frame[7];
    FUZZ_CHECK(n >= 1 && n <= 4096 && frame.size() == n + 12);
    FUZZ_CHECK(address >= kBoardImageAddress);
    const std::size_t offset = address - kBoardImageAddress;
    FUZZ_CHECK(offset + n <= imageSize);
    for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(frame[8 + i] == image[offset + i]);
    FUZZ_CHECK(frame[n + 10] == (ComputeCrc16(frame.data() + 8, n) >> 8));
  };
  for (const auto& write : h.port.writes) {
    if (write.bytes == std::vector<uint8_t>{0x03, 0x10, 0xED}) {
      check();
      frame.clear();
      collecting = true;
    } else if (collecting && write.bytes.size() <= 512) {
      frame.insert(frame.end(), write.bytes.begin(), write.bytes.end());
    }
  }
  return 0;
}
