// The fault-injection matrix: for the FPGA upload, the MCU update and the input-board transfer,
// each fault has one expected ending: success with the unit holding the image, a failure
// (exit 1) or a stall (exit 3), each with its message. Any other ending fails the cell.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <functional>
#include <map>
#include <thread>

#include "sim/image_digest.h"
#include "tests/support/program_rig.h"

namespace korvelt {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

std::string Sha256(const std::vector<uint8_t>& bytes) {
  return sim::Sha256Hex(bytes);
}

std::vector<uint8_t> Padded(std::vector<uint8_t> image, std::size_t block, uint8_t fill) {
  return sim::PaddedToBlocks(std::move(image), block, fill);
}

enum class Job { kFpga, kMcu, kBoard };
const char* JobName(Job job) {
  return job == Job::kFpga ? "FPGA upload" : job == Job::kMcu ? "MCU update" : "input board";
}

// korvelt-cli in the background, so that a test can pull the plug or kill it midway.
struct CliProcess : testing::BackgroundProcess {
  CliProcess(const std::vector<std::string>& args, const std::string& output)
      : BackgroundProcess(KORVELT_CLI_PATH, args, output) {}
};

struct Scenario {
  std::string fault;
  Job job;
  std::vector<std::string> simFaults;
  int baud = 0;
  // What happens while the first run is under way (pull the plug, kill the updater...).
  std::function<void(CliProcess&, testing::SimProcess&, pid_t)> meddle;
  bool rerun = false;     // run the updater again to the end afterwards
  bool holdPort = false;  // another program holds the port
  bool repower = true;    // with `rerun`: the operator powers the unit off and on first
};

struct Cell {
  std::string verdict;
  bool ok = false;
};

class FaultMatrix : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    std::printf("\n%-36s | %-26s | %-26s | %-26s\n", "fault", "FPGA upload", "MCU update",
                "input board");
    std::printf("%s\n", std::string(122, '-').c_str());
    for (const auto& [fault, row] : Table()) {
      std::printf("%-36s | %-26s | %-26s | %-26s\n", fault.c_str(), Get(row, Job::kFpga).c_str(),
                  Get(row, Job::kMcu).c_str(), Get(row, Job::kBoard).c_str());
    }
  }
  static std::map<std::string, std::map<Job, std::string>>& Table() {
    static std::map<std::string, std::map<Job, std::string>> table;
    return table;
  }
  static std::string Get(const std::map<Job, std::string>& row, Job job) {
    auto it = row.find(job);
    return it == row.end() ? "n/a" : it->second;
  }

  void Run(const Scenario& s) {
    testing::TempWorkDir work;
    const auto fpga = testing::PatternImage(32 * 1024, 21);
    // The acknowledged pacing writes a few KiB in well under a second: a fault meant for the
    // middle of an MCU update needs an image that is still going up when it strikes.
    const auto mcu = testing::PatternImage(s.job == Job::kMcu && s.meddle ? 32 * 1024 : 512, 22);
    const auto board = testing::PatternImage(30 * 1024, 23);
    work.Write("data/GENERATOR_FPGA.bin", fpga);
    work.Write("data/GENERATOR_MCU(rack).bin", mcu);
    const std::string boardFile = work.Write("board.bin", board);
    std::vector<std::string> simArgs = {
        "--port-dir", (work.path() / "ports").string(), "--ports",       "3=generator",
        "--baud",     std::to_string(s.baud),           "--reply-delay", "0"};
    simArgs.insert(simArgs.end(), s.simFaults.begin(), s.simFaults.end());
    testing::SimProcess sim(KORVELT_SIM_PATH, simArgs, (work.path() / "report.json").string());
    ASSERT_TRUE(sim.ready());
    pid_t holder = -1;
    if (s.holdPort) {
      // flock(1) holds the same advisory lock the updater takes.
      const std::string port = std::filesystem::read_symlink(work.path() / "ports/COM3").string();
      std::string command = "flock -n " + port + " sleep 20";
      char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), command.data(),
                      nullptr};
      ::posix_spawn(&holder, "/bin/sh", nullptr, nullptr, argv, environ);
      std::this_thread::sleep_for(300ms);
    }
    const std::string step = s.job == Job::kFpga  ? "generator-fpga"
                             : s.job == Job::kMcu ? "generator-mcu"
                                                  : "input-board=1:" + boardFile;
    const std::vector<std::string> args = {
        "-q", "--stall-timeout",    "2",      "--port-dir", (work.path() / "ports").string(),
        "-C", work.path().string(), "--port", "3",          "--allow-placeholder-loader",
        step};
    const std::string output = (work.path() / "cli.txt").string();
    int exitCode;
    {
      CliProcess cli(args, output);
      if (s.meddle) s.meddle(cli, sim, holder);
      exitCode = cli.Wait(60s);
    }
    if (holder > 0) {
      ::kill(-holder, SIGKILL);
      ::kill(holder, SIGKILL);
      ::waitpid(holder, nullptr, 0);
    }
    if (s.rerun) {
      if (s.repower) ::kill(SimPid(sim), SIGUSR1);  // the operator powers the unit off and on
      std::this_thread::sleep_for(200ms);
      CliProcess again(args, output);
      exitCode = again.Wait(60s);
    }
    std::ifstream in(output);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const Json report = sim.Stop();
    std::string held;
    if (report.is_object() && report["ports"].contains("3")) {
      const Json& unit = report["ports"]["3"];
      if (s.job == Job::kFpga && unit["images"].contains("fpga")) {
        held = unit["images"]["fpga"]["sha256"];
      } else if (s.job == Job::kMcu) {
        held = unit["mcu"]["sha256"];
      } else if (s.job == Job::kBoard && unit.contains("inputBoard")) {
        held = unit["inputBoard"]["sha256"];
      }
    }
    const std::string expected = s.job == Job::kFpga  ? Sha256(Padded(fpga, 256, 0))
                                 : s.job == Job::kMcu ? Sha256(Padded(mcu, 128, 0xFF))
                                                      : Sha256(board);
    std::string verdict;
    bool ok = false;
    if (exitCode == 0) {
      ok = held == expected;
      verdict = ok ? "success, image equal" : "SUCCESS WITH WRONG IMAGE";
    } else if (exitCode == 1 || exitCode == 3) {
      ok = said.find("failed") != std::string::npos || said.find("stalled") != std::string::npos ||
           said.find("did not open") != std::string::npos;
      verdict = std::string(exitCode == 1 ? "failed (1)" : "stalled (3)") +
                (ok ? ", said why" : ", NO MESSAGE");
    } else {
      verdict = exitCode < 0 ? "HUNG OR CRASHED" : "exit " + std::to_string(exitCode);
    }
    Table()[s.fault][s.job] = verdict;
    EXPECT_TRUE(ok) << s.fault << " / " << JobName(s.job) << ": " << verdict << "\n" << said;
    const auto ending = Expected().find({s.fault, s.job});
    ASSERT_NE(ending, Expected().end()) << "no expected ending for " << s.fault;
    EXPECT_EQ(verdict.substr(0, verdict.find(',')), ending->second)
        << s.fault << " / " << JobName(s.job) << "\n"
        << said;
  }

  static pid_t SimPid(testing::SimProcess& sim) { return sim.pid(); }

  // Refusals and (in korvelt-cli's acknowledged mode) lost acknowledgements are retried to
  // success; a unit that stops answering stalls, or fails once its resends are spent; a port
  // that goes away or never opens fails.
  static const std::map<std::pair<std::string, Job>, std::string>& Expected() {
    static const std::map<std::pair<std::string, Job>, std::string> expected = {
        {{"negative acknowledgements", Job::kFpga}, "success"},
        {{"negative acknowledgements", Job::kMcu}, "success"},
        {{"final block refused once", Job::kFpga}, "success"},
        {{"dropped acknowledgements", Job::kFpga}, "stalled (3)"},
        {{"dropped acknowledgements", Job::kMcu}, "stalled (3)"},
        // The board's chunks are sent again, 4 times, before the silence outlasts the stall.
        {{"dropped acknowledgements", Job::kBoard}, "failed (1)"},
        // A damaged acknowledgement is a lost one: the block goes again after a quiet second.
        {{"corrupted acknowledgements", Job::kFpga}, "success"},
        {{"unit silent mid-transfer", Job::kFpga}, "stalled (3)"},
        {{"unit silent mid-transfer", Job::kMcu}, "stalled (3)"},
        {{"unit silent mid-transfer", Job::kBoard}, "failed (1)"},
        {{"pty closed mid-transfer", Job::kFpga}, "failed (1)"},
        {{"pty closed mid-transfer", Job::kMcu}, "failed (1)"},
        {{"pty closed mid-transfer", Job::kBoard}, "failed (1)"},
        {{"port held by another process", Job::kFpga}, "failed (1)"},
        {{"port held by another process", Job::kMcu}, "failed (1)"},
        {{"port held by another process", Job::kBoard}, "failed (1)"},
        {{"updater killed, then run again", Job::kFpga}, "success"},
        {{"updater killed, then run again", Job::kMcu}, "success"},
        // A unit whose MCU update was cut keeps waiting in its bootloader only while it stays
        // powered: re-powered with half a firmware, it answers nothing at all.
        {{"updater killed, unit re-powered", Job::kMcu}, "stalled (3)"},
        {{"updater killed, then run again", Job::kBoard}, "success"},
    };
    return expected;
  }
};

