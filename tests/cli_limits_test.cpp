// korvelt-cli and korvelt-sim as a new user and a line engineer try them: every run ends by a
// bound whatever the line does, every exit leaves its report, every failure names its cause,
// every argument mistake is refused; the simulator serves each port on its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <regex>

#include "sim/image_digest.h"
#include "tests/support/hex_digits.h"
#include "tests/support/program_rig.h"

namespace korvelt {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
using testing::BackgroundProcess;
using testing::ProgramRig;
using testing::ReadText;
using testing::WaitUntil;

bool Says(const std::string& output, const std::string& text) {
  return output.find(text) != std::string::npos;
}

// FPGA blocks the unit was sent, from a trace.
int BlocksSent(const std::string& trace) {
  std::istringstream in(ReadText(trace));
  int blocks = 0;
  for (std::string line; std::getline(in, line);)
    blocks += line.find(" OUT aa 00 00 09 01") != std::string::npos;
  return blocks;
}

std::vector<std::string> CliArgs(const ProgramRig& rig, std::vector<std::string> args) {
  args.insert(args.begin(), {"--port-dir", rig.PortDir(), "-C", rig.work.path().string()});
  return args;
}

// A --units run on COM3 whose unit child gets `signal` once a few blocks went out: its exit
// status, what it printed, and its report.
int SignalTheUnitMidway(ProgramRig& rig, std::vector<std::string> args, int signal,
                        std::string* output) {
  const std::string trace = (rig.work.path() / "trace").string();
  args.insert(args.begin(), {"--trace", trace, "--report", "report.json", "--units", "3"});
  BackgroundProcess cli(KORVELT_CLI_PATH, CliArgs(rig, args),
                        (rig.work.path() / "out.txt").string());
  EXPECT_TRUE(WaitUntil([&] { return BlocksSent(trace + ".COM3") >= 3; }, 10s));
  for (pid_t child : testing::UnitChildrenOf(rig.work.path())) ::kill(child, signal);
  const int status = cli.Wait(60s);
  *output = ReadText(rig.work.path() / "out.txt");
  return status;
}

TEST(RunLimits, AUnitThatKeepsTalkingEndsAtEachBound) {
  // After four blocks the unit restarts for ever and writes its boot line every 100 ms: bytes
  // keep coming, no block is taken.
  ProgramRig rig;
  rig.Serve("3=generator", {"--boot-loop-after", "4"});
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(65536, 1));
  struct Case {
    std::string args;
    std::string says;
  } cases[] = {
      {"--port 3 --stall-timeout 2 generator-fpga", "stalled: no progress for 2 s"},
      {"--port 3 --stall-timeout 100 --timeout 3 generator-fpga",
       "the step did not end within its limit of 3 s (--timeout)"},
      {"--port 3 --stall-timeout 100 --run-timeout 3 open close open generator-fpga",
       "the run did not end within its limit of 3 s (--run-timeout)"},
  };
  for (const Case& c : cases) {
    const auto result = rig.Cli(c.args, 60);
    EXPECT_EQ(result.exitCode, 3) << c.args << "\n" << result.output;
    EXPECT_TRUE(Says(result.output, c.says)) << c.args << "\n" << result.output;
    EXPECT_LT(result.seconds, 10) << c.args;
  }
}

TEST(RunLimits, TheSupervisorEndsAUnitThatDoesNotEndByItself) {
  // A unit child that hangs (stopped here) would hold the run for ever.
  ProgramRig rig;
  rig.Serve("3=generator", {}, "115200");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(262144, 2));
  std::string output;
  const int status = SignalTheUnitMidway(
      rig, {"--run-timeout", "3", "--stall-timeout", "100", "generator-fpga"}, SIGSTOP, &output);
  EXPECT_EQ(status, 3) << output;
  const Json report = rig.Report();
  ASSERT_TRUE(report.is_object()) << output;
  const Json& unit = report["units"][0];
  EXPECT_EQ(unit["outcome"], "stalled");
  EXPECT_TRUE(Says(unit["message"].get<std::string>(), "did not end within the run's limit of 3 s"))
      << unit.dump();
  ASSERT_EQ(unit["steps"].size(), 1u);
  EXPECT_EQ(unit["steps"][0]["outcome"], "stalled");
  EXPECT_GT(unit["steps"][0].value("bytesSent", 0), 0);
  EXPECT_TRUE(testing::UnitChildrenOf(rig.work.path()).empty());
}

