#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sim_process.h"
#include "tests/support/temp_workdir.h"

extern char** environ;

namespace korvelt::testing {

// A test's work folder with one port folder, served by one or more simulators (each with its
// own faults), and korvelt-cli run against it. KORVELT_CLI_PATH and KORVELT_SIM_PATH name the
// programs.
struct ProgramRig {
  void Serve(const std::string& ports, std::vector<std::string> extra = {},
             const std::string& baud = "0") {
    std::vector<std::string> args = {"--port-dir", PortDir(), "--ports",       ports,
                                     "--baud",     baud,      "--reply-delay", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto report = work.path() / ("sim-" + std::to_string(sims.size()) + ".json");
    sims.push_back(std::make_unique<SimProcess>(KORVELT_SIM_PATH, args, report.string()));
    ASSERT_TRUE(sims.back()->ready());
  }
  std::string PortDir() const { return (work.path() / "ports").string(); }
  std::string CliCommand(const std::string& arguments) const {
    return std::string(KORVELT_CLI_PATH) + " --port-dir " + PortDir() + " -C " +
           work.path().string() + " " + arguments;
  }
  CommandResult Cli(const std::string& arguments, int boundSeconds = 180) {
    return RunCommand(CliCommand(arguments), (work.path() / "cli-output.txt").string(),
                      boundSeconds);
  }
  nlohmann::json Report(const std::string& name = "report.json") const {
    std::ifstream in(work.path() / name);
    return in ? nlohmann::json::parse(in, nullptr, false) : nlohmann::json();
  }
  // Every simulator's report, the ports of all of them in one object.
  nlohmann::json StopSims() {
    nlohmann::json ports = nlohmann::json::object();
    for (auto& sim : sims) {
      const nlohmann::json report = sim->Stop();
      if (report.is_object())
        for (auto& [port, entry] : report["ports"].items()) ports[port] = entry;
    }
    return ports;
  }
  TempWorkDir work;
  std::vector<std::unique_ptr<SimProcess>> sims;
};

// A program in the background, its standard output and error into a file, so that a test can
// signal it midway. Every wait is bounded; a process still running at the end is killed.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                    const std::string& output) {
    std::vector<std::string> copy = args;
    copy.insert(copy.begin(), program);
    std::vector<char*> argv;
    for (auto& arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~BackgroundProcess() { Kill(); }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
  }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // The exit code, or -1 for a signal or a run that outlived `bound` (it is killed then).
  int Wait(std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Kill();
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

// The unit children whose command line names this folder (their files lie there).
inline std::vector<pid_t> UnitChildrenOf(const std::filesystem::path& work) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "cmdline");
    const std::string cmdline((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (cmdline.find("--unit-child") == std::string::npos ||
        cmdline.find(work.string()) == std::string::npos) {
      continue;
    }
    children.push_back(static_cast<pid_t>(std::atol(entry.path().filename().c_str())));
  }
  return children;
}

// Waits at most `bound` for `done`, looking every 20 ms.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace korvelt::testing
