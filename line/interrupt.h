#pragma once

#include <atomic>

namespace korvelt::line {

// Ctrl-C, termination requests and a hang-up of the terminal (a dropped ssh session) set the
// flag; whoever runs a unit closes its port, writes its report and stops. One implementation
// per system (interrupt_posix.cpp, interrupt_win32.cpp).
void InstallInterruptHandler(std::atomic<bool>* flag);
void RemoveInterruptHandler();
// A reader of the output that went away (`| head`) must not end the run without its report:
// writes to it fail instead, and the run goes on.
void IgnoreBrokenPipe();

}  // namespace korvelt::line
