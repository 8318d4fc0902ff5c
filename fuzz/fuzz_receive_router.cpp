// Random bytes into the receive router under random modes and request flags, with an FPGA
// upload under way: no store beyond a buffer, no handler for a frame with a bad checksum,
// nothing sent from beyond the image, no success before the final block was accepted.
#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "protocol/frame.h"
#include "update/block_upload.h"

using namespace korvelt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzzing::Input in(data, size);
  fuzzing::Harness h;
  UpdaterDialog& d = h.dialog;
  // An upload of a small image, so that acknowledgements have something to drive.
  const std::size_t imageSize = in.Below(1300);
  const std::vector<uint8_t> image = fuzzing::OffsetImage(imageSize, 31, 7);
  g_bUploadFinished = 0;
  h.services.fileAnswers.push_back(fuzzing::ImageFile(image));
  const std::size_t sentBefore = h.port.writes.size();
  d.OnAuxFpga();
  d.m_groupAddress = in.Flag() ? in.Byte() : 0;
  d.m_machineAddress = in.Flag() ? in.Byte() : 0;
  d.m_bIspRequested = in.Flag();
  d.m_bInputBoardRequested = in.Flag();
  d.m_parserState = in.Flag() ? static_cast<int>(in.Below(700)) - 1 : -1;
  d.m_replyLength = static_cast<int>(in.Below(1200));
  d.m_bSearching = in.Byte() < 16;
  d.m_bStm32Mode = in.Byte() < 16;
  uint64_t dispatched = d.replyCounters().framesDispatched;
  while (!in.Done()) {
    const uint8_t byte = in.Byte();
    const int portNumber = in.Byte() < 8 ? static_cast<int>(in.Below(200)) - 50 : 1;
    d.Dispatch(WM_SERIAL_RXCHAR, byte, portNumber);
    if (d.replyCounters().framesDispatched != dispatched) {
      dispatched = d.replyCounters().framesDispatched;
      const std::size_t frameBytes = static_cast<std::size_t>(d.m_replyLength) + 5;
      FUZZ_CHECK(frameBytes <= d.m_replyBuf.size());
      FUZZ_CHECK(SumsToZero(d.m_replyBuf.data(), frameBytes));
    }
    if (in.Byte() < 4) h.clock.RunFor(in.Below(3000));
  }
  // Every block frame carries image bytes from inside the image, then zeros.
  std::size_t blocks = (imageSize + 255) / 256;
  bool finalSent = false;
  for (std::size_t w = sentBefore; w < h.port.writes.size(); ++w) {
    const auto& frame = h.port.writes[w].bytes;
    if (frame.size() != 270) continue;
    const std::size_t number = frame[10] | (frame[11] << 8);
    FUZZ_CHECK(number < std::max<std::size_t>(blocks, 1));
    for (std::size_t i = 0; i < 256; ++i) {
      const std::size_t at = number * 256 + i;
      FUZZ_CHECK(frame[13 + i] == (at < imageSize ? image[at] : 0));
    }
    if (frame[12] == 0x40) finalSent = true;
  }
  const auto& events = h.services.events;
  if (std::find(events.begin(), events.end(), OperationEvent::kUploadFinished) != events.end())
    FUZZ_CHECK(finalSent);
  return 0;
}
