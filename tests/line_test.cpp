// The production line's pieces that need no process: the probe-answer matcher with its address,
// the unit list, the events a child sends, the exit status of many units and the report file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "line/exit_codes.h"
#include "line/run_history.h"
#include "line/run_report.h"
#include "line/time_limits.h"
#include "line/unit_events.h"
#include "line/unit_supervisor.h"
#include "protocol/frame.h"
#include "protocol/search_reply.h"

namespace korvelt::line {
namespace {

TEST(SearchReplyMatcher, KeepsTheAddressOfTheAnswerOnly) {
  SearchReplyMatcher matcher(1);
  // A generator's answer, a block acknowledgement, then the analyzer's answer from 12:34.
  std::vector<uint8_t> bytes = BuildFrame(kReplyStart, {0, 0, 7, 7}, kSearchCommand, {0, 0});
  const auto ack = BuildFrame(kReplyStart, {1, 0, 9, 9}, kBlockAckCommand, {0x78, 0x78, 0});
  const auto answer = BuildFrame(kReplyStart, {1, 0, 0x12, 0x34}, kSearchCommand, {1, 0});
  bytes.insert(bytes.end(), ack.begin(), ack.end());
  bytes.insert(bytes.end(), answer.begin(), answer.end());
  int found = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!matcher.Feed(bytes[i])) continue;
    ++found;
    EXPECT_EQ(i, bytes.size() - 2) << "the eleventh byte completes it";
  }
  EXPECT_EQ(found, 1);
  EXPECT_EQ(matcher.group(), 0x12);
  EXPECT_EQ(matcher.machine(), 0x34);
}

TEST(UnitList, NumbersOrAll) {
  struct Case {
    const char* text;
    bool valid;
    std::vector<int> ports;
    bool all;
  } cases[] = {
      {"3", true, {3}, false},        {"3,5,7", true, {3, 5, 7}, false},
      {"99,1", true, {99, 1}, false}, {"all", true, {}, true},
      {"", false, {}, false},         {"3,", false, {}, false},
      {"0", false, {}, false},        {"100", false, {}, false},
      {"3;4", false, {}, false},      {"5,5", false, {}, false},
      {"ALL", false, {}, false},      {" 3", false, {}, false},
  };
  for (const auto& c : cases) {
    bool all = false;
    std::string error;
    const auto ports = ParseUnitList(c.text, &all, &error);
    EXPECT_EQ(ports.has_value(), c.valid) << c.text;
    if (!ports) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(*ports, c.ports) << c.text;
    EXPECT_EQ(all, c.all) << c.text;
  }
}

TEST(UnitEvents, SurviveTheLineBetweenTheProcesses) {
  UnitEvent ended(UnitEvent::Kind::kEnded);
  ended.exitCode = 3;
  ended.message = "generator-fpga: no answer \"quoted\"\nsecond line";
  const std::string line = EncodeUnitEvent(ended);
  ASSERT_EQ(line.find('\n'), line.size() - 1) << "one line, whatever the message holds";
  auto back = DecodeUnitEvent(line.substr(0, line.size() - 1));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->kind, UnitEvent::Kind::kEnded);
  EXPECT_EQ(back->exitCode, 3);
  EXPECT_EQ(back->message, ended.message);

  UnitEvent step(UnitEvent::Kind::kStepEnded);
  step.record = {"generator-mcu", "ok", 1.25, 8192, "ab12", true, ""};
  back = DecodeUnitEvent(EncodeUnitEvent(step));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->record.bytes, 8192u);
  EXPECT_EQ(back->record.verified, true);

  UnitEvent unknown(UnitEvent::Kind::kIdentified);  // no unit answered
  back = DecodeUnitEvent(EncodeUnitEvent(unknown));
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->deviceType);

  for (const char* noise : {"", "ISP: text", "{}", "{\"event\":\"bogus\"}", "{\"event\":3}",
                            "{\"event\":\"stepEnded\"}", "[1,2]"}) {
    EXPECT_FALSE(DecodeUnitEvent(noise)) << noise;
  }
}

TEST(RunReport, TheWorstUnitDecidesTheExitStatus) {
  auto units = [](std::vector<int> codes) {
    std::vector<UnitRecord> records;
    for (int code : codes) records.push_back({1, 0, OutcomeForExit(code), "", code, {}});
    return records;
  };
  EXPECT_EQ(CombinedExit(units({0, 0, 0})), kExitOk);
  EXPECT_EQ(CombinedExit(units({0, 1, 0})), kExitFailed);
  EXPECT_EQ(CombinedExit(units({1, 3, 1})), kExitStalled);
  EXPECT_EQ(CombinedExit(units({3, 0, 1})), kExitStalled);
  EXPECT_EQ(CombinedExit(units({3, 130})), kExitInterrupted);
  EXPECT_EQ(CombinedExit(units({})), kExitOk);
  EXPECT_EQ(OutcomeForExit(kExitInterrupted), "failed");
}

