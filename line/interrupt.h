#pragma once

#include <atomic>

namespace korvelt::line {

// Ctrl-C and termination requests set the flag; whoever runs a unit closes its port and stops.
// One implementation per system (interrupt_posix.cpp, interrupt_win32.cpp).
void InstallInterruptHandler(std::atomic<bool>* flag);
void RemoveInterruptHandler();

}  // namespace korvelt::line
