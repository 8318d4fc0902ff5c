// Reading an image on POSIX systems: opened without blocking, so that a pipe or a device
// chosen by mistake cannot stop the window's thread, and read only if it is a regular file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "update/image_file.h"

namespace korvelt {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

ImageFileRead Failed(ImageFileRead::Outcome outcome, int error) {
  ImageFileRead result;
  result.outcome = outcome;
  result.reason = std::strerror(error);
  return result;
}

}  // namespace

ImageFileRead ReadImageFile(const std::string& path, uint64_t maxBytes) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) return Failed(ImageFileRead::Outcome::kCannotOpen, errno);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return Failed(ImageFileRead::Outcome::kReadFailed, errno);
  ImageFileRead result;
  if (S_ISDIR(info.st_mode)) {
    result.reason = "is a folder";  // opens on POSIX, but never reads as an image
    return result;
  }
  if (!S_ISREG(info.st_mode)) {
    result.outcome = ImageFileRead::Outcome::kNotRegular;
    return result;
  }
  if (!SizeImageBuffer(static_cast<uint64_t>(info.st_size), maxBytes, result)) return result;
  // A file that shrinks while it is read ends where its reading ends.
  std::size_t done = 0;
  while (done < result.bytes.size()) {
    const ssize_t n = ::read(file.get(), result.bytes.data() + done, result.bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failed(ImageFileRead::Outcome::kReadFailed, errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  result.bytes.resize(done);
  result.outcome = ImageFileRead::Outcome::kRead;
  return result;
}

}  // namespace korvelt
