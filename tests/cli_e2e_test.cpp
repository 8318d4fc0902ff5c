// korvelt-cli against korvelt-sim over pseudo-terminals: every kind of step, the exit codes,
// and what the virtual units received.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "sim/image_digest.h"
#include "tests/support/hex_digits.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_workdir.h"

namespace korvelt {
namespace {

using Json = nlohmann::json;
using testing::CommandResult;
using testing::RunCommand;
using testing::SimProcess;

std::string Sha256(const std::vector<uint8_t>& bytes) {
  return sim::Sha256Hex(bytes);
}

std::vector<uint8_t> Padded(std::vector<uint8_t> image, std::size_t block, uint8_t fill) {
  return sim::PaddedToBlocks(std::move(image), block, fill);
}

struct CliRig {
  explicit CliRig(const std::string& ports, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--port-dir",    (work.path() / "ports").string(),
                                     "--ports",       ports,
                                     "--baud",        "0",
                                     "--reply-delay", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<SimProcess>(KORVELT_SIM_PATH, args,
                                       (work.path() / "report.json").string());
  }
  CommandResult Cli(const std::string& arguments) {
    return RunCommand(std::string(KORVELT_CLI_PATH) + " --port-dir " +
                          (work.path() / "ports").string() + " -C " + work.path().string() + " " +
                          arguments,
                      (work.path() / "cli-output.txt").string());
  }
  testing::TempWorkDir work;
  std::unique_ptr<SimProcess> sim;
};

TEST(CliEndToEnd, EveryKindOfStep) {
  CliRig rig("1=silent,3=generator,4=analyzer,6=generator,7=generator,8=type2");
  ASSERT_TRUE(rig.sim->ready());
  const auto genFpga = testing::PatternImage(70000, 1);
  const auto aux = testing::PatternImage(3000, 2);
  const auto dataFlash = testing::PatternImage(600, 3);
  const auto nand = testing::PatternImage(9000, 4);
  const auto genMcu = testing::PatternImage(2000, 5);
  const auto anaFpga = testing::PatternImage(5000, 6);
  const auto anaMcu = testing::PatternImage(1500, 7);
  const auto board = testing::PatternImage(9000, 8);
  rig.work.Write("data/GENERATOR_FPGA.bin", genFpga);
  rig.work.Write("data/GENERATOR_MCU(rack).bin", genMcu);
  rig.work.Write("data/ANALYZER_FPGA.bin", anaFpga);
  rig.work.Write("data/ANALYZER_MCU(rack).bin", anaMcu);
  rig.work.Write("aux.bin", aux);
  rig.work.Write("flash.bin", dataFlash);
  rig.work.Write("nand.bin", nand);
  rig.work.Write("board.bin", board);
  std::filesystem::create_directories(rig.work.path() / "FlyMcu");
  const auto tool = rig.work.path() / "FlyMcu/FlyMcu.exe";
  std::ofstream(tool) << "#!/bin/sh\necho started > \"$(dirname \"$0\")/started.txt\"\n";
  std::filesystem::permissions(tool, std::filesystem::perms::owner_all);

  auto generator = rig.Cli(
      "search-generator generator-fpga open aux-fpga=aux.bin open generator-data-flash=flash.bin "
      "open nand-flash=nand.bin open generator-mcu");
  EXPECT_EQ(generator.exitCode, 0) << generator.output;
  auto analyzer =
      rig.Cli("search-analyzer analyzer-fpga open analyzer-data-flash=flash.bin open analyzer-mcu");
  EXPECT_EQ(analyzer.exitCode, 0) << analyzer.output;
  auto inputBoard = rig.Cli("--port 6 --allow-placeholder-loader input-board=3:board.bin");
  EXPECT_EQ(inputBoard.exitCode, 0) << inputBoard.output;
  auto subMcu = rig.Cli("--port 7 sub-mcu=10");
  EXPECT_EQ(subMcu.exitCode, 0) << subMcu.output;
  auto small = rig.Cli("search-type=2 close open close data-flash-no=3716");
  EXPECT_EQ(small.exitCode, 0) << small.output;
  auto notFound = rig.Cli("search-type=5");
  EXPECT_EQ(notFound.exitCode, 1) << notFound.output;
  EXPECT_NE(notFound.output.find("ISP: Can not find available device"), std::string::npos);

  const Json report = rig.sim->Stop();
  ASSERT_TRUE(report.is_object());
  const Json& com3 = report["ports"]["3"];
  // korvelt-cli's MCU blocks end on a word: the last one is padded to a multiple of 4.
  EXPECT_EQ(com3["images"]["fpga"]["sha256"], Sha256(Padded(genFpga, 256, 0)));
  EXPECT_EQ(com3["images"]["aux-fpga"]["sha256"], Sha256(Padded(aux, 256, 0)));
  EXPECT_EQ(com3["images"]["data-flash"]["sha256"], Sha256(Padded(dataFlash, 256, 0)));
  EXPECT_EQ(com3["images"]["nand"]["sha256"], Sha256(Padded(nand, 256, 0)));
  EXPECT_EQ(com3["mcu"]["sha256"], Sha256(Padded(genMcu, 4, 0xFF)));
  const Json& com4 = report["ports"]["4"];
  EXPECT_EQ(com4["images"]["fpga"]["sha256"], Sha256(Padded(anaFpga, 256, 0)));
  EXPECT_EQ(com4["mcu"]["sha256"], Sha256(Padded(anaMcu, 4, 0xFF)));
  EXPECT_EQ(report["ports"]["6"]["inputBoard"]["sha256"], Sha256(board));
  EXPECT_EQ(report["ports"]["6"]["inputBoard"]["board"], 3);
  EXPECT_EQ(report["ports"]["7"]["subMcuRequested"], "20");
  EXPECT_TRUE(std::filesystem::exists(rig.work.path() / "FlyMcu/started.txt"));
  EXPECT_EQ(report["ports"]["8"]["probesAnswered"], 1);
}

TEST(CliEndToEnd, GeneratorThenAnalyzerMcuInOneRun) {
  // The second MCU update of a run reopens its port for the bootloader like the first.
  CliRig rig("3=generator,4=analyzer");
  ASSERT_TRUE(rig.sim->ready());
  const auto genMcu = testing::PatternImage(1000, 31);
  const auto anaMcu = testing::PatternImage(1300, 32);
  rig.work.Write("data/GENERATOR_MCU(rack).bin", genMcu);
  rig.work.Write("data/ANALYZER_MCU(rack).bin", anaMcu);
  auto run =
      rig.Cli("--stall-timeout 10 search-generator generator-mcu search-analyzer analyzer-mcu");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  const Json report = rig.sim->Stop();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["ports"]["3"]["mcu"]["sha256"], Sha256(Padded(genMcu, 4, 0xFF)));
  EXPECT_EQ(report["ports"]["4"]["mcu"]["sha256"], Sha256(Padded(anaMcu, 4, 0xFF)));
}

std::string Digits(const std::vector<uint8_t>& bytes) {
  return testing::HexDigits(bytes);
}

// Intel HEX or S-record lines for `image` at flash offset `at`, 32 bytes a record.
std::string Records(bool hex, const std::vector<uint8_t>& image, uint32_t at) {
  std::string text;
  for (std::size_t i = 0; i < image.size(); i += 32) {
    const uint32_t address = 0x08000000 + at + static_cast<uint32_t>(i);
    std::vector<uint8_t> r;
    if (hex) {
      r = {0x02, 0, 0, 0x04, uint8_t(address >> 24), uint8_t(address >> 16)};
      uint8_t sum = 0;
      for (uint8_t b : r) sum = uint8_t(sum + b);
      text += ":" + Digits(r) + Digits({uint8_t(-sum)}) + "\n";
      r = {0, uint8_t(address >> 8), uint8_t(address), 0x00};
    } else {
      r = {0, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
           uint8_t(address)};
    }
    const std::size_t n = std::min<std::size_t>(32, image.size() - i);
    r.insert(r.end(), image.begin() + long(i), image.begin() + long(i + n));
    r[0] = hex ? uint8_t(n) : uint8_t(r.size());
    uint8_t sum = 0;
    for (uint8_t b : r) sum = uint8_t(sum + b);
    text += (hex ? ":" : "S3") + Digits(r) + Digits({hex ? uint8_t(-sum) : uint8_t(~sum)}) + "\n";
  }
  return text;
}

TEST(CliEndToEnd, HexAndSRecordFilesWithAGap) {
  for (bool hex : {true, false}) {
    SCOPED_TRACE(hex ? "hex" : "srec");
    CliRig rig("3=generator", {"--mcu-extended-erase", "--mcu-flash-kib", "64"});
    ASSERT_TRUE(rig.sim->ready());
    const auto low = testing::PatternImage(1000, 41);
    const auto high = testing::PatternImage(700, 42);
    const std::string text = Records(hex, low, 0) + Records(hex, high, 0x4000) +
                             (hex ? ":00000001FF\n" : "S70508000000F2\n");
    const std::string name = hex ? "fw.hex" : "fw.srec";
    rig.work.Write(name, std::vector<uint8_t>(text.begin(), text.end()));
    auto run = rig.Cli("--port 3 --trace trace.txt generator-mcu=" + name);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("MCU 0x410, bootloader 2.2, 64 KiB flash"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(", verified"), std::string::npos) << run.output;
    const Json report = rig.sim->Stop();
    std::vector<uint8_t> want(0x4000 + 700, 0xFF);
    std::copy(low.begin(), low.end(), want.begin());
    std::copy(high.begin(), high.end(), want.begin() + 0x4000);
    EXPECT_EQ(report["ports"]["3"]["mcu"]["sha256"], Sha256(want));
    // Blocks to 0x08000400 and from 0x08004000: none in the gap.
    EXPECT_EQ(report["ports"]["3"]["mcu"]["writesAccepted"], 4 + 3);
  }
}

TEST(CliEndToEnd, McuRefusalsBeforeAnythingIsErased) {
  struct Case {
    const char* name;
    std::vector<std::string> sim;
    std::string file;
    std::vector<uint8_t> bytes;
    const char* says;
  };
  const Case cases[] = {
      {"too large",
       {"--mcu-flash-kib", "16"},
       "big.bin",
       testing::PatternImage(20000, 43),
       "The image is 20000 bytes; the MCU has 16 KiB of flash. Nothing was erased."},
      {"elf",
       {},
       "fw.elf",
       {0x7F, 'E', 'L', 'F', 2, 1, 1, 0},
       "is an ELF file: convert it with objcopy -O ihex"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CliRig rig("3=generator", c.sim);
    ASSERT_TRUE(rig.sim->ready());
    rig.work.Write(c.file, c.bytes);
    auto run = rig.Cli("--port 3 generator-mcu=" + c.file);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    const Json report = rig.sim->Stop();
    EXPECT_EQ(report["ports"]["3"]["mcu"]["bytes"], 0) << "nothing written";
  }
}

// A protected page takes the writes without programming them: only the read-back sees it,
// and the report must say the step failed and was not verified.
TEST(CliEndToEnd, ProtectedPageFailsTheReadBack) {
  CliRig rig("3=generator", {"--mcu-protect", "08000400"});
  ASSERT_TRUE(rig.sim->ready());
  rig.work.Write("data/GENERATOR_MCU(rack).bin", testing::PatternImage(2048, 45));
  auto run = rig.Cli("--port 3 --report run.json generator-mcu");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("the flash at 0x08000400 does not hold the image"), std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("Succeed"), std::string::npos) << run.output;
  std::ifstream file(rig.work.path() / "run.json");
  const Json report = Json::parse(file, nullptr, false);
  ASSERT_TRUE(report.is_object()) << run.output;
  const Json& step = report["units"][0]["steps"][0];
  EXPECT_EQ(step["outcome"], "failed");
  EXPECT_EQ(step["verified"], false);
}

TEST(CliEndToEnd, WrittenPacingOnRequest) {
  CliRig rig("3=generator");
  ASSERT_TRUE(rig.sim->ready());
  const auto image = testing::PatternImage(300, 44);
  rig.work.Write("data/GENERATOR_MCU(rack).bin", image);
  auto run = rig.Cli("--port 3 --written-pacing --no-verify generator-mcu");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output.find(", verified"), std::string::npos) << run.output;
  const Json report = rig.sim->Stop();
  EXPECT_EQ(report["ports"]["3"]["mcu"]["sha256"], Sha256(Padded(image, 128, 0xFF)));
  EXPECT_EQ(report["ports"]["3"]["mcu"]["writesAccepted"], 3) << "128-byte blocks";
}

