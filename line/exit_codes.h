#pragma once

namespace korvelt::line {

// The exit status of korvelt-cli, of each unit child, and of a production-line run.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitStalled = 3,
  kExitInterrupted = 130
};

}  // namespace korvelt::line
