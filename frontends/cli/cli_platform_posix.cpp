#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "frontends/cli/cli_platform.h"
#include "serial/port_listing.h"
#include "serial/port_map.h"

extern char** environ;

namespace korvelt::cli {

bool LaunchDetached(const std::string& commandLine, int) {
  std::string program = commandLine;
  std::replace(program.begin(), program.end(), '\\', '/');
  pid_t pid = 0;
  char* argv[] = {program.data(), nullptr};
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();  // collects its exit
  return true;
}

bool StderrIsTerminal() {
  return ::isatty(2) == 1;
}

bool StderrCanRedraw() {
  const char* term = std::getenv("TERM");
  return StderrIsTerminal() && term && std::strcmp(term, "dumb") != 0;
}

void UsePortFolder(const std::string& folder) {
  ::setenv(PortMap::kFolderVariable, folder.c_str(), 1);
}

std::string DescribePorts() {
  return ListPorts();
}

namespace {

winsize StderrSize() {
  winsize size{};
  if (::ioctl(2, TIOCGWINSZ, &size) != 0) size = {};
  return size;
}

}  // namespace

int StderrColumns() {
  const winsize size = StderrSize();
  return size.ws_col > 0 ? size.ws_col : 80;
}

int StderrRows() {
  const winsize size = StderrSize();
  return size.ws_row > 0 ? size.ws_row : 24;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path PathFromUtf8(const std::string& path) {
  return std::filesystem::path(path);  // file names are bytes here
}

std::FILE* OpenForWriting(const std::string& path) {
  return std::fopen(path.c_str(), "w");
}

}  // namespace korvelt::cli
