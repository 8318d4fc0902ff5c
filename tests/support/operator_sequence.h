#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvelt::testing {

// Drives the core window the way operators do: random presses of every visible and hidden
// button, port-list choices, double presses and waits, interleaved with what units do (power
// cycles, silence, refused or lost acknowledgements, a byte lost or damaged on the line). The
// core runs on the virtual clock against the simulator's device models in this process.
//
// After every step it checks that nothing claims a success the units do not hold; at the end,
// that nothing is left running with no timer and no port to end it, and that no pause blocked
// the window longer than the longest written pause.
class OperatorSequence {
 public:
  // `below(n)` gives a decision in 0..n-1: seeded random numbers, or a fuzzer's bytes.
  using Decide = std::function<uint32_t(uint32_t)>;

  // `workDir` receives the images; the process's working directory must be it while running.
  OperatorSequence(const std::string& workDir, Decide below);
  ~OperatorSequence();
  OperatorSequence(const OperatorSequence&) = delete;
  OperatorSequence& operator=(const OperatorSequence&) = delete;

  // Runs up to `maxSteps` steps (fewer when `finished()` says the decisions ran out), then lets
  // 60 s of virtual time pass. The first broken promise, or an empty string.
  std::string Run(int maxSteps, const std::function<bool()>& finished = {});
  // What was done, one line per step, for a failure's report.
  const std::vector<std::string>& log() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvelt::testing
