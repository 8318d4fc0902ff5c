// Random operator sequences against units on the virtual clock: no success without the image
// on the unit, nothing left running with no way to end, no long block of the window's thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "fuzz/fuzz_support.h"
#include "tests/support/operator_sequence.h"
#include "tests/support/temp_workdir.h"

namespace korvelt {
namespace {

std::string Report(const std::string& name, const std::string& failure,
                   const std::vector<std::string>& log) {
  std::string text = name + ": " + failure + "\n";
  for (const auto& line : log) text += "  " + line + "\n";
  return text;
}

// A seeded run. Its decisions are kept as the fuzzer's input would give them (two bytes each,
// as fuzzing::Input reads them), so that a seed that finds a fault becomes a corpus file: a
// change of the driver reshuffles what a seed does, a corpus file's decisions stay.
std::string RunSeed(int seed, int steps, std::vector<uint8_t>* decisions) {
  testing::TempWorkDir work;
  std::mt19937 random(static_cast<uint32_t>(seed));
  testing::OperatorSequence sequence(work.path().string(), [&](uint32_t n) {
    if (n == 0) return 0u;
    const uint32_t value = static_cast<uint32_t>(random() % n);
    decisions->push_back(static_cast<uint8_t>(value));
    decisions->push_back(static_cast<uint8_t>(value >> 8));
    return value;
  });
  const std::string failure = sequence.Run(steps);
  return failure.empty() ? std::string()
                         : Report("seed " + std::to_string(seed), failure, sequence.log());
}

// A corpus file's run, exactly as the fuzzer makes it.
std::string RunCorpusFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  testing::TempWorkDir work;
  fuzzing::Input input(bytes.data(), bytes.size());
  testing::OperatorSequence sequence(work.path().string(),
                                     [&](uint32_t n) { return input.Below(n); });
  const std::string failure = sequence.Run(60, [&] { return input.Done(); });
  return failure.empty() ? std::string()
                         : Report(file.filename().string(), failure, sequence.log());
}

TEST(OperatorSequence, TwoThousandSeededSequences) {
  // KORVELT_SEQUENCE_SEED=N runs that one seed alone, to read its steps.
  const char* only = std::getenv("KORVELT_SEQUENCE_SEED");
  const int first = only ? std::atoi(only) : 1;
  const int last = only ? first : 2000;
  int failures = 0;
  for (int seed = first; seed <= last && failures < 3; ++seed) {
    std::vector<uint8_t> decisions;
    const std::string report = RunSeed(seed, 30, &decisions);
    if (report.empty()) continue;
    ++failures;
    // Kept beside the test program, to be committed under fuzz/corpus/operator_sequence/.
    const auto kept = std::filesystem::current_path() / ("sequence-seed-" + std::to_string(seed));
    std::ofstream(kept, std::ios::binary)
        .write(reinterpret_cast<const char*>(decisions.data()),
               static_cast<std::streamsize>(decisions.size()));
    ADD_FAILURE() << report << "its decisions: " << kept.string();
  }
}

TEST(OperatorSequence, EveryCommittedFindingStaysMended) {
  // The runs that once found a fault, replayed as the fuzzer replays its corpus.
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KORVELT_SEQUENCE_CORPUS)) {
    ++replayed;
    const std::string report = RunCorpusFile(entry.path());
    EXPECT_TRUE(report.empty()) << report;
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace korvelt
