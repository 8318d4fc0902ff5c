#include <windows.h>
// shellapi.h after windows.h, which defines its types
#include <shellapi.h>

#include <cstdio>

#include "frontends/cli/cli_platform.h"
#include "serial/port_listing.h"
#include "update/image_file.h"

namespace korvelt::cli {

bool LaunchDetached(const std::string& commandLine, int showCommand) {
  return ::WinExec(commandLine.c_str(), static_cast<UINT>(showCommand)) > 31;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool StderrCanRedraw() {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!::GetConsoleMode(err, &mode)) return false;
  return ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void UsePortFolder(const std::string&) {}

std::string DescribePorts() {
  return ListPorts();
}

namespace {

std::wstring Wide(const std::string& utf8) {
  return WideFromUtf8(utf8).value_or(std::wstring());
}

bool ConsoleSize(int* columns, int* rows) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return false;
  *columns = info.srWindow.Right - info.srWindow.Left + 1;
  *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  return *columns > 0 && *rows > 0;
}

}  // namespace

int StderrColumns() {
  int columns = 80, rows = 24;
  return ConsoleSize(&columns, &rows) ? columns : 80;
}

int StderrRows() {
  int columns = 80, rows = 24;
  return ConsoleSize(&columns, &rows) ? rows : 24;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

std::filesystem::path PathFromUtf8(const std::string& path) {
  return std::filesystem::path(Wide(path));
}

std::FILE* OpenForWriting(const std::string& path) {
  return ::_wfopen(Wide(path).c_str(), L"w");
}

}  // namespace korvelt::cli
