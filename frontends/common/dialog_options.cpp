#include "frontends/common/dialog_options.h"

#include <CLI/CLI.hpp>
#include <sstream>

#include "resources/program_version.h"

namespace korvelt::common {

ParsedCommandLine ParseDialogCommandLine(const std::vector<std::string>& arguments,
                                         bool offerScreenshot) {
  ParsedCommandLine parsed;
  DialogOptions& o = parsed.options;
  CLI::App app{"The operator's dialog: firmware updates of the rack KORVELT instrument.",
               "korvelt-updater"};
  app.add_flag("--fast-mcu", o.fastMcu,
               "MCU updates go on at each acknowledgement of the bootloader and read the flash "
               "back afterwards, instead of the fixed pauses");
  app.add_flag("--mcu-stub", o.mcuStub,
               "MCU updates load a flashing stub into the MCU's RAM and write and check the "
               "image through it; implies --fast-mcu");
  if (offerScreenshot) {
    app.add_option("--screenshot", o.screenshot, "save a picture of the window at start and end")
        ->type_name("FILE");
  }
  CLI::Option* release =
      app.add_option("--release", o.release,
                     "take the fixed images from this signed release folder, verified before "
                     "the window opens; every image is checked against it as it is loaded")
          ->type_name("DIR");
  // One file per --trusted-key: a greedy list would swallow the words after it.
  app.add_option("--trusted-key", o.trustedKeys,
                 "with --release: trust this minisign public key instead of the station's keys "
                 "folder (repeatable)")
      ->type_name("FILE")
      ->allow_extra_args(false)
      ->needs(release);
  CLI::Option* history =
      app.add_option("--history", o.history,
                     "write a row to this history file (SQLite) for every image operation")
          ->type_name("FILE");
  app.add_option("--station", o.station, "with --history: the station's name (default: the host)")
      ->type_name("NAME")
      ->needs(history);
  app.add_option("--operator", o.operatorName,
                 "with --history: the operator's name (default: the login name)")
      ->type_name("NAME")
      ->needs(history);
  app.set_version_flag("--version", VersionLine("korvelt-updater"));

  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());  // CLI11's order
  try {
    app.parse(reversed);
  } catch (const CLI::CallForVersion&) {
    parsed.outcome = ParsedCommandLine::Outcome::kVersion;
    parsed.text = VersionLine("korvelt-updater");
  } catch (const CLI::CallForHelp&) {
    parsed.outcome = ParsedCommandLine::Outcome::kHelp;
    parsed.text = app.help();
  } catch (const CLI::ParseError& error) {
    std::ostringstream out, err;
    app.exit(error, out, err);
    parsed.outcome = ParsedCommandLine::Outcome::kUsageError;
    parsed.text = err.str();
  }
  while (!parsed.text.empty() && parsed.text.back() == '\n') parsed.text.pop_back();
  return parsed;
}

}  // namespace korvelt::common
