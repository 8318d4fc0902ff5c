#include "update/image_file.h"

#include <algorithm>
#include <limits>
#include <new>

namespace korvelt {

std::string PortablePath(const std::string& windowsPath) {
  std::string path = windowsPath;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

bool SizeImageBuffer(uint64_t size, uint64_t maxBytes, ImageFileRead& result) {
  result.size = size;
  if (size > std::min<uint64_t>(maxBytes, std::numeric_limits<uint32_t>::max())) {
    result.outcome = ImageFileRead::Outcome::kTooLarge;
    return false;
  }
  try {
    result.bytes.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    result.outcome = ImageFileRead::Outcome::kNoMemory;
    return false;
  }
  return true;
}

}  // namespace korvelt
