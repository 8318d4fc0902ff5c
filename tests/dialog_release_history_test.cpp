// The dialog started with --release and --history (frontends/common): the core on the virtual
// clock with the unit model behind COM1, given what the front ends' mains give it, and the
// window's typed events handed to the history's recorder as the Qt and Win32 windows hand them.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "frontends/common/dialog_options.h"
#include "frontends/common/dialog_setup.h"
#include "history/history_database.h"
#include "release/make_manifest.h"
#include "release/release_images.h"
#include "release/sha256_file.h"
#include "resources/dialog_layout.h"
#include "resources/program_version.h"
#include "sim/instrument_model.h"
#include "sim/stm32_bootloader_model.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/fake_window_services.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_workdir.h"
#include "update/block_upload.h"

namespace korvelt {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using common::DialogOptions;
using history::HistoryRecord;

constexpr const char* kStationKeyId = "2C090728996D4FB5";  // signed the committed releases
constexpr int64_t kEpochMs = 1'796'083'200'000;            // 2026-12-01, the virtual clock's 0

fs::path DataDir() {
  return fs::path(KORVELT_RELEASE_TEST_DATA);
}

Bytes ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes Padded(Bytes bytes) {
  bytes.resize((bytes.size() + 255) / 256 * 256, 0x00);  // the last block is padded
  return bytes;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The window's services as a front end implements them: the typed events go on to the
// recorder, and the end of the window ends what is still in flight.
struct RecordingServices : testing::FakeWindowServices {
  using FakeWindowServices::FakeWindowServices;
  void OperationStarted(const OperationStart& start) override {
    if (recorder) recorder->OperationStarted(start, *this);
  }
  void OperationEnded(const OperationResult& result) override {
    FakeWindowServices::OperationEnded(result);
    if (recorder) recorder->OperationEnded(result, *this);
  }
  void EndDialog(int result) override {
    if (recorder) recorder->WindowClosing(*this);
    FakeWindowServices::EndDialog(result);
  }
  common::HistoryRecorder* recorder = nullptr;
};

// One station: its working folder, the unit behind COM1 and the dialog, started as the mains
// start it.
struct Station {
  explicit Station(sim::InstrumentConfig unitConfig = {})
      : services(clock),
        port(clock),
        dialog(services, port, nullptr),
        unit(unitConfig),
        link(clock, port) {
    services.Attach(&dialog);
    port.Attach(&dialog);
    link.Attach(1, &unit);
    dialog.OnInitDialog();
  }
  ~Station() { services.recorder = nullptr; }

  // The refusal that stops the start, or nothing: the window got its options and its port.
  std::optional<std::string> Start(const DialogOptions& options) {
    auto prepared = common::PrepareDialog(
        options, {.stationFile = work.path() / "station.conf", .clock = [this] {
                    return history::HistoryTime(
                        std::chrono::milliseconds(kEpochMs + static_cast<int64_t>(clock.Now())));
                  }});
    if (!prepared.ok()) return prepared.error();
    setup = std::move(prepared).value();
    setup.ApplyTo(dialog);
    recorder = std::move(setup.recorder);
    services.recorder = recorder.get();
    Click(IDC_PORT_BUTTON);
    return std::nullopt;
  }
  // A button, and the notification handed on afterwards, as the windows do.
  void Click(int controlId) {
    mark = services.events.size();
    dialog.Click(controlId);
    if (recorder) recorder->CommandHandled(controlId, BN_CLICKED, services);
  }
  // Until the last button's operation tells `event`.
  bool RunUntil(OperationEvent event, uint64_t limitMs = 600000) {
    return clock.RunUntil(
        [&] {
          return std::find(services.events.begin() + static_cast<long>(mark), services.events.end(),
                           event) != services.events.end();
        },
        limitMs);
  }
  void WriteText(const std::string& relative, const std::string& text) {
    work.Write(relative, Bytes(text.begin(), text.end()));
  }

  // A release made here and signed by the minisign tool, with the key that signed it.
  fs::path SignRelease(const std::map<std::string, Bytes>& images) {
    const fs::path folder = work.path() / "release";
    fs::create_directories(folder);
    for (const auto& [name, bytes] : images) work.Write("release/" + name, bytes);
    const auto made = release::MakeManifest(folder, "2026.12-rc1", {});
    EXPECT_TRUE(made.ok()) << made.error().text;
    key = work.path() / "signer.pub";
    const fs::path secret = work.path() / "signer.sec";
    Run(std::string(KORVELT_MINISIGN) + " -G -W -p '" + key.string() + "' -s '" + secret.string() +
        "'");
    Run(std::string(KORVELT_MINISIGN) + " -S -s '" + secret.string() + "' -m '" +
        (folder / release::kManifestName).string() + "'");
    return folder;
  }
  static void Run(const std::string& command) {
    ASSERT_EQ(std::system((command + " > /dev/null").c_str()), 0) << command;
  }
  static std::vector<HistoryRecord> Rows(const fs::path& file) {
    auto database = history::HistoryDatabase::Open(file);
    auto rows = database.value()->Query({});
    return rows.ok() ? rows.value() : std::vector<HistoryRecord>{};
  }

  testing::TempWorkDir work;  // first: the fixed image paths are relative to it
  testing::VirtualClock clock;
  RecordingServices services;
  testing::FakeSerialPort port;
  UpdaterDialog dialog;
  sim::InstrumentModel unit;
  testing::SimLink link;
  common::DialogSetup setup;
  std::unique_ptr<common::HistoryRecorder> recorder;
  fs::path key;
  std::size_t mark = 0;  // the events before the last button
};

DialogOptions CommittedRelease() {
  return {.release = (DataDir() / "release-prehashed").string(),
          .trustedKeys = {(DataDir() / "station.pub").string()}};
}

// --- The command line both front ends share ------------------------------------------------

TEST(DialogCommandLine, OneParserForBothFrontEnds) {
  using Outcome = common::ParsedCommandLine::Outcome;
  // One word each, spaces and all, as CommandLineToArgvW splits quoted paths.
  const auto parsed = common::ParseDialogCommandLine(
      {"--release", "C:\\Line 3\\2026.12", "--trusted-key", "a.pub", "--trusted-key",
       "C:\\keys\\b key.pub", "--history=h.sqlite", "--operator", "Zoë", "--mcu-stub"},
      false);
  ASSERT_EQ(parsed.outcome, Outcome::kRun) << parsed.text;
  EXPECT_EQ(parsed.options.release, "C:\\Line 3\\2026.12");
  EXPECT_EQ(parsed.options.trustedKeys, (std::vector<std::string>{"a.pub", "C:\\keys\\b key.pub"}));
  EXPECT_EQ(parsed.options.history, "h.sqlite");
  EXPECT_EQ(parsed.options.operatorName, "Zoë");
  EXPECT_TRUE(parsed.options.mcuStub);
  // A misspelt option must not start the window without its checks; options that need
  // another, and a second word after --trusted-key, are refused too.
  for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
           {"--relase", "r"},
           {"--trusted-key", "a.pub"},
           {"--operator", "Ann"},
           {"--trusted-key", "a.pub", "b.pub", "--release", "r"},
           {"--screenshot", "w.png"}}) {  // the Win32 window takes no pictures of itself
    EXPECT_EQ(common::ParseDialogCommandLine(words, false).outcome, Outcome::kUsageError)
        << ::testing::PrintToString(words);
  }
}

