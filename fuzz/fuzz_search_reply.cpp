// Random bytes into a running device search: a unit counts as found only when its eleven
// reply bytes arrived in a row.
#include <algorithm>

#include "fuzz/fuzz_support.h"

using namespace korvelt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzzing::Input in(data, size);
  fuzzing::Harness h;
  UpdaterDialog& d = h.dialog;
  const uint8_t type = in.Byte() % 8;
  h.port.presentPorts = {1, 2, 3};
  d.StartSearch(type, in.Flag());
  std::vector<uint8_t> fed;
  while (!in.Done() && d.m_bSearching == 1) {
    const uint8_t byte = in.Byte();
    if (d.m_bDeviceFound == 0) fed.push_back(byte);
    d.Dispatch(WM_SERIAL_RXCHAR, byte, 1);
    FUZZ_CHECK(d.m_parserState >= -1 && d.m_parserState <= 9);
    if (in.Byte() < 8) h.clock.RunFor(in.Below(500));
  }
  if (d.m_bDeviceFound == 1) {
    const std::vector<uint8_t> head = {0xAB, type, 0x00, 0x07, 0x00};
    bool seen = false;
    for (std::size_t i = 0; i + 11 <= fed.size() && !seen; ++i) {
      seen = std::equal(head.begin(), head.end(), fed.begin() + static_cast<long>(i)) &&
             fed[i + 7] == 0x02 && fed[i + 8] == 0xF8 && fed[i + 9] == type && fed[i + 10] == 0;
    }
    FUZZ_CHECK(seen);
  }
  return 0;
}
