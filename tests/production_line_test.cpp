// korvelt-cli on a production line, against korvelt-sim serving several units: the scan, many
// units at once in child processes, the report, and Ctrl-C in the middle of it all.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "sim/image_digest.h"
#include "tests/support/program_rig.h"

extern char** environ;

namespace korvelt {
namespace {

using Json = nlohmann::json;
using testing::CommandResult;
using testing::RunCommand;
using testing::SimProcess;

using LineRig = testing::ProgramRig;

const Json* UnitOn(const Json& report, const std::string& port) {
  for (const Json& unit : report["units"]) {
    if (unit["port"] == port) return &unit;
  }
  return nullptr;
}

TEST(ProductionLine, ScanFindsEveryKindAndSkipsSilentPorts) {
  LineRig rig;
  rig.Serve("1=silent,3=generator,4=analyzer,6=type2,9=silent,12=generator");
  auto text = rig.Cli("scan");
  EXPECT_EQ(text.exitCode, 0) << text.output;
  EXPECT_EQ(text.output,
            "COM3  generator  address 01:01\n"
            "COM4  analyzer  address 01:01\n"
            "COM12  generator  address 01:01\n");

  auto json = rig.Cli("scan --all-types --json");
  EXPECT_EQ(json.exitCode, 0) << json.output;
  const Json units = Json::parse(json.output, nullptr, false);
  ASSERT_TRUE(units.is_array()) << json.output;
  struct Expected {
    const char* port;
    int type;
    const char* kind;
  } expected[] = {{"COM3", 0, "generator"},
                  {"COM4", 1, "analyzer"},
                  {"COM6", 2, "type2"},
                  {"COM12", 0, "generator"}};
  ASSERT_EQ(units.size(), std::size(expected)) << json.output;
  for (std::size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i]["port"], expected[i].port);
    EXPECT_EQ(units[i]["deviceType"], expected[i].type);
    EXPECT_EQ(units[i]["kind"], expected[i].kind);
    EXPECT_EQ(units[i]["group"], 1);
    EXPECT_EQ(units[i]["machine"], 1);
  }
  const Json ports = rig.StopSims();
  // Probed in both scans, then asked at 8E1 for a waiting MCU bootloader: two sync bytes and
  // the filler that completes a command it was cut in.
  EXPECT_EQ(ports["1"]["bytesIn"], 2 * 10 + 8 * 10 + 2 * (2 + 258))
      << "the silent ports were probed too";
  EXPECT_EQ(ports["6"]["probesAnswered"], 1) << "type 2 is probed only with --all-types";
}

TEST(ProductionLine, ScanWithNothingAnsweringEndsInFailure) {
  LineRig rig;
  rig.Serve("2=silent");
  auto text = rig.Cli("scan");
  EXPECT_EQ(text.exitCode, 1) << text.output;
  EXPECT_NE(text.output.find("no unit answered"), std::string::npos) << text.output;
  auto json = rig.Cli("scan --json");
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_EQ(json.output, "[]\n");
}

TEST(ProductionLine, FourUnitsAreUpdatedAtOnceAndReported) {
  LineRig rig;
  rig.Serve("3=generator,5=generator,8=generator,11=generator");
  const auto fpga = testing::PatternImage(9000, 41);
  const auto mcu = testing::PatternImage(1200, 42);
  rig.work.Write("data/GENERATOR_FPGA.bin", fpga);
  rig.work.Write("data/GENERATOR_MCU(rack).bin", mcu);
  auto run = rig.Cli("--units all --report report.json generator-fpga open generator-mcu");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  // The closing table: one row per unit, each step ok.
  EXPECT_NE(run.output.find("unit   kind       generator-fpga  open"), std::string::npos)
      << run.output;

  const Json report = rig.Report();
  ASSERT_TRUE(report.is_object()) << run.output;
  EXPECT_TRUE(report["startedAt"].is_string());
  EXPECT_TRUE(report["endedAt"].is_string());
  ASSERT_EQ(report["units"].size(), 4u);
  const Json ports = rig.StopSims();
  for (const std::string port : {"3", "5", "8", "11"}) {
    const Json* unit = UnitOn(report, "COM" + port);
    ASSERT_NE(unit, nullptr) << port;
    EXPECT_EQ((*unit)["outcome"], "ok") << port;
    EXPECT_EQ((*unit)["kind"], "generator");
    ASSERT_EQ((*unit)["steps"].size(), 3u);
    EXPECT_EQ((*unit)["steps"][0]["bytes"], fpga.size());
    EXPECT_EQ((*unit)["steps"][0]["sha256"], sim::Sha256Hex(fpga));
    EXPECT_FALSE((*unit)["steps"][1].contains("bytes")) << "open sends no image";
    EXPECT_EQ((*unit)["steps"][2]["sha256"], sim::Sha256Hex(mcu));
    EXPECT_EQ((*unit)["steps"][2]["verified"], true) << "the flash was read back";
    // Backed by what each unit holds.
    EXPECT_EQ(ports[port]["images"]["fpga"]["sha256"],
              sim::Sha256Hex(sim::PaddedToBlocks(fpga, 256, 0)))
        << port;
    EXPECT_EQ(ports[port]["mcu"]["sha256"], sim::Sha256Hex(sim::PaddedToBlocks(mcu, 4, 0xFF)))
        << port;
  }
}