// --- --release --------------------------------------------------------------------------------

TEST(DialogRelease, TheReleasesFixedImageGoesIntoTheUnit) {
  Station s;
  s.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(3000, 9));  // not the release's
  ASSERT_EQ(s.Start(CommittedRelease()), std::nullopt);
  EXPECT_EQ(s.setup.titleNote,
            std::string("release 2026.12, signed by key ") + kStationKeyId + ", 4 images checked");
  EXPECT_EQ(common::WindowTitle("ISP PC CONSOLE", s.setup),
            "ISP PC CONSOLE - " + s.setup.titleNote);
  s.Click(IDC_GENERATOR_FPGA);
  ASSERT_TRUE(s.RunUntil(OperationEvent::kUploadFinished))
      << (s.services.boxes.empty() ? "" : s.services.boxes.back().text);
  EXPECT_EQ(s.unit.uploads().at(kKindFpga).bytes,
            Padded(ReadBytes(DataDir() / "release-prehashed/GENERATOR_FPGA.bin")));
}

TEST(DialogRelease, AFixedImageTheReleaseLacksIsRefusedWithNothingSent) {
  struct Case {
    int button;
    const char* decoy;  // what the window would have read instead
    const char* says;
  } cases[] = {
      {IDC_ANALYZER_FPGA, "data/ANALYZER_FPGA.bin", "has no analyzer fpga image"},
      {IDC_UPDATE_ANALYZER_MCU, "data/ANALYZER_MCU(rack).bin", "has no analyzer mcu image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.decoy);
    Station s({.deviceType = 1});
    s.work.Write(c.decoy, testing::PatternImage(2048, 4));
    ASSERT_EQ(s.Start(CommittedRelease()), std::nullopt);
    s.dialog.m_deviceType = 1;  // a search found the analyzer
    s.Click(c.button);
    ASSERT_EQ(s.services.boxes.size(), 1u);
    EXPECT_EQ(s.services.boxes[0].caption, "ISP");
    EXPECT_TRUE(Contains(s.services.boxes[0].text, "Release 2026.12 " + std::string(c.says)))
        << s.services.boxes[0].text;
    EXPECT_EQ(s.services.results.back().failure, FailureKind::kImage);
    s.clock.RunFor(10000);
    EXPECT_TRUE(s.port.writes.empty()) << "not a byte, not even the ISP request";
  }
}

TEST(DialogRelease, AnImageChangedAfterTheReleaseWasCheckedIsRefused) {
  Station s;
  const fs::path folder = s.work.path() / "release";
  fs::copy(DataDir() / "release-prehashed", folder);
  ASSERT_EQ(
      s.Start({.release = folder.string(), .trustedKeys = {(DataDir() / "station.pub").string()}}),
      std::nullopt);
  Bytes changed = ReadBytes(folder / "GENERATOR_FPGA.bin");
  changed[100] ^= 0x01;  // same size, another SHA-256
  s.work.Write("release/GENERATOR_FPGA.bin", changed);
  s.Click(IDC_GENERATOR_FPGA);
  ASSERT_FALSE(s.services.boxes.empty());
  EXPECT_TRUE(Contains(s.services.boxes.back().text,
                       "GENERATOR_FPGA.bin changed after release 2026.12 was checked"))
      << s.services.boxes.back().text;
  s.clock.RunFor(10000);
  EXPECT_TRUE(s.port.writes.empty());
}

TEST(DialogRelease, AStationThatRequiresReleasesRefusesEveryOtherImage) {
  Station s;
  s.WriteText("station.conf", "require-release = true\n");
  const std::string chosen = s.work.Write("chosen.bin", testing::PatternImage(1000, 2));
  s.services.fileAnswers.push_back(chosen);
  ASSERT_EQ(s.Start({}), std::nullopt);  // no --release: the station's file still applies
  s.Click(IDC_NAND_FLASH);
  ASSERT_FALSE(s.services.boxes.empty());
  EXPECT_EQ(s.services.boxes.back().text, release::NotFromReleaseText(chosen));
  s.clock.RunFor(10000);
  EXPECT_TRUE(s.port.writes.empty());
}

TEST(DialogRelease, WhatCannotBeUsedStopsTheStart) {
  struct Case {
    const char* name;
    std::function<DialogOptions(Station&)> options;
    std::string says;
  } cases[] = {
      {"a key the station does not trust",
       [](Station&) {
         return DialogOptions{.release = (DataDir() / "release-prehashed").string(),
                              .trustedKeys = {(DataDir() / "other.pub").string()}};
       },
       std::string("is signed by key ") + kStationKeyId + ", which this station does not trust"},
      {"a history that is another kind of file",
       [](Station& s) {
         return DialogOptions{.history = s.work.Write("notes.txt", Bytes(4096, 'x'))};
       },
       "is not an SQLite database"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Station s;
    const auto refused = s.Start(c.options(s));
    ASSERT_TRUE(refused);
    EXPECT_TRUE(Contains(*refused, c.says)) << *refused;
  }
}

// --- --history --------------------------------------------------------------------------------

TEST(DialogHistory, RowsForASuccessfulAndAFailedOperation) {
  if (std::string(KORVELT_MINISIGN).empty()) GTEST_SKIP() << "no minisign tool here";
  // The MCU image is larger than the part's flash: refused after the bootloader told its
  // identity, before anything was erased.
  sim::InstrumentConfig config;
  config.stm32 = std::make_shared<sim::Stm32Config>(sim::Stm32Config{.flashBytes = 64 * 1024});
  Station s(config);
  const Bytes fpga = testing::PatternImage(3000, 1);
  const Bytes mcu = testing::PatternImage(80 * 1024, 2);
  const fs::path folder =
      s.SignRelease({{"GENERATOR_FPGA.bin", fpga}, {"GENERATOR_MCU(rack).bin", mcu}});
  const fs::path file = s.work.path() / "history.sqlite";
  ASSERT_EQ(s.Start({.fastMcu = true,
                     .release = folder.string(),
                     .trustedKeys = {s.key.string()},
                     .history = file.string(),
                     .station = "Line 3",
                     .operatorName = "Ann"}),
            std::nullopt);
  s.Click(IDC_GENERATOR_FPGA);
  ASSERT_TRUE(s.RunUntil(OperationEvent::kUploadFinished));
  s.clock.RunFor(2000);  // the auto-close
  const std::string nand = s.work.Write("nand.bin", testing::PatternImage(700, 3));
  s.services.fileAnswers.push_back(nand);
  s.Click(IDC_PORT_BUTTON);
  s.Click(IDC_NAND_FLASH);
  ASSERT_TRUE(s.RunUntil(OperationEvent::kUploadFinished));
  s.clock.RunFor(2000);
  s.Click(IDC_PORT_BUTTON);
  s.Click(IDC_UPDATE_GENERATOR_MCU);
  ASSERT_TRUE(s.RunUntil(OperationEvent::kMcuUpdateFailed));
  const std::string failure = s.services.results.back().text;

  const auto rows = s.Rows(file);
  ASSERT_EQ(rows.size(), 3u);
  for (const HistoryRecord& row : rows) {
    SCOPED_TRACE(row.step);
    EXPECT_EQ(row.station + "/" + row.operatorName + "/" + row.port, "Line 3/Ann/COM1");
    EXPECT_EQ(row.toolVersion, VersionLine("korvelt-updater"));
    EXPECT_GT(row.endedAt, row.startedAt);
    EXPECT_DOUBLE_EQ(row.seconds, (row.endedAt - row.startedAt).count() / 1000.0);
  }
  const HistoryRecord& up = rows[0];
  EXPECT_EQ(up.step, "generator-fpga");
  EXPECT_EQ(up.outcome, "ok");
  EXPECT_EQ(up.message, "");
  EXPECT_EQ(up.deviceType, 0);
  EXPECT_EQ(up.kind, "generator");
  EXPECT_EQ(up.imageFile, (folder / "GENERATOR_FPGA.bin").string());
  EXPECT_EQ(up.bytes, fpga.size());
  EXPECT_EQ(up.sha256, release::Sha256Hex(fpga));
  EXPECT_EQ(up.release, "2026.12-rc1");
  EXPECT_EQ(up.key, s.setup.release->keyId);
  EXPECT_FALSE(up.mcuUid || up.verified || up.started) << "the MCU update's facts only";

  const HistoryRecord& chosen = rows[1];
  EXPECT_EQ(chosen.step, "nand-flash=" + nand);
  EXPECT_EQ(chosen.sha256, release::Sha256Hex(testing::PatternImage(700, 3)));
  EXPECT_FALSE(chosen.release || chosen.key) << "a file from elsewhere is not the release's";

  const HistoryRecord& refused = rows[2];
  EXPECT_EQ(refused.step, "generator-mcu");
  EXPECT_EQ(refused.outcome, "failed");
  EXPECT_EQ(refused.message, failure);
  EXPECT_TRUE(Contains(refused.message, "Nothing was erased")) << refused.message;
  EXPECT_EQ(refused.sha256, release::Sha256Hex(mcu));
  EXPECT_EQ(refused.release, "2026.12-rc1");
  EXPECT_EQ(refused.mcuUid, "3132333435363738393a3b03");
  EXPECT_EQ(refused.started, false) << "nothing was erased";
  EXPECT_EQ(refused.verified, false);
}

TEST(DialogHistory, AnOperationTheOperatorStopsEndsItsRow) {
  struct Case {
    const char* name;
    std::function<void(Station&)> stop;
    const char* says;
  } cases[] = {
      {"Close Port", [](Station& s) { s.Click(IDC_PORT_BUTTON); }, "Stopped by the operator"},
      {"the window closed", [](Station& s) { s.dialog.Dispatch(WM_CLOSE, 0, 0); },
       "The window was closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The unit never acknowledges a block: the dialog waits, as its design does.
    Station s({.blockFault = [](const sim::BlockSeen&) { return sim::BlockAnswer::kNoAnswer; }});
    s.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(3000, 1));
    const fs::path file = s.work.path() / "history.sqlite";
    ASSERT_EQ(s.Start({.history = file.string()}), std::nullopt);
    s.Click(IDC_GENERATOR_FPGA);
    s.clock.RunFor(5000);
    ASSERT_TRUE(s.Rows(file).empty()) << "a row is written when its operation ends";
    c.stop(s);
    const auto rows = s.Rows(file);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].step, "generator-fpga");
    EXPECT_EQ(rows[0].imageFile, "./data/GENERATOR_FPGA.bin");
    EXPECT_EQ(rows[0].outcome, "interrupted");
    EXPECT_TRUE(Contains(rows[0].message, c.says)) << rows[0].message;
    // Ended when the operator acted, not later.
    EXPECT_GE(rows[0].seconds, 5.0);
    EXPECT_LT(rows[0].seconds, 6.0);
  }
}