TEST(Exits, ACrashedUnitIsNamedWithItsSignalAndItsStepFails) {
  ProgramRig rig;
  rig.Serve("3=generator", {}, "115200");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(262144, 3));
  std::string output;
  // SIGABRT (an assertion, std::terminate): the sanitizers' builds take SIGSEGV over and exit.
  const int status = SignalTheUnitMidway(rig, {"generator-fpga", "open"}, SIGABRT, &output);
  EXPECT_EQ(status, 1) << output;
  EXPECT_TRUE(Says(output, "signal 6")) << output;
  const Json report = rig.Report();
  ASSERT_TRUE(report.is_object()) << output;
  const Json& unit = report["units"][0];
  EXPECT_EQ(unit["outcome"], "failed");
  EXPECT_TRUE(Says(unit["message"].get<std::string>(),
                   "generator-fpga: the unit's process was ended by signal 6"))
      << unit.dump();
  ASSERT_EQ(unit["steps"].size(), 2u) << unit.dump();
  EXPECT_EQ(unit["steps"][0]["outcome"], "failed") << "half an FPGA image went out";
  EXPECT_GT(unit["steps"][0].value("bytesSent", 0), 0);
  EXPECT_EQ(unit["steps"][1]["outcome"], "not-started");
}

TEST(Exits, AReaderThatGoesAwayOrAHangUpStillLeavesAReport) {
  ProgramRig rig;
  rig.Serve("3=generator", {}, "115200");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(32768, 4));
  // `| head`: every write after the reader left fails; the run goes on to its end.
  const auto piped = testing::RunCommand(
      "bash -c '" + rig.CliCommand("--port 3 --report piped.json generator-fpga") +
          " 2>&1 | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}'",
      (rig.work.path() / "pipe.txt").string(), 60);
  EXPECT_EQ(piped.exitCode, 0) << piped.output;
  const Json done = rig.Report("piped.json");
  ASSERT_TRUE(done.is_object());
  EXPECT_EQ(done["units"][0]["outcome"], "ok");

  // A dropped ssh session: a hang-up is an interruption, with its report.
  BackgroundProcess cli(KORVELT_CLI_PATH,
                        CliArgs(rig, {"--port", "3", "--report", "hup.json", "open", "close",
                                      "open", "generator-fpga"}),
                        (rig.work.path() / "hup.txt").string());
  std::this_thread::sleep_for(1500ms);
  cli.Signal(SIGHUP);
  EXPECT_EQ(cli.Wait(30s), 130) << ReadText(rig.work.path() / "hup.txt");
  const Json hung = rig.Report("hup.json");
  ASSERT_TRUE(hung.is_object()) << ReadText(rig.work.path() / "hup.txt");
  const Json& steps = hung["units"][0]["steps"];
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[3]["outcome"], "interrupted");
}

TEST(Exits, AReportThatCannotBeWrittenIsFoundBeforeAnyUnitIsTouched) {
  ProgramRig rig;
  rig.Serve("3=generator,4=generator");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(2048, 5));
  for (const char* args : {"--port 3 --report no/such/folder/r.json generator-fpga",
                           "--units 3,4 --report no/such/folder/r.json generator-fpga",
                           "--port 3 --report data generator-fpga"}) {
    const auto result = rig.Cli(args, 30);
    EXPECT_EQ(result.exitCode, 2) << args << "\n" << result.output;
    EXPECT_TRUE(Says(result.output, "the report cannot be written")) << result.output;
  }
  const Json ports = rig.StopSims();
  for (const char* port : {"3", "4"}) EXPECT_EQ(ports[port]["bytesIn"], 0) << port;
}

