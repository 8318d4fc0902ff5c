#include <windows.h>

#include "frontends/cli/cli_platform.h"
#include "serial/port_listing.h"

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

}  // namespace korvelt::cli