TEST(CliEndToEnd, BadImagesSayWhyAndSendNothing) {
  CliRig rig("3=generator");
  ASSERT_TRUE(rig.sim->ready());
  struct Case {
    const char* name;
    std::function<void(CliRig&)> prepare;
    std::string step;
    std::string says;
  } cases[] = {
      {"missing", [](CliRig&) {}, "generator-fpga", "Can not find GENERATOR_MCU.bin !"},
      {"empty", [](CliRig& r) { r.work.Write("data/GENERATOR_FPGA.bin", {}); }, "generator-fpga",
       "is empty. Nothing was sent."},
      {"a folder",
       [](CliRig& r) {
         std::filesystem::remove(r.work.path() / "data/GENERATOR_FPGA.bin");
         std::filesystem::create_directory(r.work.path() / "data/GENERATOR_FPGA.bin");
       },
       "generator-fpga", "Can not find GENERATOR_MCU.bin !"},
      {"16 MiB + 1", [](CliRig& r) { r.work.Write("big.bin", std::vector<uint8_t>(16777217, 1)); },
       "nand-flash=big.bin", "at most 16777216 bytes"},
      {"chosen file missing", [](CliRig&) {}, "aux-fpga=nowhere.bin", "Open file failed!"},
  };
  for (const auto& c : cases) {
    c.prepare(rig);
    auto result = rig.Cli("--port 3 " + c.step);
    EXPECT_EQ(result.exitCode, 1) << c.name << "\n" << result.output;
    EXPECT_NE(result.output.find(c.says), std::string::npos) << c.name << "\n" << result.output;
  }
  const Json report = rig.sim->Stop();
  EXPECT_EQ(report["ports"]["3"]["bytesIn"], 0) << "nothing reached the unit";
}

