#include <csignal>

#include "line/interrupt.h"

namespace korvelt::line {

namespace {

std::atomic<bool>* g_interruptFlag = nullptr;  // the only thing a signal handler may touch

void OnSignal(int) {
  if (g_interruptFlag) g_interruptFlag->store(true);
}

}  // namespace

void InstallInterruptHandler(std::atomic<bool>* flag) {
  g_interruptFlag = flag;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGHUP, OnSignal);
}

void RemoveInterruptHandler() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGHUP, SIG_DFL);
  g_interruptFlag = nullptr;
}

void IgnoreBrokenPipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace korvelt::line
