// korvelt-cli: the updater for scripts and production lines. It runs the same window core as
// the dialog and presses its buttons one step after another.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "frontends/cli/cli_platform.h"
#include "frontends/cli/cli_runner.h"
#include "frontends/cli/unit_child.h"
#include "frontends/cli/unit_display.h"
#include "line/interrupt.h"
#include "line/unit_scan.h"
#include "line/unit_supervisor.h"
#include "resources/program_version.h"

namespace {

constexpr const char* kStepsHelp = R"(STEP, each run to its end before the next:
  open | close                          turn the port shown in the list on or off
  search-generator | search-analyzer    find the unit's port among COM1..COM99
  search-type=T                         find a unit of device type T (2..7)
  generator-fpga | analyzer-fpga        write data/GENERATOR_FPGA.bin or data/ANALYZER_FPGA.bin
  generator-mcu | analyzer-mcu          write data/GENERATOR_MCU(rack).bin or ANALYZER_MCU(rack).bin
  generator-mcu=FILE | analyzer-mcu=FILE
                                        write FILE into the MCU: Intel HEX, S-record or raw
                                        binary (at 0x08000000), recognised by its content
  aux-fpga=FILE                         write FILE into the AUX FPGA
  generator-data-flash=FILE | analyzer-data-flash=FILE | nand-flash=FILE
  input-board=N:FILE                    update input board N (1..4) with FILE
  sub-mcu=INDEX                         hand over sub-MCU INDEX (0..10) to ./FlyMcu/FlyMcu.exe
  data-flash-no=NUMBER                  put NUMBER into the data-flash number field

korvelt-cli ports                       print which device stands behind each COMn
korvelt-cli scan [--all-types] [--json] probe COM1..COM99 at once; one line per unit that answers
korvelt-cli --units 3,5,7|all STEP...   run the steps on several units at once, one process each

Exit status: 0 every step succeeded; 1 a step failed; 2 usage; 3 a step stalled. With --units,
the worst unit's status (3 over 1), and every unit that did not succeed is named.)";

std::vector<uint8_t> ProbedTypes(bool allTypes) {
  if (!allTypes) return {0, 1};
  return {0, 1, 2, 3, 4, 5, 6, 7};
}

int Scan(bool allTypes, bool json) {
  std::vector<int> ports;
  for (int n = 1; n <= 99; ++n) ports.push_back(n);
  const auto units = korvelt::line::ScanPorts(
      {.ports = ports, .deviceTypes = ProbedTypes(allTypes), .checkBootloaders = true});
  std::fputs((json ? korvelt::line::ScanJson(units) : korvelt::line::ScanText(units)).c_str(),
             stdout);
  if (units.empty() && !json) std::fputs("korvelt-cli: no unit answered\n", stderr);
  return units.empty() ? korvelt::cli::kExitFailed : korvelt::cli::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Firmware updater for the rack KORVELT instrument, for scripts.", "korvelt-cli"};
  app.footer(kStepsHelp);
  std::string portDir, workDir, traceFile;
  int port = 0;
  double stallSeconds = 30;
  bool quiet = false;
  bool allowPlaceholderLoader = false;
  bool writtenPacing = false;
  bool verify = true;
  bool noStart = false;
  std::string resumeKind;
  std::string unitList, reportFile;
  int parallel = 0;
  bool json = false, allTypes = false, unitChild = false;
  std::vector<std::string> words;
#ifndef _WIN32  // Windows names its COM ports itself
  app.add_option("--port-dir", portDir, "folder whose COM1..COM99 entries name the devices");
#endif
  app.add_option("--port", port, "choose COMn in the list first (opens it)")
      ->check(CLI::Range(1, 99));
  app.add_option("-C", workDir, "change to this folder first (images are read from its data/)");
  app.add_option("--trace", traceFile, "write every byte in and out, with times, to FILE");
  app.add_option("--stall-timeout", stallSeconds,
                 "end a step that sees no progress and no answer for SEC seconds (default 30)")
      ->check(CLI::PositiveNumber);
  app.add_flag("-q,--quiet", quiet, "no progress display");
  app.add_flag("--allow-placeholder-loader", allowPlaceholderLoader,
               "send the placeholder input-board loader of this build (tests and demos: it "
               "halts a real board)");
  app.add_flag("--written-pacing", writtenPacing,
               "MCU updates keep the dialog's fixed pauses (128-byte blocks, about 5 times "
               "slower) instead of going on at each acknowledgement");
  app.add_flag("--verify,!--no-verify", verify,
               "read the MCU's flash back after writing and compare (default: on)");
  app.add_flag("--no-start", noStart,
               "after a verified MCU update, leave the unit in its bootloader instead of starting "
               "the new firmware and checking that it answers");
  // The flashing stub (see README, "MCU updates").
  bool mcuStub = false;
  uint32_t mcuBaud = 0;
  auto* stubFlag = app.add_flag("--mcu-stub", mcuStub,
                                "MCU updates load a flashing stub into the MCU's RAM and write and "
                                "check the image through it (about twice as fast); the "
                                "bootloader's own commands take over where it does not answer");
  app.add_option("--mcu-baud", mcuBaud,
                 "with --mcu-stub: switch the line to RATE for the image where the unit's link "
                 "carries it (it falls back to 115200 where not)")
      ->check(CLI::IsMember({115200, 230400, 460800, 921600}))
      ->needs(stubFlag);
  stubFlag->excludes("--written-pacing");
  app.add_option("--resume-kind", resumeKind,
                 "with --units: a unit found waiting in its MCU bootloader (an update was cut) is "
                 "this kind, so its MCU steps can finish")
      ->check(CLI::IsMember({"generator", "analyzer"}));
  app.add_option("--units", unitList,
                 "run on these units at once: COM numbers (3,5,7) or 'all' (every unit a scan "
                 "finds)");
  app.add_option("--parallel", parallel, "with --units: at most K units at a time (default all)")
      ->check(CLI::PositiveNumber);
  app.add_option("--report", reportFile, "write each unit's outcome to FILE as JSON");
  app.add_flag("--all-types", allTypes, "scan and --units: probe device types 0..7, not 0 and 1");
  app.add_flag("--json", json, "scan: print a JSON array");
  app.add_flag("--unit-child", unitChild, "one unit of a --units run (started by the supervisor)")
      ->group("");
  app.set_version_flag("--version", korvelt::VersionLine("korvelt-cli"));
  app.add_option("steps", words, "the steps, or 'ports'")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : korvelt::cli::kExitUsage;
  }

