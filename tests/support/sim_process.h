#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvelt::testing {

// korvelt-sim as a child process: started with its arguments, ready once it printed its ready
// line, stopped with SIGINT, after which its JSON report is read.
class SimProcess {
 public:
  SimProcess(const std::string& program, std::vector<std::string> args, std::string reportPath)
      : report_path_(std::move(reportPath)) {
    args.insert(args.begin(), program);
    args.push_back("--report");
    args.push_back(report_path_);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    // The simulator ends with the test: a test that crashes would otherwise leave it running,
    // holding the test runner's output pipe open until the runner's time-out.
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(1);
      ::execve(program.c_str(), argv.data(), environ);
      ::_exit(127);
    }
    ::close(out[1]);
    // The ready line, within 10 s.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && line.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    ready_ = line.find("\"ready\":true") != std::string::npos;
  }
  ~SimProcess() { Stop(); }

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }

  // SIGINT, then the report. Bounded: a child that does not end in 10 s is killed.
  nlohmann::json Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGINT);
      int status = 0;
      for (int i = 0; i < 1000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
      }
      pid_ = -1;
    }
    std::ifstream in(report_path_);
    if (!in) return {};
    return nlohmann::json::parse(in, nullptr, false);
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string report_path_;
};

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard error and standard output together
  double seconds = 0;
};

// Runs a shell command with a time bound; its exit status and what it printed.
inline CommandResult RunCommand(const std::string& command, const std::string& scratchFile,
                                int boundSeconds = 180) {
  const auto start = std::chrono::steady_clock::now();
  const std::string full =
      "timeout " + std::to_string(boundSeconds) + " " + command + " > " + scratchFile + " 2>&1";
  const int status = std::system(full.c_str());
  CommandResult result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(scratchFile);
  std::stringstream text;
  text << in.rdbuf();
  result.output = text.str();
  return result;
}

}  // namespace korvelt::testing
