// Operator sequences chosen by the fuzzer's bytes; a broken promise aborts.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "fuzz/fuzz_support.h"
#include "tests/support/operator_sequence.h"

namespace {
std::string g_workDir;  // the images' folder, made once before the first input
}  // namespace

// The fixed image paths are relative: the run works in a folder of its own.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("korvelt-fuzz-sequence-" + std::to_string(::getpid()));
  std::filesystem::create_directories(path);
  g_workDir = std::filesystem::absolute(path).string();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string& dir = g_workDir;
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  korvelt::fuzzing::Input in(data, size);
  korvelt::testing::OperatorSequence sequence(dir, [&](uint32_t n) { return in.Below(n); });
  const std::string failure = sequence.Run(60, [&] { return in.Done(); });
  if (!failure.empty()) {
    std::fprintf(stderr, "%s\n", failure.c_str());
    for (const auto& line : sequence.log()) std::fprintf(stderr, "  %s\n", line.c_str());
    std::abort();
  }
  std::filesystem::current_path(before);
  return 0;
}