TEST(Report, APathThatIsNoUtf8IsReplacedNotFatal) {
  ProgramRig rig;
  rig.Serve("3=generator");
  const std::string name = "fw\xff\xfe.hex";
  rig.work.Write(name, {':', '1', '0', 'Z', '\n'});
  const auto result = rig.Cli("--port 3 --report r.json 'generator-mcu=" + name + "'", 30);
  EXPECT_EQ(result.exitCode, 1) << result.output;
  const Json report = rig.Report("r.json");
  ASSERT_TRUE(report.is_object()) << result.output;
  const std::string message = report["units"][0]["message"];
  EXPECT_TRUE(Says(message, "fw\xEF\xBF\xBD\xEF\xBF\xBD.hex")) << message;
}

TEST(Report, APortRunNamesItsUnitEachFileAndWhatWasSent) {
  ProgramRig rig;
  rig.Serve("3=generator", {"--address", "2:5"});
  const std::vector<uint8_t> image = testing::PatternImage(600, 6);
  std::string hex = testing::HexRecordLine(0x04, 0, {0x08, 0x00});
  for (std::size_t at = 0; at < image.size(); at += 32) {
    hex += testing::HexRecordLine(
        0, static_cast<uint16_t>(at),
        {image.begin() + static_cast<long>(at),
         image.begin() + static_cast<long>(std::min<std::size_t>(at + 32, image.size()))});
  }
  hex += testing::HexRecordLine(0x01, 0, {});
  const std::vector<uint8_t> file(hex.begin(), hex.end());
  rig.work.Write("fw.hex", file);
  const auto result = rig.Cli("--port 3 --report r.json generator-mcu=fw.hex analyzer-fpga open");
  EXPECT_EQ(result.exitCode, 1) << result.output;
  const Json report = rig.Report("r.json");
  ASSERT_TRUE(report.is_object()) << result.output;
  EXPECT_EQ(report["schemaVersion"], 1);
  EXPECT_EQ(report["tool"].get<std::string>().rfind("korvelt-cli ", 0), 0u);
  const Json& unit = report["units"][0];
  EXPECT_EQ(unit["kind"], "generator");
  EXPECT_EQ(unit["group"], 2);
  EXPECT_EQ(unit["machine"], 5);
  ASSERT_EQ(unit["steps"].size(), 3u);
  const Json& mcu = unit["steps"][0];
  EXPECT_EQ(mcu["sha256"], sim::Sha256Hex(image)) << "the image as written";
  EXPECT_EQ(mcu["fileSha256"], sim::Sha256Hex(file)) << "the file as it lies on the disk";
  EXPECT_EQ(mcu["file"], "fw.hex");
  EXPECT_EQ(mcu["bytesSent"], image.size());
  EXPECT_EQ(unit["steps"][1]["outcome"], "failed");
  EXPECT_EQ(unit["steps"][2]["outcome"], "not-started");
}

