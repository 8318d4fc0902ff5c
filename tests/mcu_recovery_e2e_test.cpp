// korvelt-cli against korvelt-sim: an MCU update cut on its line is finished by the same
// command while the unit stays powered; a re-powered unit with half a firmware answers nothing;
// scan and --units find a unit waiting in its bootloader; the new firmware is started and must
// answer as the unit the step was for.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <thread>

#include "sim/image_digest.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_workdir.h"

namespace korvelt {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;
using testing::CommandResult;
using testing::RunCommand;
using testing::SimProcess;

struct Rig {
  // `baud` 0 leaves the line unpaced; a rate paces it and lets the unit follow the host's rate.
  explicit Rig(const std::vector<std::string>& simFaults, const std::string& ports = "3=generator",
               const std::string& baud = "0") {
    std::vector<std::string> args = {"--port-dir",    (work.path() / "ports").string(),
                                     "--ports",       ports,
                                     "--baud",        baud,
                                     "--reply-delay", "0"};
    args.insert(args.end(), simFaults.begin(), simFaults.end());
    sim = std::make_unique<SimProcess>(KORVELT_SIM_PATH, args,
                                       (work.path() / "report.json").string());
    work.Write("data/GENERATOR_MCU(rack).bin", image);
  }
  // Each rig keeps its own history: the simulated MCUs' IDs follow their COM numbers, so a
  // history shared between tests would name the kind of another test's unit.
  CommandResult Cli(const std::string& arguments, bool quiet = true) {
    return RunCommand("env KORVELT_HISTORY=" + (work.path() / "history.sqlite").string() + " " +
                          std::string(KORVELT_CLI_PATH) + (quiet ? " -q" : "") + " --port-dir " +
                          (work.path() / "ports").string() + " -C " + work.path().string() + " " +
                          arguments,
                      (work.path() / "cli-output.txt").string(), 120);
  }
  Json Unit() {
    const Json report = sim->Stop();
    return report.is_object() ? report["ports"]["3"] : Json();
  }
  testing::TempWorkDir work;
  std::vector<uint8_t> image = testing::PatternImage(24 * 1024, 77);
  std::unique_ptr<SimProcess> sim;
};

TEST(McuRecoveryEndToEnd, ACutUpdateIsFinishedByTheSameCommand) {
  struct Case {
    const char* cut;
    const char* forMs;  // longer than the run's own three tries
  } cases[] = {{"block=10", "5000"}, {"vector", "5000"}, {"verify", "5000"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cut);
    Rig rig({"--mcu-cut", c.cut, "--mcu-cut-ms", c.forMs});
    ASSERT_TRUE(rig.sim->ready());
    const auto start = std::chrono::steady_clock::now();
    const CommandResult cut = rig.Cli("--port 3 generator-mcu");
    EXPECT_EQ(cut.exitCode, 1) << cut.output;
    EXPECT_NE(cut.output.find("do NOT power it off"), std::string::npos) << cut.output;
    EXPECT_EQ(cut.output.find("re-power"), std::string::npos) << cut.output;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(std::stoi(c.forMs)));
    const CommandResult again = rig.Cli("--port 3 --report cli-report.json generator-mcu");
    EXPECT_EQ(again.exitCode, 0) << again.output;
    const Json unit = rig.Unit();
    EXPECT_EQ(unit["mcu"]["sha256"], sim::Sha256Hex(sim::PaddedToBlocks(rig.image, 4, 0xFF)));
    EXPECT_EQ(unit["mode"], "firmware") << "the new firmware was started";
    std::ifstream in(rig.work.path() / "cli-report.json");
    const Json report = Json::parse(in, nullptr, false);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["units"][0]["steps"][0]["started"], true);
    EXPECT_EQ(report["units"][0]["steps"][0]["verified"], true);
  }
}

TEST(McuRecoveryEndToEnd, ARepoweredUnitWithHalfAFirmwareAnswersNothing) {
  Rig rig({"--mcu-cut", "block=5", "--mcu-cut-ms", "5000"});
  ASSERT_TRUE(rig.sim->ready());
  EXPECT_EQ(rig.Cli("--port 3 generator-mcu").exitCode, 1);
  ::kill(rig.sim->pid(), SIGUSR1);  // what the operator must not do
  std::this_thread::sleep_for(5s);
  const CommandResult again = rig.Cli("--port 3 generator-mcu");
  EXPECT_NE(again.exitCode, 0);
  EXPECT_NE(again.output.find("neither the unit's firmware nor its bootloader answered"),
            std::string::npos)
      << again.output;
  const Json unit = rig.Unit();
  EXPECT_EQ(unit["mode"], "no-firmware");
  EXPECT_EQ(unit["mcu"]["firstWordErased"], true);
}

