// Random text into the banner recogniser under random request flags: the loader mode and the
// bootloader start only follow their banners.
#include <string>

#include "fuzz/fuzz_support.h"

using namespace korvelt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzzing::Input in(data, size);
  fuzzing::Harness h;
  UpdaterDialog& d = h.dialog;
  d.m_bIspRequested = in.Flag();
  d.m_bSubMcuRequested = in.Flag();
  d.m_bInputBoardRequested = in.Flag();
  const bool inputBoardAsked = d.m_bInputBoardRequested == 1;
  std::string text;
  while (!in.Done() && d.m_bLoaderMode == 0 && !h.services.TimerRunning(8)) {
    const uint8_t byte = in.Byte();
    // The recogniser sees only what the idle reply parser passes on: 0xAB starts a frame,
    // and the bytes of a frame belong to the parser.
    if (d.m_parserState == -1 && byte != 0xAB) text.push_back(static_cast<char>(byte));
    d.Dispatch(WM_SERIAL_RXCHAR, byte, 1);
    FUZZ_CHECK(d.m_bannerPos >= 0 && d.m_bannerPos < 16);
  }
  if (d.m_bLoaderMode == 1) {
    FUZZ_CHECK(inputBoardAsked);
    FUZZ_CHECK(text.size() >= 7 && text.compare(text.size() - 7, 5, "UBD 0") == 0 &&
               text.back() == '\r');
  }
  if (h.services.TimerRunning(8)) {
    FUZZ_CHECK(text.size() >= 13 && text.compare(text.size() - 13, 13, " ISP MODE...\r") == 0);
  }
  return 0;
}