TEST(DialogHistory, ARowThatCannotBeWrittenIsToldWhileTheOutcomeStays) {
  Station s;
  s.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(3000, 1));
  const fs::path file = s.work.path() / "history.sqlite";
  ASSERT_EQ(s.Start({.history = file.string()}), std::nullopt);
  // Another program makes every insert fail, as a full disk would.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file.string().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other,
                         "CREATE TRIGGER refuse BEFORE INSERT ON steps "
                         "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(other);

  s.Click(IDC_GENERATOR_FPGA);
  ASSERT_TRUE(s.RunUntil(OperationEvent::kUploadFinished));
  ASSERT_EQ(s.services.boxes.size(), 1u);
  EXPECT_EQ(s.services.boxes[0].caption, "ISP");
  EXPECT_TRUE(Contains(s.services.boxes[0].text, "history row of generator-fpga (ok)"))
      << s.services.boxes[0].text;
  EXPECT_TRUE(Contains(s.services.boxes[0].text, "database or disk is full"));
  EXPECT_FALSE(s.services.results.back().failed()) << "the upload's outcome stands";
  EXPECT_TRUE(Contains(s.dialog.m_strNote, "Succeed")) << s.dialog.m_strNote;
  EXPECT_EQ(s.unit.uploads().at(kKindFpga).bytes, Padded(testing::PatternImage(3000, 1)));
}

}  // namespace
}  // namespace korvelt