TEST(RunReport, FailedUnitsAreNamedAndTheTableHasARowEach) {
  std::vector<UnitRecord> units = {
      {3, 0, "ok", "", 0, {{"generator-fpga", "ok", 3.14, 100, "aa", {}, ""}}},
      {4, {}, "failed", "no unit answered the probe on COM4", 1, {}},
      {12,
       1,
       "stalled",
       "analyzer-fpga: no progress",
       3,
       {{"analyzer-fpga", "stalled", 30.0, 100, "bb", {}, "no progress"}}},
  };
  EXPECT_EQ(FailedUnitLines(units),
            "COM4: failed: no unit answered the probe on COM4\n"
            "COM12: stalled: analyzer-fpga: no progress\n");
  EXPECT_EQ(SummaryTable(units),
            "unit   kind       generator-fpga\n"
            "COM3   generator  ok 3.1 s\n"
            "COM4   -          failed\n"
            "COM12  analyzer   stalled 30.0 s\n");
}

TEST(RunReport, IsReplacedWholeAndLeavesNoTemporaryFile) {
  const auto folder =
      std::filesystem::temp_directory_path() /
      ("korvelt-report-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "report.json").string();
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, "old report, rather longer than the new one\n", &error));
  RunReport report;
  report.units.push_back({5, 1, "ok", "", 0, {}});
  ASSERT_TRUE(WriteFileAtomically(path, ReportJson(report).dump(), &error)) << error;
  std::ifstream in(path);
  const auto json = nlohmann::json::parse(in, nullptr, false);
  ASSERT_TRUE(json.is_object());
  EXPECT_EQ(json["units"][0]["port"], "COM5");
  EXPECT_EQ(json["units"][0]["kind"], "analyzer");
  EXPECT_EQ(json["startedAt"].get<std::string>().size(), 24u);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  EXPECT_FALSE(WriteFileAtomically((folder / "no/such/folder/r.json").string(), "x", &error));
  EXPECT_FALSE(error.empty());
  std::filesystem::remove_all(folder);
}

TEST(RunReport, AMultiLineFailureIsOneLineAndStepsNotRunAreShownAsSuch) {
  UnitRecord unit{5, 0, "failed",
                  "generator-mcu: Failed to update MCU firmware: no answer.\r\nRe-power the "
                  "unit.\nThen try again",
                  1};
  unit.steps.push_back({"generator-mcu", "failed", 2.0, {}, "", {}, "no answer"});
  AddStepsNotStarted(unit, {"generator-mcu", "open", "generator-fpga"});
  ASSERT_EQ(unit.steps.size(), 3u);
  EXPECT_EQ(unit.steps[2].step, "generator-fpga");
  EXPECT_EQ(unit.steps[2].outcome, "not-started");
  EXPECT_EQ(FailedUnitLines({unit}),
            "COM5: failed: generator-mcu: Failed to update MCU firmware: no answer. Re-power "
            "the unit. Then try again\n");
  EXPECT_EQ(SummaryTable({unit}),
            "unit  kind       generator-mcu  open  generator-fpga\n"
            "COM5  generator  failed 2.0 s   -     -\n");
}

TEST(RunReport, InvalidUtf8InAPathOrMessageIsReplacedNotFatal) {
  RunReport report;
  UnitRecord unit{3, 0, "failed", "Can not open fw\xff\xfe.hex. Nothing was sent.", 1};
  unit.steps.push_back({"generator-mcu=fw\xff\xfe.hex", "failed", 0.1, {}, "", {}, "bad\xc3"});
  report.units.push_back(unit);
  std::string text;
  ASSERT_NO_THROW(text = ReportText(report));
  const auto json = nlohmann::json::parse(text, nullptr, false);
  ASSERT_TRUE(json.is_object()) << text;
  EXPECT_EQ(json["units"][0]["message"], "Can not open fw\uFFFD\uFFFD.hex. Nothing was sent.");
  EXPECT_EQ(json["units"][0]["steps"][0]["step"], "generator-mcu=fw\uFFFD\uFFFD.hex");
}

