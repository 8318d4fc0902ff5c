// Writing a report in one step on POSIX systems: a temporary file of this run's own, flushed to
// the disk before it is renamed over the report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "line/run_report.h"

namespace korvelt::line {

namespace {

std::string TemporaryName(const std::string& path) {
  std::random_device entropy;
  return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(entropy());
}

std::string Why(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Creates a new temporary file next to `path` and writes `text`, flushed to the disk. The name
// is in `temporary`; the file is gone again when this fails.
bool WriteTemporary(const std::string& path, const std::string& text, std::string* temporary,
                    std::string* error) {
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
    *error = path + " is a folder";
    return false;
  }
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    *temporary = TemporaryName(path);
    fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = Why("cannot write " + *temporary, errno);
    return false;
  }
  std::size_t done = 0;
  int failure = 0;
  while (done < text.size() && failure == 0) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) failure = n < 0 ? errno : EIO;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  // The rename must not reach the disk before the contents do.
  if (failure == 0 && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  if (failure != 0) {
    *error = Why("cannot write " + *temporary, failure);
    ::unlink(temporary->c_str());
    return false;
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
  std::string temporary;
  if (!WriteTemporary(path, text, &temporary, error)) return false;
  if (::rename(temporary.c_str(), path.c_str()) != 0) {  // replaces an old report in one step
    *error = Why("cannot rename " + temporary + " to " + path, errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool CheckWritable(const std::string& path, std::string* error) {
  std::string temporary;
  if (!WriteTemporary(path, "", &temporary, error)) return false;
  ::unlink(temporary.c_str());
  return true;
}

}  // namespace korvelt::line
