// Opening a file without blocking, so that a pipe or a device given by mistake cannot stop
// the check, and reading it only if it is a regular file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "release/input_file.h"

namespace korvelt::release {

InputFile InputFile::Open(const std::filesystem::path& path) {
  InputFile file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    file.status_ = (error == ENOENT || error == ENOTDIR) ? Status::kMissing : Status::kFailed;
    file.reason_ = std::strerror(error);
    return file;
  }
  file.handle_ = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    file.reason_ = std::strerror(errno);
    file.Close();
    return file;
  }
  if (!S_ISREG(info.st_mode)) {
    file.status_ = Status::kNotRegular;
    file.reason_ = S_ISDIR(info.st_mode) ? "is a folder" : "is not a regular file";
    file.Close();
    return file;
  }
  file.status_ = Status::kOpen;
  file.size_ = static_cast<std::uint64_t>(info.st_size);
  return file;
}

std::optional<std::size_t> InputFile::Read(std::span<std::uint8_t> buffer) {
  if (handle_ < 0) return std::nullopt;
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    reason_ = std::strerror(errno);
    return std::nullopt;
  }
}

void InputFile::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace korvelt::release