void Sleep(std::chrono::milliseconds span) {
  std::this_thread::sleep_for(span);
}

TEST_F(FaultMatrix, NegativeAcknowledgements) {
  Run({"negative acknowledgements", Job::kFpga, {"--nack-every", "7"}});
  Run({"negative acknowledgements", Job::kMcu, {"--mcu-nack-write", "3"}});
  // 32 KiB is 128 blocks: the 128th, the final one, is refused on its first try.
  Run({"final block refused once", Job::kFpga, {"--nack-every", "128"}});
}

TEST_F(FaultMatrix, DroppedAcknowledgements) {
  Run({"dropped acknowledgements", Job::kFpga, {"--drop-acks-after", "20"}});
  Run({"dropped acknowledgements", Job::kMcu, {"--mcu-silent-after-erase"}});
  Run({"dropped acknowledgements", Job::kBoard, {"--board-silent-after", "1"}});
}

TEST_F(FaultMatrix, CorruptedAcknowledgements) {
  Run({"corrupted acknowledgements", Job::kFpga, {"--corrupt-ack-every", "9"}});
}

TEST_F(FaultMatrix, UnitGoesSilent) {
  Run({"unit silent mid-transfer", Job::kFpga, {"--drop-acks-after", "60"}});
  Run({"unit silent mid-transfer", Job::kMcu, {"--mcu-no-sync"}});
  Run({"unit silent mid-transfer", Job::kBoard, {"--board-silent-after", "3"}});
}

