#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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
// The terminal's size behind standard error, asked anew at each call (the window may have been
// resized); 80 columns and 24 rows when it cannot be told.
int StderrColumns();
int StderrRows();
// The program's arguments as UTF-8: on Windows taken from the UTF-16 command line (the ANSI
// code page cannot hold every file name), elsewhere as given.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// A path from UTF-8 text, and a file opened for writing by one.
std::filesystem::path PathFromUtf8(const std::string& path);
std::FILE* OpenForWriting(const std::string& path);

}  // namespace korvelt::cli