TEST(CliEndToEnd, RefusedMcuWritesEndInFailure) {
  CliRig rig("3=generator", {"--mcu-nack-writes"});
  ASSERT_TRUE(rig.sim->ready());
  rig.work.Write("data/GENERATOR_MCU(rack).bin", testing::PatternImage(512, 9));
  auto result = rig.Cli("--port 3 generator-mcu");
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_NE(result.output.find("Failed to update MCU firmware"), std::string::npos);
  EXPECT_EQ(result.output.find("Succeed"), std::string::npos);
}

// The unit answers the MCU request with the fallback line, then with the ISP banner while the
// recogniser still pauses before it repeats the request: the banner waits in the port and must
// reach the recogniser before the repeated request is written (and its purge runs).
TEST(CliEndToEnd, BannerAfterFallbackLineStartsTheMcuUpdate) {
  for (const char* gapMs : {"150", "300"}) {
    SCOPED_TRACE(std::string("banner ") + gapMs + " ms after the fallback line");
    CliRig rig("3=generator", {"--banner-after-fallback", gapMs});
    ASSERT_TRUE(rig.sim->ready());
    const auto image = testing::PatternImage(1500, 12);
    rig.work.Write("data/GENERATOR_MCU(rack).bin", image);
    auto result = rig.Cli("--stall-timeout 10 --port 3 generator-mcu");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    const Json report = rig.sim->Stop();
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report["ports"]["3"]["mcu"]["sha256"], Sha256(Padded(image, 4, 0xFF)));
  }
}