TEST(Arguments, MistakesAreRefusedAndEveryCommandHasItsHelp) {
  ProgramRig rig;
  std::filesystem::create_directories(rig.work.path() / "ports");
  struct Case {
    std::string args;
    int exit;
    std::string says;
    std::string saysNot;
  } cases[] = {
      {"--units '' open", 2, "--units wants COM numbers", ""},
      {"--stall-timeout nan open", 2, "positive number of seconds", ""},
      {"--timeout inf open", 2, "positive number of seconds", ""},
      {"--run-timeout -1 open", 2, "positive number of seconds", ""},
      {"--units 3 scan", 2, "korvelt-cli scan: --units does not apply", ""},
      {"scan --units 3", 2, "--units", ""},
      {"--report r.json ports", 2, "korvelt-cli ports: --report does not apply", ""},
      {"open ports", 2, "korvelt-cli ports: takes no steps ('open')", ""},
      {"ports open", 2, "not expected: open", ""},
      {"scan --help", 0, "--json", "--units"},
      {"--help", 0, "130 interrupted", ""},
      {"", 2, "no step given", ""},
  };
  for (const Case& c : cases) {
    const auto result = rig.Cli(c.args, 30);
    EXPECT_EQ(result.exitCode, c.exit) << c.args << "\n" << result.output;
    EXPECT_TRUE(Says(result.output, c.says)) << c.args << "\n" << result.output;
    if (!c.saysNot.empty()) EXPECT_FALSE(Says(result.output, c.saysNot)) << c.args;
  }
}

TEST(Arguments, RelativePathsOfTheRunAreTheStartingFolders) {
  // --port-dir and --report from where korvelt-cli starts; the images from the -C folder.
  ProgramRig rig;
  rig.Serve("3=generator");
  const auto image = testing::PatternImage(1000, 7);
  std::filesystem::create_directories(rig.work.path() / "images/data");
  rig.work.Write("images/data/GENERATOR_FPGA.bin", image);
  const auto result =
      testing::RunCommand("sh -c 'cd " + rig.work.path().string() + " && " + KORVELT_CLI_PATH +
                              " --port-dir ports -C images --report r.json "
                              "--port 3 generator-fpga'",
                          (rig.work.path() / "out.txt").string(), 30);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_TRUE(rig.Report("r.json").is_object());
  const Json ports = rig.StopSims();
  EXPECT_EQ(ports["3"]["images"]["fpga"]["sha256"],
            sim::Sha256Hex(sim::PaddedToBlocks(image, 256, 0)));
}

TEST(Reasons, APortThatDoesNotOpenSaysWhy) {
  ProgramRig rig;
  rig.Serve("3=generator,4=generator");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(1000, 8));
  // A terminal program holds COM3 without a lock.
  const std::string device = std::filesystem::read_symlink(rig.work.path() / "ports/COM3");
  BackgroundProcess holder("/bin/sh", {"-c", "exec sleep 60 < " + device},
                           (rig.work.path() / "holder.txt").string());
  std::this_thread::sleep_for(300ms);
  const std::string busy =
      "COM3 (" + device + "): busy: held by process " + std::to_string(holder.pid()) + " (sleep)";
  const auto units = rig.Cli("--units 3,4,9 generator-fpga", 60);
  EXPECT_EQ(units.exitCode, 1) << units.output;
  EXPECT_TRUE(Says(units.output, "COM3: failed: " + busy)) << units.output;
  EXPECT_TRUE(Says(units.output, "COM9: failed: COM9: no such device")) << units.output;
  EXPECT_FALSE(Says(units.output, "COM4: failed")) << units.output;
  const auto scan = rig.Cli("scan", 30);
  EXPECT_EQ(scan.exitCode, 0) << scan.output;
  EXPECT_TRUE(Says(scan.output, busy)) << "a busy port is not left out silently\n" << scan.output;
}

TEST(Reasons, APulledCableIsToldAsSuch) {
  ProgramRig rig;
  const std::string control = (rig.work.path() / "control").string();
  rig.Serve("3=generator", {"--control", control}, "115200");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(131072, 9));
  BackgroundProcess cli(KORVELT_CLI_PATH, CliArgs(rig, {"--port", "3", "generator-fpga"}),
                        (rig.work.path() / "out.txt").string());
  std::this_thread::sleep_for(1500ms);
  std::ofstream(control, std::ios::app) << "unplug 3\n";
  EXPECT_EQ(cli.Wait(30s), 1);
  const std::string output = ReadText(rig.work.path() / "out.txt");
  EXPECT_TRUE(Says(output, "COM3: the device went away (unplugged?)")) << output;
  EXPECT_FALSE(Says(output, "ReadFile")) << "no Windows call on Linux\n" << output;
}

