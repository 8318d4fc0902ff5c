// Reading an image on Windows: opened sharing reads only, so a file that another program is
// still writing (a copy in progress) is refused like one that cannot be opened; only disk files
// are read.
#include <windows.h>

#include <string>

#include "update/image_file.h"

namespace korvelt {

namespace {

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

std::string SystemText(DWORD error) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message =
      length > 0 && text ? std::string(text, length) : "error " + std::to_string(error);
  if (text) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

ImageFileRead Failed(ImageFileRead::Outcome outcome, DWORD error) {
  ImageFileRead result;
  result.outcome = outcome;
  result.reason = SystemText(error);
  return result;
}

// Paths are UTF-8 (korvelt-cli takes its command line as UTF-16 and converts it); one that is
// not valid UTF-8 is opened as the ANSI code page reads it.
HANDLE OpenForReading(const std::string& path) {
  const auto wide = WideFromUtf8(path);
  if (!wide) {
    return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return ::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::optional<std::wstring> WideFromUtf8(const std::string& utf8) {
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                           static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0 && !utf8.empty()) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (length > 0) {
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                          wide.data(), length);
  }
  return wide;
}

std::string Utf8FromWide(const wchar_t* wide) {
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string utf8(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), length, nullptr, nullptr);
  utf8.pop_back();  // the terminating zero
  return utf8;
}

ImageFileRead ReadImageFile(const std::string& path, uint64_t maxBytes) {
  FileHandle file(OpenForReading(path));
  if (file.get() == INVALID_HANDLE_VALUE) {
    return Failed(ImageFileRead::Outcome::kCannotOpen, ::GetLastError());
  }
  ImageFileRead result;
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    result.outcome = ImageFileRead::Outcome::kNotRegular;
    return result;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) {
    return Failed(ImageFileRead::Outcome::kReadFailed, ::GetLastError());
  }
  if (!SizeImageBuffer(static_cast<uint64_t>(size.QuadPart), maxBytes, result)) return result;
  std::size_t done = 0;
  while (done < result.bytes.size()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(result.bytes.size() - done);
    if (!::ReadFile(file.get(), result.bytes.data() + done, want, &n, nullptr)) {
      return Failed(ImageFileRead::Outcome::kReadFailed, ::GetLastError());
    }
    if (n == 0) break;
    done += n;
  }
  result.bytes.resize(done);
  result.outcome = ImageFileRead::Outcome::kRead;
  return result;
}

}  // namespace korvelt
