// Random files through both ways of loading an image: the buffer always holds the file exactly,
// or the old image when the file was refused (empty) or could not be opened.
#include "fuzz/fuzz_support.h"

using namespace korvelt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzzing::Harness h;
  UpdaterDialog& d = h.dialog;
  const std::vector<uint8_t> before = d.m_pImage;
  const uint32_t sizeBefore = d.m_imageSize;  // 0 at the start: the buffer holds a placeholder
  const std::vector<uint8_t> bytes(data, data + size);
  const std::vector<uint8_t>& held = size > 0 ? bytes : before;
  const std::string path = fuzzing::ImageFile(bytes);
  h.services.fileAnswers.push_back(path);
  const ImageLoadResult result = d.ChooseAndLoadImage();
  FUZZ_CHECK(result == (size > 0 ? ImageLoadResult::Loaded : ImageLoadResult::Empty));
  FUZZ_CHECK(d.m_imageSize == (size > 0 ? size : sizeBefore));
  FUZZ_CHECK(d.m_pImage == held);
  FUZZ_CHECK(d.LoadImageFile(path) == (size > 0 ? 1 : 0));
  FUZZ_CHECK(d.m_pImage == held);
  return 0;
}
