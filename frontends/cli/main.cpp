// korvelt-cli: the updater for scripts and production lines. It runs the same window core as
// the dialog and presses its buttons one step after another.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>

#include "frontends/cli/cli_platform.h"
#include "frontends/cli/cli_runner.h"
#include "resources/program_version.h"

namespace {

constexpr const char* kStepsHelp = R"(STEP, each run to its end before the next:
  open | close                          turn the port shown in the list on or off
  search-generator | search-analyzer    find the unit's port among COM1..COM99
  search-type=T                         find a unit of device type T (2..7)
  generator-fpga | analyzer-fpga        write data/GENERATOR_FPGA.bin or data/ANALYZER_FPGA.bin
  generator-mcu | analyzer-mcu          write data/GENERATOR_MCU(rack).bin or ANALYZER_MCU(rack).bin
  aux-fpga=FILE                         write FILE into the AUX FPGA
  generator-data-flash=FILE | analyzer-data-flash=FILE | nand-flash=FILE
  input-board=N:FILE                    update input board N (1..4) with FILE
  sub-mcu=INDEX                         hand over sub-MCU INDEX (0..10) to ./FlyMcu/FlyMcu.exe
  data-flash-no=NUMBER                  put NUMBER into the data-flash number field

korvelt-cli ports                       print which device stands behind each COMn

Exit status: 0 every step succeeded; 1 a step failed; 2 usage; 3 a step stalled.)";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Firmware updater for the rack KORVELT instrument, for scripts.", "korvelt-cli"};
  app.footer(kStepsHelp);
  std::string portDir, workDir, traceFile;
  int port = 0;
  double stallSeconds = 30;
  bool quiet = false;
  bool allowPlaceholderLoader = false;
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

  std::vector<korvelt::cli::Step> steps;
  for (const std::string& word : words) {
    std::string error;
    auto step = korvelt::cli::ParseStep(word, &error);
    if (!step) {
      std::fprintf(stderr, "korvelt-cli: %s (see --help)\n", error.c_str());
      return korvelt::cli::kExitUsage;
    }
    steps.push_back(*step);
  }

  korvelt::cli::RunOptions options;
  if (port != 0) options.port = port;
  options.stallSeconds = stallSeconds;
  options.quiet = quiet;
  options.traceFile = traceFile;
  options.allowPlaceholderLoader = allowPlaceholderLoader;
  korvelt::cli::CliRunner runner(options);
  korvelt::cli::InstallInterruptHandler(&runner.interruptFlag());
  const int status = runner.Run(steps);
  korvelt::cli::RemoveInterruptHandler();
  return status;
}
