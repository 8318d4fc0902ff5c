// korvelt-cli: the updater for scripts and production lines. It runs the same window core as
// the dialog and presses its buttons one step after another.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "frontends/cli/cli_platform.h"
#include "frontends/cli/cli_runner.h"
#include "frontends/cli/release_steps.h"
#include "frontends/cli/unit_child.h"
#include "frontends/cli/unit_display.h"
#include "history/history_format.h"
#include "history/history_location.h"
#include "history/history_time.h"
#include "line/interrupt.h"
#include "line/run_history.h"
#include "line/time_limits.h"
#include "line/unit_scan.h"
#include "line/unit_supervisor.h"
#include "release/make_manifest.h"
#include "release/release_folder.h"
#include "release/station_config.h"
#include "release/trusted_keys.h"
#include "resources/program_version.h"
#include "serial/port_listing.h"

namespace {

using korvelt::cli::kExitFailed;
using korvelt::cli::kExitOk;
using korvelt::cli::kExitUsage;

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
(korvelt-cli COMMAND --help for a command's options)

Every step ends by its time limit (--timeout) and the run by its own (--run-timeout), whatever
the line does; a step with no progress of its image for --stall-timeout seconds ends sooner.
Relative --port-dir, --report and --trace paths are taken from the folder korvelt-cli is started
in, the steps' image files from the -C folder.

Exit status: 0 every step succeeded; 1 a step failed; 2 usage; 3 a step stalled or ran out of
its time limit; 130 interrupted (Ctrl-C, a termination request or a hang-up of the terminal).
With --units, the worst unit's status (3 over 1), and every unit that did not succeed is named.)";

std::vector<uint8_t> ProbedTypes(bool allTypes) {
  if (!allTypes) return {0, 1};
  return {0, 1, 2, 3, 4, 5, 6, 7};
}

int Scan(bool allTypes, bool json) {
  std::vector<int> ports;
  for (int n = 1; n <= 99; ++n) ports.push_back(n);
  std::vector<korvelt::line::UnopenedPort> unopened;
  const auto units = korvelt::line::ScanPorts(
      {.ports = ports, .deviceTypes = ProbedTypes(allTypes), .checkBootloaders = true}, &unopened);
  std::fputs((json ? korvelt::line::ScanJson(units) : korvelt::line::ScanText(units)).c_str(),
             stdout);
  // A port that exists but did not open is no unit: say why, so a busy unit is not missed.
  std::fputs(korvelt::line::UnopenedText(unopened).c_str(), stderr);
  if (units.empty() && !json) std::fputs("korvelt-cli: no unit answered\n", stderr);
  return units.empty() ? kExitFailed : kExitOk;
}

struct HistoryFilter {
  std::string unit, port, since;
  std::size_t last = 0;
  bool json = false, csv = false;
};

// korvelt-cli history: the station's records, newest last.
int PrintHistory(const std::string& historyFile, const HistoryFilter& filter) {
  namespace history = korvelt::history;
  history::HistoryQuery query;
  if (!filter.unit.empty()) query.mcuUid = filter.unit;
  if (!filter.port.empty()) {
    const bool number = filter.port.find_first_not_of("0123456789") == std::string::npos;
    query.port = number ? "COM" + filter.port : filter.port;
  }
  if (!filter.since.empty()) {
    query.since = history::ParseUtcTime(filter.since);
    if (!query.since) {
      std::fprintf(stderr,
                   "korvelt-cli history: --since wants a UTC date or date-time (2026-12-08 or "
                   "2026-12-08T09:26), not '%s'\n",
                   filter.since.c_str());
      return kExitUsage;
    }
  }
  if (filter.last > 0) query.last = filter.last;
  const auto file = history::ChooseHistoryFile({.file = korvelt::cli::PathFromUtf8(historyFile)},
                                               history::SystemEnvironment());
  if (!file.ok() || !file.value()) {
    std::fprintf(stderr, "korvelt-cli history: %s\n",
                 file.ok() ? "no history file" : file.error().text.c_str());
    return kExitFailed;
  }
  auto database =
      history::HistoryDatabase::Open(*file.value(), history::HistoryDatabase::OpenMode::kExisting);
  if (!database.ok()) {
    std::fprintf(stderr, "korvelt-cli history: %s\n", database.error().text.c_str());
    return kExitFailed;
  }
  const auto records = database.value()->Query(query);
  if (!records.ok()) {
    std::fprintf(stderr, "korvelt-cli history: %s\n", records.error().text.c_str());
    return records.error().kind == history::HistoryError::Kind::kBadQuery ? kExitUsage
                                                                          : kExitFailed;
  }
  const std::string text = filter.json  ? history::HistoryJson(records.value())
                           : filter.csv ? history::HistoryCsv(records.value())
                                        : history::HistoryText(records.value());
  std::fwrite(text.data(), 1, text.size(), stdout);
  return kExitOk;
}

// korvelt-cli make-manifest: the manifest a release maker signs next.
int WriteManifest(const std::string& folder, const std::string& name,
                  const std::vector<std::string>& maps) {
  std::vector<korvelt::release::FileMapping> mappings;
  for (const std::string& map : maps) {
    auto mapping = korvelt::release::ParseFileMapping(map);
    if (!mapping.ok()) {
      std::fprintf(stderr, "korvelt-cli make-manifest: %s\n", mapping.error().text.c_str());
      return kExitUsage;
    }
    mappings.push_back(std::move(mapping.value()));
  }
  const auto path = korvelt::cli::PathFromUtf8(folder);
  const auto manifest = korvelt::release::MakeManifest(path, name, mappings);
  if (!manifest.ok()) {
    std::fprintf(stderr, "korvelt-cli make-manifest: %s\n", manifest.error().text.c_str());
    return kExitFailed;
  }
  for (const auto& image : manifest.value().images) {
    std::printf("%-9s %-13s %10llu  %s  %s\n", korvelt::release::KindName(image.deviceType).c_str(),
                std::string(korvelt::release::PartName(image.part)).c_str(),
                static_cast<unsigned long long>(image.size), image.sha256.c_str(),
                image.file.c_str());
  }
  const std::string manifestPath = folder + "/" + korvelt::release::kManifestName;
  std::printf("wrote %s; sign it with: minisign -Sm %s\n", manifestPath.c_str(),
              manifestPath.c_str());
  return kExitOk;
}

// The trusted keys: those given, else the station's folder.
korvelt::release::Checked<korvelt::release::TrustedKeys> LoadKeys(
    const std::vector<std::string>& files, const korvelt::release::StationConfig& station) {
  if (files.empty()) return korvelt::release::LoadTrustedKeys(station.trustedKeys);
  korvelt::release::TrustedKeys keys;
  for (const std::string& file : files) {
    auto key = korvelt::release::LoadPublicKeyFile(korvelt::cli::PathFromUtf8(file));
    if (!key.ok()) return key.error();
    keys.push_back(std::move(key.value()));
  }
  return keys;
}

// A positive, finite number of seconds ("nan" would switch the limit off).
const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
      char* end = nullptr;
      const double value = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || value <= 0)
        return "wants a positive number of seconds, not '" + text + "'";
      return {};
    },
    "SEC");