TEST(RunReport, ConcurrentWritersNeverShareATemporaryFile) {
  const auto folder =
      std::filesystem::temp_directory_path() /
      ("korvelt-report-race-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "report.json").string();
  // Two runs with one --report: each file is whole, whichever lands last.
  const std::string a(200000, 'a'), b(100000, 'b');
  std::vector<std::thread> writers;
  for (int i = 0; i < 8; ++i) {
    writers.emplace_back([&, i] {
      std::string error;
      EXPECT_TRUE(WriteFileAtomically(path, i % 2 ? a : b, &error)) << error;
    });
  }
  for (auto& writer : writers) writer.join();
  std::ifstream in(path);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(text == a || text == b) << "a report mixed from two runs, " << text.size();
  // A report path that cannot be written is found before any unit is touched, and leaves
  // nothing behind; neither does a rename that fails.
  std::string error;
  std::filesystem::create_directories(folder / "taken");
  for (const std::string& bad :
       {(folder / "taken").string(), (folder / "no/such/r.json").string()}) {
    EXPECT_FALSE(CheckWritable(bad, &error)) << bad;
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(WriteFileAtomically(bad, "x", &error)) << bad;
  }
  EXPECT_TRUE(CheckWritable(path, &error)) << error;
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name != "report.json" && name != "taken") left.push_back(name);
  }
  EXPECT_TRUE(left.empty()) << left.front();
  std::filesystem::remove_all(folder);
}

TEST(TimeLimits, GenerousForTheImageAtTheLineRate) {
  // 60 s plus 20 times the wire time of the image at 115200 baud (11520 bytes a second).
  EXPECT_DOUBLE_EQ(DefaultStepLimitSeconds(0), 60);
  EXPECT_NEAR(DefaultStepLimitSeconds(65536), 60 + 20 * 65536 / 11520.0, 1e-9);
  // The dialog's written MCU pacing takes 53 s for 64 KiB: well inside.
  EXPECT_GT(DefaultStepLimitSeconds(65536), 53 * 2);
  std::vector<Step> steps = {*ParseStep("open", nullptr), *ParseStep("close", nullptr)};
  EXPECT_DOUBLE_EQ(RunLimitSeconds(steps), 60 + 2 * 60);
  EXPECT_DOUBLE_EQ(RunLimitSeconds(steps, 5), 60 + 2 * 5);
}

// The report and the event lines are read by line tooling: these are their contracts. A change
// here is a change of format, and a report's change comes with a new schemaVersion.
TEST(LineContracts, TheReportFormat) {
  RunReport report;
  report.tool = "korvelt-cli 1.0.0";
  report.startedAt =
      std::chrono::system_clock::time_point(std::chrono::milliseconds(1765186013589));
  report.endedAt = report.startedAt + std::chrono::milliseconds(12345);
  report.units.push_back(
      {3,
       0,
       "ok",
       "",
       0,
       {{"generator-fpga",
         "ok",
         6.9004,
         65536,
         "ab",
         {},
         "",
         "./data/GENERATOR_FPGA.bin",
         "ab",
         65536},
        {"generator-mcu=fw.hex", "ok", 9.25, 20480, "cd", true, "", "fw.hex", "ef", 20480}},
       1,
       2});
  // Where and by whom; the unit's adapter; when a step ran and the release its image came from.
  report.station = "line-1";
  report.operatorName = "anna";
  report.units[0].adapterSerial = "A50285BI";
  StepRecord& mcu = report.units[0].steps[1];
  mcu.startedAt = report.startedAt + std::chrono::milliseconds(7000);
  mcu.endedAt = report.startedAt + std::chrono::milliseconds(16250);
  mcu.release = "2026.12";
  mcu.releaseSha256 = "99";
  mcu.key = "0FEF46289EC69D40";
  report.units.push_back({4,
                          {},
                          "failed",
                          "no unit answered the probe on COM4",
                          1,
                          {{"generator-fpga", "not-started", 0, {}, "", {}, ""}}});
  EXPECT_EQ(ReportJson(report).dump(),
            R"({"schemaVersion":1,"tool":"korvelt-cli 1.0.0","station":"line-1",)"
            R"("operator":"anna","startedAt":"2025-12-08T09:26:53.589Z",)"
            R"("endedAt":"2025-12-08T09:27:05.934Z","units":[)"
            R"({"port":"COM3","deviceType":0,"kind":"generator","group":1,"machine":2,)"
            R"("outcome":"ok","message":"",)"
            R"("steps":[{"step":"generator-fpga","outcome":"ok","seconds":6.9,"bytes":65536,)"
            R"("sha256":"ab","file":"./data/GENERATOR_FPGA.bin","fileSha256":"ab",)"
            R"("bytesSent":65536},{"step":"generator-mcu=fw.hex","outcome":"ok","seconds":9.25,)"
            R"("bytes":20480,"sha256":"cd","file":"fw.hex","fileSha256":"ef","bytesSent":20480,)"
            R"("verified":true,"startedAt":"2025-12-08T09:27:00.589Z",)"
            R"("endedAt":"2025-12-08T09:27:09.839Z",)"
            R"("release":{"name":"2026.12","manifestSha256":"99"},"key":"0FEF46289EC69D40"}],)"
            R"("adapterSerial":"A50285BI"},)"
            R"({"port":"COM4","deviceType":null,"kind":null,"group":null,"machine":null,)"
            R"("outcome":"failed","message":"no unit answered the probe on COM4",)"
            R"("steps":[{"step":"generator-fpga","outcome":"not-started","seconds":0.0}]}]})");
  EXPECT_EQ(kReportSchemaVersion, 1);
}