TEST(Simulator, FaultCountersAreEachPortsOwn) {
  // "After 5 blocks" is each unit's fifth block, not the fifth of all units together.
  ProgramRig rig;
  rig.Serve("3=generator,4=generator", {"--drop-acks-after", "5"});
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(10 * 256, 10));
  const auto run = rig.Cli("--stall-timeout 1 --units 3,4 generator-fpga", 60);
  EXPECT_EQ(run.exitCode, 3) << run.output;
  const Json ports = rig.StopSims();
  for (const char* port : {"3", "4"})
    EXPECT_EQ(ports[port]["images"]["fpga"]["blocksAccepted"], 5) << port;
}

TEST(Simulator, APortIsNeverTakenOverAndBadEntriesAreRefused) {
  ProgramRig rig;
  rig.Serve("3=generator");
  const std::string sim = std::string(KORVELT_SIM_PATH) + " --port-dir " + rig.PortDir();
  struct Case {
    std::string args;
    int exit;
    std::string says;
  } cases[] = {
      {"--ports 4=generator,4=analyzer", 2, "COM4 is given twice"},
      {"--ports 3x=generator", 2, "bad port entry '3x=generator'"},
      {"--ports 4=generator --event 'soon unplug 4'", 2, "the time must be seconds"},
      {"--ports 3=analyzer", 1,
       "COM3 in " + rig.PortDir() + " is served by another simulator (process " +
           std::to_string(rig.sims[0]->pid()) + ")"},
  };
  for (const Case& c : cases) {
    const auto result =
        testing::RunCommand(sim + " " + c.args, (rig.work.path() / "sim.txt").string(), 10);
    EXPECT_EQ(result.exitCode, c.exit) << c.args << "\n" << result.output;
    EXPECT_TRUE(Says(result.output, c.says)) << c.args << "\n" << result.output;
  }
  // The first simulator still serves its unit.
  const auto scan = rig.Cli("scan", 30);
  EXPECT_EQ(scan.output, "COM3  generator  address 01:01\n");
}

TEST(Simulator, OneUnitIsPoweredOrUnpluggedAlone) {
  ProgramRig rig;
  const std::string control = (rig.work.path() / "control").string();
  rig.Serve("3=generator,4=generator", {"--control", control});
  rig.Serve("5=generator", {"--event", "0 unplug 5", "--event", "4 plug 5"});
  rig.work.Write("data/GENERATOR_MCU(rack).bin", testing::PatternImage(512, 11));
  std::string lastScan;  // shown when a wait fails
  auto answers = [&](int com) {
    lastScan = rig.Cli("scan", 30).output;
    return Says(lastScan, "COM" + std::to_string(com) + "  generator");
  };
  auto command = [&](const std::string& line) {
    std::ofstream(control, std::ios::app) << line << "\n";
  };
  EXPECT_TRUE(WaitUntil([&] { return !answers(5); }, 3s)) << "COM5 unplugged from the start";
  // Both MCUs stay in their bootloaders after an update that does not start the new firmware,
  // until the unit is powered again.
  ASSERT_EQ(rig.Cli("--units 3,4 --no-start generator-mcu", 60).exitCode, 0);
  command("power-cycle 3");
  EXPECT_TRUE(WaitUntil([&] { return answers(3) && !answers(4); }, 10s)) << lastScan;
  command("unplug 3");
  command("power-cycle 4");
  EXPECT_TRUE(WaitUntil([&] { return answers(4) && !answers(3); }, 10s)) << lastScan;
  command("plug 3");
  EXPECT_TRUE(WaitUntil([&] { return answers(3) && answers(4); }, 10s)) << lastScan;
  EXPECT_TRUE(WaitUntil([&] { return answers(5); }, 10s)) << "COM5 back by its timed command";
}

}  // namespace
}  // namespace korvelt
