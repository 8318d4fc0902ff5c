#include "frontends/common/dialog_setup.h"

#include "history/history_location.h"
#include "release/input_file.h"
#include "release/release_images.h"
#include "release/station_config.h"
#include "release/trusted_keys.h"
#include "resources/program_version.h"

namespace korvelt::common {

namespace {

using Prepared = release::Checked<DialogSetup, std::string>;

// The keys given with --trusted-key, else every key of the station's folder.
release::Checked<release::TrustedKeys, std::string> KeysFor(const DialogOptions& options,
                                                            const release::StationConfig& station) {
  if (options.trustedKeys.empty()) {
    auto keys = release::LoadTrustedKeys(station.trustedKeys);
    if (!keys.ok()) return keys.error().text;
    return std::move(keys).value();
  }
  release::TrustedKeys keys;
  for (const std::string& file : options.trustedKeys) {
    const auto path = release::PathFromUtf8(file);
    if (!path) return "The trusted key " + file + " is not a valid file name.";
    auto key = release::LoadPublicKeyFile(*path);
    if (!key.ok()) return key.error().text;
    keys.push_back(std::move(key).value());
  }
  return keys;
}

}  // namespace

void DialogSetup::ApplyTo(UpdaterDialog& dialog) const {
  dialog.Configure(window);
  if (mcu) dialog.mcuUpdate().Configure(*mcu);
}

Prepared PrepareDialog(const DialogOptions& options, const DialogEnvironment& environment) {
  DialogSetup setup;
  if (options.fastMcu || options.mcuStub) {
    setup.mcu = McuUpdateOptions{
        .pacing = Stm32Pacing::kAcknowledged, .verify = true, .stub = options.mcuStub};
  }

  // A station file that cannot be read may be the one that requires releases: nothing starts.
  const auto station = release::LoadStationConfig(environment.stationFile);
  if (!station.ok()) return station.error().text;

  if (options.release) {
    const auto folder = release::PathFromUtf8(*options.release);
    if (!folder) return "The release folder " + *options.release + " is not a valid file name.";
    const auto keys = KeysFor(options, station.value());
    if (!keys.ok()) return keys.error();
    auto verified = release::VerifyRelease(*folder, keys.value());
    if (!verified.ok()) return verified.error().text;
    setup.release = std::make_shared<const release::VerifiedRelease>(std::move(verified).value());
    setup.titleNote = release::OperatorLine(*setup.release);
  }
  // Without a release and a station that requires none, this adds nothing: the window reads
  // its images as it always has.
  release::ReleaseImageSource images =
      release::ImageSourceFor(setup.release, station.value().requireRelease);
  setup.window.imageFiles = std::move(images.fixedFiles);
  setup.window.refusedImages = std::move(images.refusedFixed);
  setup.window.imageCheck = std::move(images.check);

  if (options.history) {
    const auto file = release::PathFromUtf8(*options.history);
    if (!file) return "The history file " + *options.history + " is not a valid file name.";
    auto database = history::HistoryDatabase::Open(*file);
    if (!database.ok()) return "The history can not be used: " + database.error().text + ".";
    setup.recorder = std::make_unique<HistoryRecorder>(
        std::move(database.value()),
        history::IdentifyStation(options.station, options.operatorName),
        VersionLine("korvelt-updater"), setup.release, environment.clock);
  }
  return setup;
}

std::string WindowTitle(std::string_view designTitle, const DialogSetup& setup) {
  if (setup.titleNote.empty()) return std::string(designTitle);
  return std::string(designTitle) + " - " + setup.titleNote;
}

}  // namespace korvelt::common
