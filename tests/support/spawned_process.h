#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Programs a test starts, with no pipes; one implementation per platform
// (spawned_process_posix.cpp, spawned_process_win32.cpp).
namespace korvelt::testing {

class SpawnedProcess {
 public:
  // Starts `program` with `args`; nothing when it cannot start.
  static std::unique_ptr<SpawnedProcess> Start(const std::filesystem::path& program,
                                               const std::vector<std::string>& args);
  ~SpawnedProcess();  // kills a process that still runs and collects it
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;

  // The exit status once the process has ended; waits at most `limit`.
  std::optional<int> Wait(std::chrono::milliseconds limit);

  struct Impl;

 private:
  explicit SpawnedProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The running test program, to start copies of it.
std::filesystem::path SelfExecutable();

}  // namespace korvelt::testing
