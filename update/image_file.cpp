#include "update/image_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
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

ImageFileRead ReadImageFile(const std::string& path) {
  ImageFileRead result;
  std::error_code ec;
  // A folder opens as a stream on some systems but never reads as an image.
  if (std::filesystem::is_directory(path, ec)) {
    result.reason = "is a folder";
    return result;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    result.reason = std::strerror(errno);
    return result;
  }
  file.seekg(0, std::ios::end);
  const std::streamoff length = file.tellg();
  if (length < 0) {
    result.outcome = ImageFileRead::Outcome::kReadFailed;
    result.reason = std::strerror(errno);
    return result;
  }
  if (static_cast<uint64_t>(length) > std::numeric_limits<uint32_t>::max()) {
    result.outcome = ImageFileRead::Outcome::kTooLarge;
    return result;
  }
  try {
    result.bytes.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    result.outcome = ImageFileRead::Outcome::kNoMemory;
    return result;
  }
  file.seekg(0, std::ios::beg);
  if (length > 0 && !file.read(reinterpret_cast<char*>(result.bytes.data()), length)) {
    result.outcome = ImageFileRead::Outcome::kReadFailed;
    result.reason = std::strerror(errno);
    result.bytes.clear();
    return result;
  }
  result.outcome = ImageFileRead::Outcome::kRead;
  return result;
}

}  // namespace korvelt