TEST(ProductionLine, SilentWrongAndStalledUnitsAreNamedWhileTheOthersSucceed) {
  LineRig rig;
  rig.Serve("3=generator,5=silent,6=analyzer");
  rig.Serve("7=generator", {"--drop-acks-after", "3"});  // goes silent mid-transfer
  const auto fpga = testing::PatternImage(20000, 43);
  rig.work.Write("data/GENERATOR_FPGA.bin", fpga);
  auto run = rig.Cli(
      "--stall-timeout 2 --parallel 2 --units 3,5,6,7 --report report.json "
      "generator-fpga");
  EXPECT_EQ(run.exitCode, 3) << "stalled outranks failed\n" << run.output;
  for (const std::string line :
       {"COM5: failed: no unit answered the probe on COM5\n",
        "COM6: failed: generator-fpga: Please confirm the device is Signal Generator!\n",
        "COM7: stalled: generator-fpga: no progress for 2 s\n"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << run.output;
  }
  EXPECT_EQ(run.output.find("COM3: failed"), std::string::npos) << run.output;

  const Json report = rig.Report();
  ASSERT_TRUE(report.is_object()) << run.output;
  ASSERT_EQ(report["units"].size(), 4u);
  struct Expected {
    const char* port;
    const char* outcome;
    Json deviceType;
  } expected[] = {{"COM3", "ok", 0},
                  {"COM5", "failed", nullptr},
                  {"COM6", "failed", 1},
                  {"COM7", "stalled", 0}};
  for (const auto& e : expected) {
    const Json* unit = UnitOn(report, e.port);
    ASSERT_NE(unit, nullptr) << e.port;
    EXPECT_EQ((*unit)["outcome"], e.outcome) << e.port;
    EXPECT_EQ((*unit)["deviceType"], e.deviceType) << e.port;
    EXPECT_EQ((*unit)["message"].get<std::string>().empty(), std::string(e.outcome) == "ok");
  }
  const Json* stalled = UnitOn(report, "COM7");
  EXPECT_EQ((*stalled)["steps"][0]["bytes"], fpga.size()) << "part of the image went out";
  const Json ports = rig.StopSims();
  EXPECT_EQ(ports["3"]["images"]["fpga"]["sha256"],
            sim::Sha256Hex(sim::PaddedToBlocks(fpga, 256, 0)));
  EXPECT_EQ(ports["6"]["blockFramesSeen"], 0) << "the analyzer got no generator image";
}

TEST(ProductionLine, APlainFailureBesideSuccessesFailsTheRun) {
  // No stall to outrank it: the one unit that failed decides the exit status by itself.
  LineRig rig;
  rig.Serve("3=generator,4=analyzer,5=generator");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(3000, 46));
  auto run = rig.Cli("--units 3,4,5 --report report.json generator-fpga open");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("COM4: failed: generator-fpga: Please confirm the device is "
                            "Signal Generator!\n"),
            std::string::npos)
      << run.output;
  const Json report = rig.Report();
  ASSERT_TRUE(report.is_object()) << run.output;
  for (const char* port : {"COM3", "COM5"}) EXPECT_EQ((*UnitOn(report, port))["outcome"], "ok");
  const Json& failed = *UnitOn(report, "COM4");
  EXPECT_EQ(failed["outcome"], "failed");
  ASSERT_EQ(failed["steps"].size(), 2u);
  EXPECT_EQ(failed["steps"][1]["outcome"], "not-started") << "open never ran";
}

