#pragma once

#include <atomic>
#include <string>

// What korvelt-cli needs of the operating system, one file per platform.
namespace korvelt::cli {

// Starts the outside tool without waiting for it.
bool LaunchDetached(const std::string& commandLine, int showCommand);
bool StderrIsTerminal();
// Ctrl-C and termination requests set the flag; the runner closes the port and stops.
void InstallInterruptHandler(std::atomic<bool>* flag);
void RemoveInterruptHandler();
// POSIX: COMn is looked up in this folder instead of the system's serial devices.
void UsePortFolder(const std::string& folder);
// What 'korvelt-cli ports' prints: which device stands behind each COMn.
std::string DescribePorts();

}  // namespace korvelt::cli
