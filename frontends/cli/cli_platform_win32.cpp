#include <windows.h>

#include "frontends/cli/cli_platform.h"
#include "serial/port_listing.h"

namespace korvelt::cli {

namespace {

std::atomic<bool>* g_interruptFlag = nullptr;  // the only thing the console handler touches

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (g_interruptFlag) g_interruptFlag->store(true);
  return TRUE;
}

}  // namespace

bool LaunchDetached(const std::string& commandLine, int showCommand) {
  return ::WinExec(commandLine.c_str(), static_cast<UINT>(showCommand)) > 31;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void InstallInterruptHandler(std::atomic<bool>* flag) {
  g_interruptFlag = flag;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RemoveInterruptHandler() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_interruptFlag = nullptr;
}

void UsePortFolder(const std::string&) {}

std::string DescribePorts() {
  return ListPorts();
}

}  // namespace korvelt::cli