TEST(ProductionLine, ASingleUnitRunKeepsAReportToo) {
  LineRig rig;
  rig.Serve("4=analyzer");
  rig.work.Write("data/ANALYZER_FPGA.bin", testing::PatternImage(700, 44));
  auto run = rig.Cli("--report one.json search-analyzer analyzer-fpga open generator-fpga");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  const Json report = rig.Report("one.json");
  ASSERT_TRUE(report.is_object()) << run.output;
  ASSERT_EQ(report["units"].size(), 1u);
  const Json& unit = report["units"][0];
  EXPECT_EQ(unit["port"], "COM4");
  EXPECT_EQ(unit["kind"], "analyzer");
  EXPECT_EQ(unit["outcome"], "failed");
  EXPECT_EQ(unit["message"], "generator-fpga: Please confirm the device is Signal Generator!");
  ASSERT_EQ(unit["steps"].size(), 4u);
  EXPECT_EQ(unit["steps"][1]["outcome"], "ok");
  EXPECT_EQ(unit["steps"][1]["bytes"], 700);
  EXPECT_EQ(unit["steps"][3]["outcome"], "failed");
  EXPECT_FALSE(unit["steps"][3].contains("sha256")) << "the failed step sent nothing";
  EXPECT_FALSE(std::filesystem::exists(rig.work.path() / "one.json.tmp"));
}

TEST(ProductionLine, UsageMistakesAreRefused) {
  LineRig rig;
  std::filesystem::create_directories(rig.work.path() / "ports");
  struct Case {
    std::string arguments;
    std::string says;
  } cases[] = {
      {"--units 0 open", "from 1 to 99"},
      {"--units 3,x open", "from 1 to 99"},
      {"--units 3,,4 open", "from 1 to 99"},
      {"--units 3,3 open", "COM3 twice"},
      {"--units 3 search-generator", "no search"},
      {"--units 3 --port 3 open", "no --port"},
      {"--units 3 --parallel 0 open", "--parallel"},
  };
  for (const auto& c : cases) {
    auto result = rig.Cli(c.arguments);
    EXPECT_EQ(result.exitCode, 2) << c.arguments << "\n" << result.output;
    EXPECT_NE(result.output.find(c.says), std::string::npos) << c.arguments << "\n"
                                                             << result.output;
  }
}

TEST(ProductionLine, CtrlCStopsEveryUnitAndLeavesNoChildRunning) {
  LineRig rig;
  // Paced at the line rate so the upload is still running when the operator presses Ctrl-C.
  rig.sims.push_back(std::make_unique<SimProcess>(
      KORVELT_SIM_PATH,
      std::vector<std::string>{"--port-dir", (rig.work.path() / "ports").string(), "--ports",
                               "3=generator,4=generator", "--baud", "115200", "--reply-delay", "0"},
      (rig.work.path() / "sim-0.json").string()));
  ASSERT_TRUE(rig.sims.back()->ready());
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(262144, 45));
  const std::string trace = (rig.work.path() / "trace").string();
  const std::string command = "exec " +
                              rig.CliCommand("--trace " + trace +
                                             " --report report.json --units 3,4 "
                                             "generator-fpga") +
                              " > " + (rig.work.path() / "out.txt").string() + " 2>&1";
  pid_t pid = 0;
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  ASSERT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  // Until both units have taken a few blocks (at most 20 s).
  auto blocksIn = [&](int port) {
    std::ifstream in(trace + ".COM" + std::to_string(port));
    std::string line;
    int blocks = 0;
    while (std::getline(in, line)) blocks += line.find(" OUT aa 00 00 09 01") != std::string::npos;
    return blocks;
  };
  for (int i = 0; i < 200 && (blocksIn(3) < 5 || blocksIn(4) < 5); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_GE(blocksIn(3), 5);
  EXPECT_GE(blocksIn(4), 5);
  ::kill(pid, SIGINT);  // the supervisor alone: it stops its children itself
  int status = 0;
  for (int i = 0; i < 300 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "the supervisor did not end within 15 s";
  }
  std::ifstream in(rig.work.path() / "out.txt");
  const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << output;
  EXPECT_TRUE(testing::UnitChildrenOf(rig.work.path()).empty()) << "no unit child is left running";
  for (int port : {3, 4}) {
    const std::string said = "COM" + std::to_string(port) +
                             ": korvelt-cli: interrupted during 'generator-fpga'; the port is "
                             "closed";
    EXPECT_NE(output.find(said), std::string::npos) << output;
    std::ifstream t(trace + ".COM" + std::to_string(port));
    std::string line, last;
    while (std::getline(t, line)) {
      if (line.find(" CLOSE") != std::string::npos || line.find(" OPEN") != std::string::npos)
        last = line;
    }
    EXPECT_NE(last.find(" CLOSE"), std::string::npos) << "COM" << port << " ends closed";
  }
  const Json report = rig.Report();
  ASSERT_TRUE(report.is_object()) << output;
  ASSERT_EQ(report["units"].size(), 2u);
  for (const Json& unit : report["units"]) {
    EXPECT_EQ(unit["outcome"], "failed");
    EXPECT_EQ(unit["message"].get<std::string>().rfind("interrupted", 0), 0u) << unit.dump();
  }
}

}  // namespace
}  // namespace korvelt