TEST(LineContracts, TheEventLines) {
  using K = UnitEvent::Kind;
  UnitEvent identified(K::kIdentified);
  identified.deviceType = 1;
  identified.group = 1;
  identified.machine = 2;
  UnitEvent started(K::kStepStarted);
  started.index = 2;
  started.step = "analyzer-fpga";
  UnitEvent progress(K::kProgress);
  progress.percent = 12.5;
  progress.bytes = 32768;
  UnitEvent ended(K::kStepEnded);
  ended.record = {"analyzer-fpga", "failed", 1.5, {}, "", {}, "why"};
  UnitEvent done(K::kEnded);
  done.exitCode = 1;
  done.message = "analyzer-fpga: why";
  const std::pair<UnitEvent, const char*> cases[] = {
      {identified, R"({"event":"identified","deviceType":1,"group":1,"machine":2})"},
      {started, R"({"event":"stepStarted","index":2,"step":"analyzer-fpga"})"},
      {progress, R"({"event":"progress","percent":12.5,"bytes":32768})"},
      {ended, R"({"event":"stepEnded","record":{"step":"analyzer-fpga","outcome":"failed",)"
              R"("seconds":1.5,"message":"why"}})"},
      {done, R"({"event":"ended","exit":1,"message":"analyzer-fpga: why"})"},
  };
  for (const auto& [event, line] : cases)
    EXPECT_EQ(EncodeUnitEvent(event), line + std::string("\n"));
}

// A history row carries what the report shows: times, the unit's ID from any of its steps,
// the kind a fixed step implies where no probe told it, seconds as the report rounds them.
TEST(RunHistory, RowsForImageStepsAndAStatusThatNeverHidesAFailure) {
  UnitRecord unit;
  unit.port = 7;
  StepRecord mcu{.step = "generator-mcu", .outcome = "ok", .seconds = 1.23456};
  mcu.mcuUid = "3132333435363738393a3b07";
  mcu.startedAt = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765186013589));
  unit.steps.push_back(mcu);
  const StepRecord fpga{.step = "analyzer-fpga", .outcome = "failed", .seconds = 2};
  const RunIdentity who{"line-1", "anna", "korvelt-cli 1.0.0"};

  const auto mcuRow = HistoryRow(unit, mcu, who);
  ASSERT_TRUE(mcuRow);
  EXPECT_EQ(mcuRow->port, "COM7");
  EXPECT_EQ(mcuRow->kind, "generator");
  EXPECT_EQ(mcuRow->seconds, 1.235);
  EXPECT_EQ(UtcTimestamp(std::chrono::system_clock::time_point(mcuRow->startedAt)),
            "2025-12-08T09:26:53.589Z");
  const auto fpgaRow = HistoryRow(unit, fpga, who);
  ASSERT_TRUE(fpgaRow);
  EXPECT_EQ(fpgaRow->kind, "analyzer");
  EXPECT_EQ(fpgaRow->mcuUid, mcu.mcuUid) << "the unit's ID, read by its earlier step";
  for (const char* none : {"open", "search-generator", "data-flash-no=5"}) {
    EXPECT_FALSE(HistoryRow(unit, {.step = none, .outcome = "ok"}, who)) << none;
  }
  EXPECT_FALSE(HistoryRow(unit, {.step = "generator-fpga", .outcome = "not-started"}, who));

  const auto folder =
      std::filesystem::temp_directory_path() /
      ("korvelt-run-history-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(folder);
  auto history = RunHistory::Open({.file = folder / "h.sqlite"}, {}, who);
  ASSERT_TRUE(history.ok()) << history.error().text;
  history.value()->Record(unit, mcu);
  EXPECT_FALSE(history.value()->failed());
  EXPECT_EQ(history.value()->ExitStatus(kExitOk), kExitOk);
  StepRecord broken = mcu;
  broken.mcuUid = "not an id";  // refused by the history: the row is not written
  history.value()->Record(unit, broken);
  EXPECT_TRUE(history.value()->failed());
  EXPECT_EQ(history.value()->ExitStatus(kExitOk), kExitFailed);
  EXPECT_EQ(history.value()->ExitStatus(kExitStalled), kExitStalled) << "a failure stays one";
  history.value().reset();
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace korvelt::line
