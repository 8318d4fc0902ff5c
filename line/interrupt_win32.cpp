#include <windows.h>

#include "line/interrupt.h"

namespace korvelt::line {

namespace {

std::atomic<bool>* g_interruptFlag = nullptr;  // the only thing the console handler touches

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (g_interruptFlag) g_interruptFlag->store(true);
  return TRUE;
}

}  // namespace

void InstallInterruptHandler(std::atomic<bool>* flag) {
  g_interruptFlag = flag;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RemoveInterruptHandler() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_interruptFlag = nullptr;
}

void IgnoreBrokenPipe() {}  // a write to a closed pipe fails there without a signal

}  // namespace korvelt::line