TEST_F(FaultMatrix, CablePulled) {
  auto pull = [](CliProcess&, testing::SimProcess& sim, pid_t) {
    Sleep(1500ms);
    ::kill(sim.pid(), SIGKILL);
  };
  for (Job job : {Job::kFpga, Job::kMcu, Job::kBoard}) {
    Run({"pty closed mid-transfer", job, {}, 115200, pull});
  }
}

TEST_F(FaultMatrix, PortHeldByAnotherProgram) {
  for (Job job : {Job::kFpga, Job::kMcu, Job::kBoard}) {
    Run({"port held by another process", job, {}, 0, nullptr, false, true});
  }
}

TEST_F(FaultMatrix, UpdaterKilledAndRunAgain) {
  auto killMidway = [](std::chrono::milliseconds after) {
    return [after](CliProcess& cli, testing::SimProcess&, pid_t) {
      Sleep(after);
      cli.Kill();
    };
  };
  Run({"updater killed, then run again", Job::kFpga, {}, 115200, killMidway(1500ms), true});
  // The MCU update's operator keeps the unit powered, as the failure tells him to.
  Run({.fault = "updater killed, then run again",
       .job = Job::kMcu,
       .baud = 115200,
       .meddle = killMidway(3000ms),
       .rerun = true,
       .repower = false});
  Run({.fault = "updater killed, unit re-powered",
       .job = Job::kMcu,
       .baud = 115200,
       .meddle = killMidway(3000ms),
       .rerun = true});
  Run({"updater killed, then run again", Job::kBoard, {}, 115200, killMidway(1500ms), true});
}

}  // namespace
}  // namespace korvelt
