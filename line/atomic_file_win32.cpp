// Writing a report in one step on Windows: a temporary file of this run's own, flushed to the
// disk before it replaces the report. Paths are UTF-8.
#include <windows.h>

#include <random>
#include <string>

#include "line/run_report.h"
#include "update/image_file.h"

namespace korvelt::line {

namespace {

std::wstring Wide(const std::string& utf8) {
  return WideFromUtf8(utf8).value_or(std::wstring());
}

std::string Why(const std::string& what) {
  return what + ": error " + std::to_string(::GetLastError());
}

bool WriteTemporary(const std::string& path, const std::string& text, std::string* temporary,
                    std::string* error) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = path + " is a folder";
    return false;
  }
  std::random_device entropy;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 8 && file == INVALID_HANDLE_VALUE; ++attempt) {
    *temporary =
        path + ".tmp." + std::to_string(::GetCurrentProcessId()) + "." + std::to_string(entropy());
    file = ::CreateFileW(Wide(*temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    *error = Why("cannot write " + *temporary);
    return false;
  }
  DWORD written = 0;
  bool ok = text.empty() ||
            (::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
             written == text.size());
  ok = ok && ::FlushFileBuffers(file);
  if (!ok) *error = Why("cannot write " + *temporary);
  ::CloseHandle(file);
  if (!ok) ::DeleteFileW(Wide(*temporary).c_str());
  return ok;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
  std::string temporary;
  if (!WriteTemporary(path, text, &temporary, error)) return false;
  if (!::MoveFileExW(Wide(temporary).c_str(), Wide(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = Why("cannot rename " + temporary + " to " + path);
    ::DeleteFileW(Wide(temporary).c_str());
    return false;
  }
  return true;
}

bool CheckWritable(const std::string& path, std::string* error) {
  std::string temporary;
  if (!WriteTemporary(path, "", &temporary, error)) return false;
  ::DeleteFileW(Wide(temporary).c_str());
  return true;
}

}  // namespace korvelt::line