TEST(CliEndToEnd, SilentUnitStallsWithinTheLimit) {
  CliRig rig("3=generator", {"--drop-acks-after", "5"});
  ASSERT_TRUE(rig.sim->ready());
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(65536, 10));
  auto result = rig.Cli("--stall-timeout 2 --port 3 generator-fpga");
  EXPECT_EQ(result.exitCode, 3) << result.output;
  EXPECT_LT(result.seconds, 8.0);
  EXPECT_NE(result.output.find("stalled"), std::string::npos);
}

TEST(CliEndToEnd, UsageAndBadInput) {
  testing::TempWorkDir work;
  const std::string cli = KORVELT_CLI_PATH;
  const std::string scratch = (work.path() / "out.txt").string();
  struct Case {
    std::string arguments;
    int exitCode;
    std::string says;
  } cases[] = {
      {"bogus-step", 2, "unknown step"},
      {"--port 0 open", 2, "--port"},
      {"--port 100 open", 2, "--port"},
      {"--port -1 open", 2, "--port"},
      {"--port-dir /nonexistent/ports open", 2, "does not exist"},
      {"input-board=5:x.bin", 2, "1 to 4"},
      {"--port-dir " + work.path().string() + " open", 1,
       "Can not find this port or used by other application\n"
       "COM1: no such device; `korvelt-cli ports` lists the ports\n"},
  };
  for (const auto& c : cases) {
    auto result = RunCommand(cli + " " + c.arguments, scratch);
    EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << "\n" << result.output;
    EXPECT_NE(result.output.find(c.says), std::string::npos) << c.arguments << "\n"
                                                             << result.output;
  }
}