TEST(McuRecoveryEndToEnd, ScanAndUnitsFindAUnitWaitingInItsBootloader) {
  Rig rig({"--in-bootloader"}, "3=generator,4=silent");
  ASSERT_TRUE(rig.sim->ready());
  const CommandResult scan = rig.Cli("scan");
  EXPECT_EQ(scan.exitCode, 0) << scan.output;
  EXPECT_NE(scan.output.find("COM3  mcu-bootloader"), std::string::npos) << scan.output;
  EXPECT_EQ(scan.output.find("COM4  "), std::string::npos) << scan.output;
  const CommandResult json = rig.Cli("scan --json");
  const Json found = Json::parse(json.output.substr(0, json.output.find('\n')), nullptr, false);
  ASSERT_TRUE(found.is_array()) << json.output;
  EXPECT_EQ(found[0]["kind"], "mcu-bootloader");
  EXPECT_TRUE(found[0]["deviceType"].is_null());
  // Its kind is not known: the port is named and nothing is written.
  const CommandResult unknown = rig.Cli("--units all generator-mcu");
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.output.find("--resume-kind"), std::string::npos) << unknown.output;
  const CommandResult resumed =
      rig.Cli("--units all --resume-kind generator --report cli-report.json generator-mcu");
  EXPECT_EQ(resumed.exitCode, 0) << resumed.output;
  std::ifstream in(rig.work.path() / "cli-report.json");
  const Json report = Json::parse(in, nullptr, false);
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["units"][0]["kind"], "generator");
  EXPECT_EQ(report["units"][0]["steps"][0]["started"], true);
  EXPECT_EQ(rig.Unit()["mcu"]["sha256"], sim::Sha256Hex(sim::PaddedToBlocks(rig.image, 4, 0xFF)));
}

TEST(McuRecoveryEndToEnd, TheStartedFirmwareMustAnswerAsTheUnitTheStepWasFor) {
  {
    Rig rig({"--starts-as", "1"});
    ASSERT_TRUE(rig.sim->ready());
    const CommandResult wrong = rig.Cli("--port 3 generator-mcu");
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_NE(wrong.output.find("wrong firmware for this unit"), std::string::npos) << wrong.output;
  }
  {
    // The unit's MCU names itself by its unique ID, in the report and the MCU line.
    Rig rig({"--mcu-uid", "3=0123456789abcdef00112233"});
    ASSERT_TRUE(rig.sim->ready());
    const CommandResult kept =
        rig.Cli("--port 3 --no-start --report cli-report.json generator-mcu", false);
    EXPECT_EQ(kept.exitCode, 0) << kept.output;
    EXPECT_NE(kept.output.find(", ID 0123456789abcdef00112233"), std::string::npos) << kept.output;
    EXPECT_EQ(rig.Unit()["mode"], "mcu-bootloader");
    std::ifstream in(rig.work.path() / "cli-report.json");
    const Json report = Json::parse(in, nullptr, false);
    EXPECT_FALSE(report["units"][0]["steps"][0].contains("started"));
    EXPECT_EQ(report["units"][0]["mcuUid"], "0123456789abcdef00112233");
  }
}

// The flashing stub through the programs: korvelt-cli loads it into the simulated MCU, whose
// emulated core runs its code; the image is written and checked there, and the new firmware
// started through the ROM bootloader afterwards. Also for units of a line, with a rate switch.
TEST(McuStubEndToEnd, TheStubWritesChecksAndStartsTheImage) {
  struct Case {
    const char* name;
    const char* arguments;
  } cases[] = {
      {"one unit", "--port 3 --mcu-stub --report cli-report.json generator-mcu"},
      {"a line of units, at 230400",
       "--units 3 --mcu-stub --mcu-baud 230400 --report cli-report.json generator-mcu"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig({}, "3=generator", "115200");
    ASSERT_TRUE(rig.sim->ready());
    const CommandResult run = rig.Cli(c.arguments, false);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    std::ifstream in(rig.work.path() / "cli-report.json");
    const Json report = Json::parse(in, nullptr, false);
    ASSERT_TRUE(report.is_object()) << run.output;
    EXPECT_EQ(report["units"][0]["steps"][0]["verified"], true);
    EXPECT_EQ(report["units"][0]["steps"][0]["started"], true);
    const Json unit = rig.Unit();
    EXPECT_EQ(unit["mcu"]["sha256"], sim::Sha256Hex(rig.image));
    EXPECT_EQ(unit["mcu"]["ramCodeRuns"], 1);
    EXPECT_EQ(unit["mcu"]["erases"], 0) << "the stub erased, not the ROM bootloader";
    EXPECT_EQ(unit["mode"], "firmware");
  }
  // Options that cannot go together are a usage error.
  Rig rig({});
  EXPECT_EQ(rig.Cli("--port 3 --mcu-baud 230400 generator-mcu").exitCode, 2);
  EXPECT_EQ(rig.Cli("--port 3 --mcu-stub --written-pacing generator-mcu").exitCode, 2);
}

}  // namespace
}  // namespace korvelt
