// korvelt-cli's own texts: the line each step ends with and the time left in the bar.
#include <gtest/gtest.h>

#include "frontends/cli/progress_display.h"
#include "frontends/cli/step_summary.h"
#include "frontends/cli/unit_display.h"

namespace korvelt::cli {
namespace {

Step Named(Step::Kind kind, const std::string& text) {
  return Step{kind, 1, {}, text};
}

TEST(StepSummary, ImageStepsGiveBytesTimeAndRateOthersSayDone) {
  using K = Step::Kind;
  struct Case {
    Step step;
    uint64_t bytes;
    double seconds;
    std::string line;
  } cases[] = {
      {Named(K::kGeneratorFpga, "generator-fpga"), 65536, 6.9,
       "generator-fpga: 65536 bytes in 6.9 s (9.5 kB/s)\n"},
      {Named(K::kAnalyzerMcu, "analyzer-mcu"), 2048, 0,
       "analyzer-mcu: 2048 bytes in 0.0 s (0.0 kB/s)\n"},
      {Named(K::kSearch, "search-generator"), 65536, 3, "search-generator: done\n"},
      {Named(K::kOpen, "open"), 0, 0.1, "open: done\n"},
      {Named(K::kInputBoard, "input-board=1:a.bin"), 8192, 2,
       "input-board=1:a.bin: 8192 bytes in 2.0 s (4.1 kB/s)\n"},
      {Named(K::kInputBoard, "input-board=1:a.bin"), 4596, 2,
       "input-board=1:a.bin: 4596 bytes in 2.0 s (2.3 kB/s)\n"
       "input-board=1:a.bin: the board does not confirm the last chunk (500 bytes): the transfer "
       "ends when it is written\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(StepSummary(c.step, c.bytes, c.seconds), c.line);
}

TEST(StepSummary, TheBoardConfirmsEveryFinalChunkThatNeedsMoreThanOnePiece) {
  // A chunk frame is its data plus 12 bytes, written in pieces of at most 512.
  struct Case {
    uint64_t bytes;
    bool confirmed;
  } cases[] = {{1, false},    {500, false}, {501, true},          {4096, true},
               {4596, false}, {4597, true}, {3 * 4096 + 1, false}};
  for (const auto& c : cases)
    EXPECT_EQ(InputBoardLastChunkConfirmed(c.bytes), c.confirmed) << c.bytes;
}

TEST(ProgressDisplay, TimeLeftFromTheRateSoFar) {
  struct Case {
    double percent, seconds;
    const char* text;
  } cases[] = {{0, 10, "--:-- left"}, {0.5, 10, "--:-- left"}, {50, 10, "0:10 left"},
               {25, 30, "1:30 left"}, {100, 42, "0:00 left"},  {10, 0, "--:-- left"}};
  for (const auto& c : cases) EXPECT_EQ(TimeLeft(c.percent, c.seconds), c.text) << c.percent;
}

TEST(ProgressDisplay, StepsThatMoveNoImageShowNoProgress) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  ProgressDisplay display(out, false, false);
  display.Start("search-generator", false);
  display.Update(0, 0);
  display.Update(100, 0);
  display.Start("generator-fpga", true);
  display.Update(50, 1000);
  std::fclose(out);
  EXPECT_EQ(std::string(text, size), "generator-fpga: 50.0%\n");
  std::free(text);
}

}  // namespace
}  // namespace korvelt::cli

namespace korvelt::cli {
namespace {

TEST(TerminalWidth, EveryLiveLineFitsItsTerminal) {
  // The longest a line gets: a long step name, a full bar, fast rates and large counts.
  UnitStatus unit{12,   "generator", "generator-data-flash=/srv/images/a-long-file-name.bin",
                  true, 100.0,       999.9};
  for (const int columns : {20, 40, 60, 80, 120}) {
    SCOPED_TRACE(columns);
    const std::string line = FormatUnitStatus(unit, columns);
    EXPECT_LE(line.size(), static_cast<std::size_t>(std::max(columns - 1, 20)));
    EXPECT_EQ(line.rfind("COM12  generator", 0), 0u) << line;
    const std::string bar = ProgressLine("generator-data-flash=/srv/images/a-long-file-name.bin",
                                         37.5, 6291456, 16777216, 11.5, "12:34 left", columns);
    EXPECT_LE(bar.size(), static_cast<std::size_t>(std::max(columns - 1, 20))) << bar;
  }
  // Where there is room, nothing is left out.
  EXPECT_EQ(ProgressLine("generator-fpga", 50, 32768, 65536, 9.5, "0:03 left", 120),
            "generator-fpga [###############               ]  50.0%  32768/65536 bytes  9.5 kB/s  "
            "0:03 left");
  // At 80 columns the bar narrows before anything goes.
  const std::string fitted = ProgressLine("generator-fpga", 50, 32768, 65536, 9.5, "0:03 left", 80);
  EXPECT_NE(fitted.find("32768/65536 bytes"), std::string::npos) << fitted;
  EXPECT_NE(fitted.find("0:03 left"), std::string::npos) << fitted;
  EXPECT_EQ(HiddenUnitsLine({{3, "generator", "generator-fpga", true, 10, 1},
                             {4, "generator", "waiting"},
                             {5, "generator", "ok"}}),
            "... and 3 more: 1 running, 1 ended, 1 waiting");
}

}  // namespace
}  // namespace korvelt::cli
