#include "release/input_file.h"

#include <utility>

namespace korvelt::release {

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      status_(other.status_),
      reason_(std::move(other.reason_)),
      size_(other.size_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    status_ = other.status_;
    reason_ = std::move(other.reason_);
    size_ = other.size_;
  }
  return *this;
}

InputFile::~InputFile() {
  Close();
}

SmallFile ReadSmallFile(const std::filesystem::path& path, std::size_t limit) {
  SmallFile result;
  InputFile file = InputFile::Open(path);
  switch (file.status()) {
    case InputFile::Status::kOpen:
      break;
    case InputFile::Status::kMissing:
      result.status = SmallFile::Status::kMissing;
      result.reason = file.reason();
      return result;
    case InputFile::Status::kNotRegular:
      result.status = SmallFile::Status::kNotRegular;
      result.reason = file.reason();
      return result;
    case InputFile::Status::kFailed:
      result.reason = file.reason();
      return result;
  }
  if (file.size() > limit) {
    result.status = SmallFile::Status::kTooLarge;
    result.reason = "is larger than " + std::to_string(limit) + " bytes";
    return result;
  }
  // One byte more than the limit shows a file that grew after it was opened.
  result.bytes.resize(limit + 1);
  std::size_t done = 0;
  while (done < result.bytes.size()) {
    const auto n = file.Read(std::span(reinterpret_cast<std::uint8_t*>(result.bytes.data()) + done,
                                       result.bytes.size() - done));
    if (!n) {
      result.bytes.clear();
      result.reason = file.reason();
      return result;
    }
    if (*n == 0) break;
    done += *n;
  }
  if (done > limit) {
    result.bytes.clear();
    result.status = SmallFile::Status::kTooLarge;
    result.reason = "is larger than " + std::to_string(limit) + " bytes";
    return result;
  }
  result.bytes.resize(done);
  result.status = SmallFile::Status::kRead;
  return result;
}

std::string PathText(const std::filesystem::path& path) {
  try {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  } catch (...) {
    return "(a path that is not valid Unicode)";
  }
}

std::optional<std::filesystem::path> PathFromUtf8(std::string_view name) {
  try {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace korvelt::release
