#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Child processes for the multi-unit run, one implementation per platform
// (child_process_posix.cpp, child_process_win32.cpp).
namespace korvelt::line {

// A program started with its standard input, output and error on pipes of its own. Nothing
// here blocks without a bound.
class ChildProcess {
 public:
  // Starts argv[0] with the arguments; nothing (and `error` set) when it cannot start.
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                             std::string* error);
  ~ChildProcess();  // kills a child that still runs and collects it
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Appends what the child has written so far, without waiting.
  void ReadAvailable(std::string* out, std::string* err);
  // Ends the child's standard input: a unit child takes it as the request to stop.
  void CloseInput();
  // The exit status once the child has ended; waits at most `limit`.
  std::optional<int> WaitExit(std::chrono::milliseconds limit);
  // After the end: how the child ended when it did not end by itself ("was ended by signal 11
  // (Segmentation fault)"); empty when it exited with a status of its own.
  std::string AbnormalEnd() const;
  void Kill();

  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  explicit ChildProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Waits at most `limit` for any of the children to write something.
void WaitForChildOutput(const std::vector<ChildProcess*>& children,
                        std::chrono::milliseconds limit);

// The path of the running program, to start unit children of the same build.
std::string CurrentExecutable();

// In a unit child: sets the flag when the standard input ends (the supervisor asks it to stop,
// or is gone). Looks every 50 ms; the destructor ends the watch.
class InputEndWatcher {
 public:
  explicit InputEndWatcher(std::atomic<bool>* flag);
  ~InputEndWatcher();
  InputEndWatcher(const InputEndWatcher&) = delete;
  InputEndWatcher& operator=(const InputEndWatcher&) = delete;

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace korvelt::line