  if (!portDir.empty()) {
    if (!std::filesystem::is_directory(portDir)) {
      std::fprintf(stderr, "korvelt-cli: the port map folder %s does not exist\n", portDir.c_str());
      return korvelt::cli::kExitUsage;
    }
    korvelt::cli::UsePortFolder(portDir);
  }
  std::error_code changeFailed;
  if (!workDir.empty()) std::filesystem::current_path(workDir, changeFailed);
  if (changeFailed) {
    std::fprintf(stderr, "korvelt-cli: cannot change to %s\n", workDir.c_str());
    return korvelt::cli::kExitUsage;
  }
  if (words.size() == 1 && words[0] == "ports") {
    std::fputs(korvelt::cli::DescribePorts().c_str(), stdout);
    return 0;
  }
  if (words.size() == 1 && words[0] == "scan") return Scan(allTypes, json);

  std::vector<korvelt::cli::Step> steps;
  for (const std::string& word : words) {
    std::string error;
    auto step = korvelt::line::ParseStep(word, &error);
    if (!step) {
      std::fprintf(stderr, "korvelt-cli: %s (see --help)\n", error.c_str());
      return korvelt::cli::kExitUsage;
    }
    steps.push_back(*step);
  }

  if (!unitList.empty()) {
    std::string error;
    korvelt::line::UnitsOptions units;
    auto ports = korvelt::line::ParseUnitList(unitList, &units.scanFirst, &error);
    if (!ports) {
      std::fprintf(stderr, "korvelt-cli: %s\n", error.c_str());
      return korvelt::cli::kExitUsage;
    }
    for (const auto& step : steps) {
      if (step.kind != korvelt::cli::Step::Kind::kSearch && port == 0) continue;
      std::fprintf(stderr,
                   "korvelt-cli: --units finds each unit on its own port; it takes no --port "
                   "and no search step\n");
      return korvelt::cli::kExitUsage;
    }
    units.ports = *ports;
    units.deviceTypes = ProbedTypes(allTypes);
    units.stepWords = words;
    units.childOptions = {"--stall-timeout", std::to_string(stallSeconds)};
    if (allowPlaceholderLoader) units.childOptions.push_back("--allow-placeholder-loader");
    if (allTypes) units.childOptions.push_back("--all-types");
    if (writtenPacing) units.childOptions.push_back("--written-pacing");
    if (!verify) units.childOptions.push_back("--no-verify");
    if (noStart) units.childOptions.push_back("--no-start");
    if (mcuStub) units.childOptions.push_back("--mcu-stub");
    if (mcuBaud != 0) {
      units.childOptions.push_back("--mcu-baud");
      units.childOptions.push_back(std::to_string(mcuBaud));
    }
    if (!resumeKind.empty()) {
      units.childOptions.push_back("--resume-kind");
      units.childOptions.push_back(resumeKind);
    }
    units.mcuSteps = std::any_of(steps.begin(), steps.end(), [](const auto& step) {
      return korvelt::line::IsMcuStep(step.kind);
    });
    units.traceFile = traceFile;
    units.parallel = parallel;
    units.reportFile = reportFile;
    korvelt::cli::UnitDisplay display(stderr, korvelt::cli::StderrCanRedraw(), quiet);
    return korvelt::line::RunUnits(units, display);
  }

