#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/updater_dialog.h"
#include "frontends/common/dialog_options.h"
#include "frontends/common/history_recorder.h"
#include "release/refusal.h"
#include "release/release_folder.h"
#include "release/station_folder.h"

namespace korvelt::common {

// What the dialog is given beyond its design, decided before its window shows.
struct DialogSetup {
  UpdaterOptions window;                // the release's images and checks
  std::optional<McuUpdateOptions> mcu;  // --fast-mcu, --mcu-stub
  std::shared_ptr<const release::VerifiedRelease> release;
  std::string titleNote;  // the release's one-line summary, shown in the title; empty: none
  std::unique_ptr<HistoryRecorder> recorder;  // --history; null: no file is written

  // Gives the window its options; after OnInitDialog, before the first button.
  void ApplyTo(UpdaterDialog& dialog) const;
};

struct DialogEnvironment {
  std::filesystem::path stationFile = release::DefaultStationConfigPath();
  HistoryRecorder::Clock clock = HistoryRecorder::SystemNow;
};

// Reads the station file (require-release applies to the dialog too), verifies the release
// given with --release and opens the history given with --history. Any refusal is the text of
// the box that stops the start.
release::Checked<DialogSetup, std::string> PrepareDialog(const DialogOptions& options,
                                                         const DialogEnvironment& environment = {});

// The window's title with the release's summary: "ISP PC CONSOLE - release 2026.12, ...".
std::string WindowTitle(std::string_view designTitle, const DialogSetup& setup);

}  // namespace korvelt::common
