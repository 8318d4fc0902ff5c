#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "history/history_location.h"

namespace korvelt::history {

namespace fs = std::filesystem;

namespace {

std::string Utf8(const wchar_t* text, int length) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

EnvironmentLookup SystemEnvironment() {
  return [](const char* name) -> std::optional<fs::path> {
    // Variable names are ASCII; values are read wide, so any folder name survives.
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    const wchar_t* value = ::_wgetenv(wide.c_str());
    if (value == nullptr || *value == L'\0') return std::nullopt;
    return fs::path(value);
  };
}

HistoryResult<fs::path> DefaultHistoryFile(const EnvironmentLookup& environment) {
  const auto data = environment("LOCALAPPDATA");
  if (!data || !data->is_absolute()) {
    return HistoryError{
        .kind = HistoryError::Kind::kLocation,
        .text =
            "no place for the history: LOCALAPPDATA is not set; choose a file with --history "
            "FILE or KORVELT_HISTORY"};
  }
  return *data / "korvelt-updater" / "history.sqlite";
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = sizeof name / sizeof name[0];
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size) || size == 0) {
    size = sizeof name / sizeof name[0];
    if (!::GetComputerNameW(name, &size) || size == 0) return "localhost";
  }
  return Utf8(name, static_cast<int>(size));
}

std::string LoginName() {
  wchar_t name[257] = {};  // UNLEN + 1
  DWORD size = sizeof name / sizeof name[0];
  if (::GetUserNameW(name, &size) && size > 1) return Utf8(name, static_cast<int>(size - 1));
  const wchar_t* value = ::_wgetenv(L"USERNAME");
  if (value && *value) return Utf8(value, static_cast<int>(std::wcslen(value)));
  return "unknown";
}

}  // namespace korvelt::history