TEST(CliEndToEnd, MissingImageSaysSoAndSendsNothing) {
  CliRig rig("3=generator");
  ASSERT_TRUE(rig.sim->ready());
  auto result = rig.Cli("--port 3 generator-fpga");
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_NE(result.output.find("korvelt-updater: Can not find GENERATOR_MCU.bin !"),
            std::string::npos)
      << result.output;
  const Json report = rig.sim->Stop();
  EXPECT_EQ(report["ports"]["3"]["bytesIn"], 0);
}

TEST(CliEndToEnd, EveryProgramSaysItsVersion) {
  testing::TempWorkDir work;
  const std::string scratch = (work.path() / "out.txt").string();
  const std::regex versionLine("(korvelt-cli|korvelt-sim) [0-9]+\\.[0-9]+\\.[0-9]+( \\(.+\\))?\n");
  for (const std::string program : {KORVELT_CLI_PATH, KORVELT_SIM_PATH}) {
    auto result = RunCommand(program + " --version", scratch);
    EXPECT_EQ(result.exitCode, 0) << program;
    EXPECT_TRUE(std::regex_match(result.output, versionLine)) << result.output;
  }
}

TEST(CliEndToEnd, AHeldPortSaysWhoHoldsIt) {
  CliRig rig("3=generator");
  ASSERT_TRUE(rig.sim->ready());
  const std::string device = std::filesystem::read_symlink(rig.work.path() / "ports/COM3");
  // flock(1) holds the lock the updater takes, in a process group of its own.
  pid_t holder = ::fork();
  if (holder == 0) {
    ::setpgid(0, 0);
    ::execlp("flock", "flock", device.c_str(), "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(holder, 0);
  CommandResult result;
  for (int attempt = 0; attempt < 50; ++attempt) {  // until the holder has the lock
    result = rig.Cli("--port 3 open");
    if (result.exitCode != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(-holder, SIGTERM);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(result.exitCode, 1) << result.output;
  const std::regex told(
      "korvelt-updater: Can not find this port or used by other application\n"
      "COM3 \\(" +
      device + "\\): busy: held by process [0-9]+ \\((flock|sleep)\\)\n");
  EXPECT_TRUE(std::regex_search(result.output, told)) << result.output;
}

TEST(CliEndToEnd, StepsEndWithASummaryAndSearchesShowNoBar) {
  CliRig rig("3=generator,5=generator");  // a virtual board takes one transfer
  ASSERT_TRUE(rig.sim->ready());
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(65536, 11));
  rig.work.Write("board.bin", testing::PatternImage(4096 + 100, 12));
  rig.work.Write("board-long-end.bin", testing::PatternImage(4096 + 600, 13));
  auto refused = rig.Cli("--port 3 input-board=1:board.bin");
  EXPECT_EQ(refused.exitCode, 1) << refused.output;
  EXPECT_NE(refused.output.find("This build carries no input-board loader"), std::string::npos)
      << refused.output;

  auto first = rig.Cli(
      "--allow-placeholder-loader search-generator generator-fpga open "
      "input-board=2:board-long-end.bin");
  EXPECT_EQ(first.exitCode, 0) << first.output;
  auto second = rig.Cli("--allow-placeholder-loader --port 5 input-board=1:board.bin");
  EXPECT_EQ(second.exitCode, 0) << second.output;
  const std::string output = first.output + second.output;
  const std::string number = "[0-9]+\\.[0-9]";
  for (const std::string& line :
       {std::string("search-generator: done"),
        "generator-fpga: 65536 bytes in " + number + " s \\(" + number + " kB/s\\)",
        "input-board=1:board.bin: 4196 bytes in " + number + " s \\(" + number + " kB/s\\)",
        std::string("input-board=1:board.bin: the board does not confirm the last chunk \\(100 "
                    "bytes\\): the transfer ends when it is written")}) {
    EXPECT_TRUE(std::regex_search(output, std::regex("(^|\n)" + line + "\n"))) << line << "\n"
                                                                               << output;
  }
  EXPECT_EQ(output.find("search-generator: 0"), std::string::npos) << "no empty bar";
  EXPECT_EQ(output.find("input-board=2:board-long-end.bin: the board does not confirm"),
            std::string::npos)
      << "a last chunk of 600 bytes is confirmed";

  // Two updates in a row: the first closes the port, and the failure says where 'open' goes.
  auto together = rig.Cli("--port 3 generator-fpga generator-fpga");
  EXPECT_EQ(together.exitCode, 1) << together.output;
  EXPECT_NE(together.output.find("put 'open' before it"), std::string::npos) << together.output;
}

TEST(SimLineModel, PacedUploadLiesWithinTenPercentOfTheWireTime) {
  testing::TempWorkDir work;
  SimProcess sim(KORVELT_SIM_PATH,
                 {"--port-dir", (work.path() / "ports").string(), "--ports", "3=generator",
                  "--baud", "115200", "--reply-delay", "0"},
                 (work.path() / "report.json").string());
  ASSERT_TRUE(sim.ready());
  work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(32768, 11));
  const std::string trace = (work.path() / "trace.txt").string();
  auto result = RunCommand(std::string(KORVELT_CLI_PATH) + " -q --port-dir " +
                               (work.path() / "ports").string() + " -C " + work.path().string() +
                               " --trace " + trace + " --port 3 generator-fpga",
                           (work.path() / "out.txt").string());
  ASSERT_EQ(result.exitCode, 0) << result.output;
  // From the first block out to the last acknowledgement in, by the trace's clock.
  double first = -1, last = -1;
  std::ifstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    const double t = std::atof(line.c_str());
    if (first < 0 && line.find(" OUT aa 00 00 09 01") != std::string::npos) first = t;
    if (line.find(" IN ") != std::string::npos) last = t;
  }
  ASSERT_GT(first, 0);
  const double measured = last - first;
  const double bound = 128 * (270 + 13) * 10.0 / 115200;
  std::printf("paced 32 KiB upload: %.3f s, wire-time bound %.3f s, ratio %.3f\n", measured, bound,
              measured / bound);
  EXPECT_NEAR(measured / bound, 1.0, 0.10);
}

}  // namespace
}  // namespace korvelt