  korvelt::cli::RunOptions options;
  if (port != 0) options.port = port;
  options.stallSeconds = stallSeconds;
  options.quiet = quiet;
  options.traceFile = traceFile;
  options.allowPlaceholderLoader = allowPlaceholderLoader;
  options.writtenPacing = writtenPacing;
  options.verify = verify;
  options.start = !noStart;
  options.mcuStub = mcuStub;
  options.mcuBaud = mcuBaud;
  if (unitChild) {
    if (!resumeKind.empty()) options.resumeKind = resumeKind == "generator" ? 0 : 1;
    if (port == 0) {
      std::fprintf(stderr, "korvelt-cli: --unit-child needs --port\n");
      return korvelt::cli::kExitUsage;
    }
    return korvelt::cli::RunUnitChild(options, steps, ProbedTypes(allTypes));
  }

  // A single unit keeps a report too: the steps as they ended.
  korvelt::line::RunReport report;
  report.startedAt = std::chrono::system_clock::now();
  korvelt::line::UnitRecord unit;
  std::size_t running = 0;
  options.hooks.stepStarted = [&](std::size_t index, const korvelt::cli::Step&) {
    running = index;
  };
  options.hooks.stepEnded = [&](const korvelt::cli::StepRecord& record) {
    const auto& step = steps[running];
    if (step.kind == korvelt::cli::Step::Kind::kSearch && record.outcome == "ok")
      unit.deviceType = step.value;
    unit.steps.push_back(record);
  };
  korvelt::cli::CliRunner runner(options);
  korvelt::line::InstallInterruptHandler(&runner.interruptFlag());
  int status = runner.Run(steps);
  korvelt::line::RemoveInterruptHandler();
  if (reportFile.empty()) return status;
  unit.port = runner.portNumber();
  unit.exitCode = status;
  unit.outcome = korvelt::line::OutcomeForExit(status);
  unit.message = runner.failureMessage();
  report.units.push_back(unit);
  report.endedAt = std::chrono::system_clock::now();
  if (!korvelt::line::WriteReport(report, reportFile) && status == korvelt::cli::kExitOk)
    status = korvelt::cli::kExitFailed;
  return status;
}