// A path taken from the folder the program was started in, before -C changes it.
std::string FromStartFolder(const std::string& path) {
  if (path.empty()) return path;
  return korvelt::cli::PathFromUtf8(path).is_absolute()
             ? path
             : (std::filesystem::current_path() / korvelt::cli::PathFromUtf8(path)).string();
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (`korvelt-cli ... 2>&1 | head`) must not end a run without its
  // report: the display's writes fail quietly instead.
  korvelt::line::IgnoreBrokenPipe();
  CLI::App app{"Firmware updater for the rack KORVELT instrument, for scripts.", "korvelt-cli"};
  app.footer(kStepsHelp);
  std::string portDir, workDir, traceFile;
  int port = 0;
  double stallSeconds = 30;
  double stepLimit = 0;
  double runLimit = 0;
  bool quiet = false;
  bool allowPlaceholderLoader = false;
  bool writtenPacing = false;
  bool verify = true;
  bool noStart = false;
  std::string resumeKind;
  std::string unitList, reportFile;
  int parallel = 0;
  bool allTypes = false, unitChild = false;
  std::vector<std::string> words;
  // The station's history and the signed release (see README, "Traceability" and "Releases").
  std::string historyFile, stationName, operatorName;
  bool noHistory = false;
  std::string releaseDir;
  std::vector<std::string> trustedKeys;
  bool requireRelease = false;
#ifndef _WIN32  // Windows names its COM ports itself
  app.add_option("--port-dir", portDir, "folder whose COM1..COM99 entries name the devices");
#endif
  app.add_option("--port", port, "choose COMn in the list first (opens it)")
      ->check(CLI::Range(1, 99));
  app.add_option("-C", workDir, "change to this folder first (images are read from its data/)");
  app.add_option("--trace", traceFile, "write every byte in and out, with times, to FILE");
  app.add_option("--stall-timeout", stallSeconds,
                 "end a step whose image makes no progress (no block taken, no byte moved) for "
                 "SEC seconds (default 30)")
      ->check(kSeconds);
  app.add_option("--timeout", stepLimit,
                 "end every step after SEC seconds, whatever the line does (" +
                     korvelt::line::DefaultLimitsHelp() + ")")
      ->check(kSeconds);
  app.add_option("--run-timeout", runLimit,
                 "end the run after SEC seconds, whatever the line does (default: every step's "
                 "limit, plus 60 s)")
      ->check(kSeconds);
  app.add_flag("-q,--quiet", quiet, "no progress display");
  app.add_flag("--allow-placeholder-loader", allowPlaceholderLoader,
               "send the placeholder input-board loader of this build (tests and demos: it "
               "halts a real board)");
  app.add_flag("--written-pacing", writtenPacing,
               "the dialog's pacing: MCU updates keep its fixed pauses (128-byte blocks, about 5 "
               "times slower), and blocks whose acknowledgement is lost are not sent again");
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
  CLI::Option* unitsOption =
      app.add_option("--units", unitList,
                     "run on these units at once: COM numbers (3,5,7) or 'all' (every unit a "
                     "scan finds)");
  app.add_option("--parallel", parallel, "with --units: at most K units at a time (default all)")
      ->check(CLI::PositiveNumber);
  app.add_option("--report", reportFile, "write each unit's outcome to FILE as JSON");
  app.add_flag("--all-types", allTypes, "--units: probe device types 0..7, not 0 and 1");
  auto* historyOption =
      app.add_option("--history", historyFile,
                     "append a row for each image step to the station's history FILE (default: $" +
                         std::string(korvelt::history::kHistoryVariable) +
                         ", else the user's data folder: see README, \"Traceability\")");
  app.add_flag("--no-history", noHistory, "write no history")->excludes(historyOption);
  app.add_option("--station", stationName,
                 "the station's name in the history (default: host name)");
  app.add_option("--operator", operatorName, "the operator's name in the history (default: login)");
  auto* releaseOption = app.add_option(
      "--release", releaseDir,
      "take the images from the signed release folder DIR, verified before any unit is touched");
  app.add_option("--trusted-key", trustedKeys,
                 "a minisign public key FILE the release may be signed with (repeatable; default: "
                 "every *.pub in the station's keys folder)")
      ->needs(releaseOption);
  app.add_flag("--require-release", requireRelease,
               "every image must come from a verified --release (a station can fix this in its "
               "station.conf)");
  app.add_flag("--unit-child", unitChild, "one unit of a --units run (started by the supervisor)")
      ->group("");
  app.set_version_flag("--version", korvelt::VersionLine("korvelt-cli"));
  app.add_option("steps", words, "the steps");

  CLI::App* ports = app.add_subcommand("ports", "print which device stands behind each COMn");
  CLI::App* scan =
      app.add_subcommand("scan", "probe COM1..COM99 at once; one line per unit that answers");
  // Each command its own footer: they would inherit the steps' one.
  ports->footer("Each COMn with the device behind it and its adapter.");
  scan->footer(
      "Exit status: 0 when a unit answered, 1 when none did. A port that exists but does not "
      "open is named on standard error with the reason (busy, permission).");
  CLI::App* historyCommand =
      app.add_subcommand("history", "print the station's history of image steps, newest last");
  historyCommand->footer(
      "Times are UTC. Exit status: 0 printed (maybe nothing), 1 the history cannot be read, 2 "
      "usage.");
  HistoryFilter historyFilter;
  historyCommand->add_option("--unit", historyFilter.unit,
                             "only the unit whose MCU has this ID (24 hex digits)");
  historyCommand->add_option("--port", historyFilter.port, "only steps on this port (COM3)");
  historyCommand->add_option("--since", historyFilter.since,
                             "only steps that started at or after this UTC date or date-time");
  historyCommand->add_option("--last", historyFilter.last, "only the newest N of those")
      ->check(CLI::PositiveNumber);
  auto* historyJson = historyCommand->add_flag("--json", historyFilter.json, "print a JSON array");
  historyCommand->add_flag("--csv", historyFilter.csv, "print CSV with a header line")
      ->excludes(historyJson);
  historyCommand->add_option("--history", historyFile, "read this history FILE");
  CLI::App* makeManifest = app.add_subcommand(
      "make-manifest", "write DIR/manifest.json for a release, listing every image in DIR");
  makeManifest->footer(
      "The fixed names (GENERATOR_FPGA.bin, ANALYZER_FPGA.bin, GENERATOR_MCU(rack).bin, "
      "ANALYZER_MCU(rack).bin) map by themselves; every other file needs --map. Then sign: "
      "minisign -Sm DIR/manifest.json");
  std::string manifestFolder, manifestRelease;
  std::vector<std::string> manifestMaps;
  makeManifest->add_option("DIR", manifestFolder, "the release folder")->required();
  makeManifest->add_option("--release", manifestRelease, "the release's name (2026.12)")
      ->required();
  makeManifest->add_option("--map", manifestMaps,
                           "FILE=KIND:PART: the file's unit and part (gen-mcu.hex=generator:mcu, "
                           "aux.bin=3:aux-fpga); KIND generator, analyzer or 2..7; PART fpga, "
                           "mcu, data-flash, aux-fpga, nand, input-board-1..4");
  bool json = false, scanAllTypes = false;
  scan->add_flag("--all-types", scanAllTypes, "probe device types 0..7, not 0 and 1");
  scan->add_flag("--json", json, "print a JSON array");
#ifndef _WIN32
  for (CLI::App* command : {ports, scan}) {
    command->add_option("--port-dir", portDir, "folder whose COM1..COM99 entries name the devices");
  }
#endif
  app.require_subcommand(0, 1);

  std::vector<std::string> arguments = korvelt::cli::Utf8Arguments(argc, argv);
  std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first
  if (!arguments.empty()) arguments.pop_back();      // the program's name
  try {
    app.parse(arguments);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }

  // ports and scan take none of the run's options: one given is a mistake, not ignored.
  CLI::App* command = ports->parsed()            ? ports
                      : scan->parsed()           ? scan
                      : historyCommand->parsed() ? historyCommand
                      : makeManifest->parsed()   ? makeManifest
                                                 : nullptr;
  if (command) {
    for (const char* name :
         {"--port", "--trace", "--stall-timeout", "--timeout", "--run-timeout",
          "--allow-placeholder-loader", "--written-pacing", "--verify", "--units", "--parallel",
          "--report", "--unit-child", "--no-history", "--station", "--operator", "--release",
          "--trusted-key", "--require-release"}) {
      if (app.get_option(name)->count() == 0) continue;
      std::fprintf(stderr, "korvelt-cli %s: %s does not apply (see korvelt-cli %s --help)\n",
                   command->get_name().c_str(), name, command->get_name().c_str());
      return kExitUsage;
    }
    if (!words.empty()) {
      std::fprintf(stderr, "korvelt-cli %s: takes no steps ('%s')\n", command->get_name().c_str(),
                   words.front().c_str());
      return kExitUsage;
    }
  } else if (words.empty()) {
    std::fprintf(stderr, "korvelt-cli: no step given (see --help)\n");
    return kExitUsage;
  }

  // Paths of the run's own files are the starting folder's; -C is the images' folder.
  portDir = FromStartFolder(portDir);
  reportFile = FromStartFolder(reportFile);
  historyFile = FromStartFolder(historyFile);
  releaseDir = FromStartFolder(releaseDir);
  manifestFolder = FromStartFolder(manifestFolder);
  for (std::string& key : trustedKeys) key = FromStartFolder(key);
  traceFile = FromStartFolder(traceFile);
  if (!portDir.empty()) {
    if (!std::filesystem::is_directory(korvelt::cli::PathFromUtf8(portDir))) {
      std::fprintf(stderr, "korvelt-cli: the port map folder %s does not exist\n", portDir.c_str());
      return kExitUsage;
    }
    korvelt::cli::UsePortFolder(portDir);
  }
  std::error_code changeFailed;
  if (!workDir.empty()) {
    std::filesystem::current_path(korvelt::cli::PathFromUtf8(workDir), changeFailed);
  }
  if (changeFailed) {
    std::fprintf(stderr, "korvelt-cli: cannot change to %s\n", workDir.c_str());
    return kExitUsage;
  }
  if (command == ports) {
    std::fputs(korvelt::cli::DescribePorts().c_str(), stdout);
    return kExitOk;
  }
  if (command == scan) return Scan(scanAllTypes || allTypes, json);
  if (command == historyCommand) return PrintHistory(historyFile, historyFilter);
  if (command == makeManifest) {
    return WriteManifest(manifestFolder, manifestRelease, manifestMaps);
  }

  std::vector<korvelt::cli::Step> steps;
  for (const std::string& word : words) {
    std::string error;
    auto step = korvelt::line::ParseStep(word, &error);
    if (!step) {
      std::fprintf(stderr, "korvelt-cli: %s (see --help)\n", error.c_str());
      return kExitUsage;
    }
    steps.push_back(*step);
  }
  // A report that cannot be written is found before any unit is touched.
  if (!reportFile.empty() && !unitChild) {
    std::string error;
    if (!korvelt::line::CheckWritable(reportFile, &error)) {
      std::fprintf(stderr, "korvelt-cli: the report cannot be written: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  if (runLimit <= 0) runLimit = korvelt::line::RunLimitSeconds(steps, stepLimit);

  // The station's settings, the release and the steps' images in it: all checked before a
  // byte goes to any unit.
  const auto station = korvelt::release::LoadStationConfig();
  if (!station.ok()) {
    std::fprintf(stderr, "korvelt-cli: %s\n", station.error().text.c_str());
    return kExitFailed;
  }
  requireRelease = requireRelease || station.value().requireRelease;
  std::shared_ptr<const korvelt::release::VerifiedRelease> release;
  if (!releaseDir.empty()) {
    auto keys = LoadKeys(trustedKeys, station.value());
    if (!keys.ok()) {
      std::fprintf(stderr, "korvelt-cli: %s\n", keys.error().text.c_str());
      return kExitFailed;
    }
    auto verified =
        korvelt::release::VerifyRelease(korvelt::cli::PathFromUtf8(releaseDir), keys.value());
    if (!verified.ok()) {
      std::fprintf(stderr, "korvelt-cli: %s\n", verified.error().text.c_str());
      return kExitFailed;
    }
    release =
        std::make_shared<const korvelt::release::VerifiedRelease>(std::move(verified).value());
    if (!unitChild) {
      std::fprintf(stderr, "%s\n", korvelt::release::OperatorLine(*release).c_str());
    }
  }
  if (auto refused = korvelt::cli::RefuseStepsForRelease(release.get(), requireRelease, steps)) {
    std::fprintf(stderr, "korvelt-cli: %s\n", refused->c_str());
    return kExitFailed;
  }

  // The station's history: a unit's process leaves it to the run that started it.
  const auto identity = korvelt::history::IdentifyStation(stationName, operatorName);
  const korvelt::line::RunIdentity who{identity.station, identity.operatorName,
                                       korvelt::VersionLine("korvelt-cli")};
  std::unique_ptr<korvelt::line::RunHistory> history;
  if (!unitChild) {
    auto opened = korvelt::line::RunHistory::Open(
        {.file = korvelt::cli::PathFromUtf8(historyFile), .off = noHistory},
        korvelt::history::SystemEnvironment(), who);
    if (!opened.ok()) {
      std::fprintf(stderr, "korvelt-cli: %s (--no-history runs without one)\n",
                   opened.error().text.c_str());
      return kExitUsage;
    }
    history = std::move(opened.value());
  }

  if (unitsOption->count() > 0) {
    std::string error;
    korvelt::line::UnitsOptions units;
    auto unitPorts = korvelt::line::ParseUnitList(unitList, &units.scanFirst, &error);
    if (!unitPorts) {
      std::fprintf(stderr, "korvelt-cli: %s\n", error.c_str());
      return kExitUsage;
    }
    for (const auto& step : steps) {
      if (step.kind != korvelt::cli::Step::Kind::kSearch && port == 0) continue;
      std::fprintf(stderr,
                   "korvelt-cli: --units finds each unit on its own port; it takes no --port "
                   "and no search step\n");
      return kExitUsage;
    }
    units.ports = *unitPorts;
    units.deviceTypes = ProbedTypes(allTypes);
    units.stepWords = words;
    units.childOptions = {"--stall-timeout", std::to_string(stallSeconds), "--run-timeout",
                          std::to_string(runLimit)};
    if (stepLimit > 0) {
      units.childOptions.push_back("--timeout");
      units.childOptions.push_back(std::to_string(stepLimit));
    }
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
    // Each unit's process checks the release again: the files are its to read.
    if (!releaseDir.empty()) {
      units.childOptions.push_back("--release");
      units.childOptions.push_back(releaseDir);
      for (const std::string& key : trustedKeys) {
        units.childOptions.push_back("--trusted-key");
        units.childOptions.push_back(key);
      }
    }
    if (requireRelease) units.childOptions.push_back("--require-release");
    // A unit found waiting in its MCU bootloader is looked up in the history by its MCU's ID.
    if (history && resumeKind.empty()) {
      units.childOptions.push_back("--history");
      units.childOptions.push_back(korvelt::history::PathText(history->file()));
    }
    units.mcuSteps = std::any_of(steps.begin(), steps.end(), [](const auto& step) {
      return korvelt::line::IsMcuStep(step.kind);
    });
    units.traceFile = traceFile;
    units.parallel = parallel;
    units.reportFile = reportFile;
    units.runLimitSeconds = runLimit;
    units.tool = who.toolVersion;
    units.who = who;
    units.history = history.get();
    korvelt::cli::UnitDisplay display(stderr, korvelt::cli::StderrCanRedraw(), quiet);
    display.SetTerminalSize(korvelt::cli::StderrColumns, korvelt::cli::StderrRows);
    return korvelt::line::RunUnits(units, display);
  }

  korvelt::cli::RunOptions options;
  if (port != 0) options.port = port;
  options.stallSeconds = stallSeconds;
  options.stepLimitSeconds = stepLimit;
  options.runLimitSeconds = runLimit;
  options.quiet = quiet;
  options.traceFile = traceFile;
  options.allowPlaceholderLoader = allowPlaceholderLoader;
  options.writtenPacing = writtenPacing;
  options.resendBlocks = !writtenPacing;
  options.verify = verify;
  options.start = !noStart;
  options.mcuStub = mcuStub;
  options.mcuBaud = mcuBaud;
  options.release = release;
  options.requireRelease = requireRelease;
  if (unitChild) {
    if (!resumeKind.empty()) options.resumeKind = resumeKind == "generator" ? 0 : 1;
    options.resumeHistory = historyFile;
    if (port == 0) {
      std::fprintf(stderr, "korvelt-cli: --unit-child needs --port\n");
      return kExitUsage;
    }
    return korvelt::cli::RunUnitChild(options, steps, ProbedTypes(allTypes));
  }

  // A single unit keeps a report too: the unit, and the steps as they ended.
  korvelt::line::RunReport report;
  report.tool = who.toolVersion;
  report.station = who.station;
  report.operatorName = who.operatorName;
  report.startedAt = std::chrono::system_clock::now();
  korvelt::line::UnitRecord unit;
  if (!reportFile.empty() && port != 0) {
    // The report names the unit on the port, as a scan of that port would.
    const auto found = korvelt::line::ScanPorts(
        {{port}, ProbedTypes(allTypes), std::chrono::milliseconds(400), true});
    if (!found.empty()) {
      unit.deviceType = found.front().deviceType;
      unit.group = found.front().group;
      unit.machine = found.front().machine;
    }
  }
  std::size_t running = 0;
  korvelt::cli::CliRunner* runs = nullptr;  // the runner below, once it exists
  // The unit as the run knows it when a step ends: a search may have moved it to another port.
  auto unitNow = [&] {
    korvelt::line::UnitRecord now = unit;
    now.port = runs->portNumber();
    now.adapterSerial = korvelt::AdapterSerialNumber(now.port);
    return now;
  };
  options.hooks.stepStarted = [&](std::size_t index, const korvelt::cli::Step&) {
    running = index;
  };
  options.hooks.stepEnded = [&](const korvelt::cli::StepRecord& record) {
    const auto& step = steps[running];
    if (step.kind == korvelt::cli::Step::Kind::kSearch && record.outcome == "ok")
      unit.deviceType = step.value;
    unit.steps.push_back(record);
    if (history) history->Record(unitNow(), record);
  };
  korvelt::cli::CliRunner runner(options);
  runs = &runner;
  // Until the report is written: a hang-up after the run must not lose it.
  korvelt::line::InstallInterruptHandler(&runner.interruptFlag());
  int status = runner.Run(steps);
  if (!reportFile.empty()) {
    unit = unitNow();
    unit.exitCode = status;
    unit.outcome = korvelt::line::OutcomeForExit(status);
    unit.message = runner.failureMessage();
    korvelt::line::AddStepsNotStarted(unit, words);
    report.units.push_back(unit);
    report.endedAt = std::chrono::system_clock::now();
    if (!korvelt::line::WriteReport(report, reportFile) && status == kExitOk) status = kExitFailed;
  }
  korvelt::line::RemoveInterruptHandler();
  return history ? history->ExitStatus(status) : status;
}
