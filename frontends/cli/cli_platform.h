#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// What korvelt-cli needs of the operating system, one file per platform.
namespace korvelt::cli {

// Starts the outside tool without waiting for it.
bool LaunchDetached(const std::string& commandLine, int showCommand);
bool StderrIsTerminal();
// Standard error is a terminal that moves the cursor on request, for lines redrawn in place.
bool StderrCanRedraw();
// POSIX: COMn is looked up in this folder instead of the system's serial devices.
void UsePortFolder(const std::string& folder);
// What 'korvelt-cli ports' prints: which device stands behind each COMn.
std::string DescribePorts();

}  // namespace korvelt::cli
