// Opening a file on Windows: regular files on a disk only (a COM port or a pipe named by
// mistake is refused), and without sharing writes, so the file cannot change while it is read.
#include <windows.h>

#include "release/input_file.h"

namespace korvelt::release {

namespace {

std::string SystemMessage(DWORD error) {
  char text[256] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(error) : message;
}

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

InputFile InputFile::Open(const std::filesystem::path& path) {
  InputFile file;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    file.status_ = Status::kNotRegular;
    file.reason_ = "is a folder";
    return file;
  }
  const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    file.status_ = (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                       ? Status::kMissing
                       : Status::kFailed;
    file.reason_ = SystemMessage(error);
    return file;
  }
  file.handle_ = reinterpret_cast<std::intptr_t>(handle);
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    file.status_ = Status::kNotRegular;
    file.reason_ = "is not a regular file";
    file.Close();
    return file;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) {
    file.reason_ = SystemMessage(::GetLastError());
    file.Close();
    return file;
  }
  file.status_ = Status::kOpen;
  file.size_ = static_cast<std::uint64_t>(size.QuadPart);
  return file;
}

std::optional<std::size_t> InputFile::Read(std::span<std::uint8_t> buffer) {
  if (handle_ == -1) return std::nullopt;
  DWORD done = 0;
  const DWORD wanted = buffer.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(buffer.size());
  if (!::ReadFile(AsHandle(handle_), buffer.data(), wanted, &done, nullptr)) {
    reason_ = SystemMessage(::GetLastError());
    return std::nullopt;
  }
  return done;
}

void InputFile::Close() {
  if (handle_ != -1) ::CloseHandle(AsHandle(handle_));
  handle_ = -1;
}

}  // namespace korvelt::release
