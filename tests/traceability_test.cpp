// Who got what, and only from signed releases: korvelt-cli's station history and its release
// checks, run as a line runs them against the virtual instrument.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "sim/image_digest.h"
#include "tests/support/program_rig.h"

namespace korvelt {
namespace {

using Json = nlohmann::json;
using testing::ProgramRig;
namespace fs = std::filesystem;

bool Says(const std::string& output, const std::string& text) {
  return output.find(text) != std::string::npos;
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// korvelt-cli with an environment variable set for it alone.
testing::CommandResult CliWith(ProgramRig& rig, const std::string& variable,
                               const std::string& arguments) {
  return testing::RunCommand("env " + variable + " " + rig.CliCommand(arguments),
                             (rig.work.path() / "cli-output.txt").string(), 180);
}

// --- The station's history ---------------------------------------------------------------------

// Four units and one whose MCU refuses every write: a row for each image step that ran, the same
// values as the report, and the queries an engineer asks of them.
TEST(StationHistory, AUnitsRunWritesTheRowsItsReportShows) {
  ProgramRig rig;
  rig.Serve("3=generator,4=generator,5=generator,6=generator");
  rig.Serve("7=generator", {"--mcu-nack-writes"});
  rig.work.Write("data/GENERATOR_MCU(rack).bin", testing::PatternImage(4096, 1));
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(8192, 2));
  const std::string history = (rig.work.path() / "station.sqlite").string();
  const auto run = rig.Cli("--history " + history +
                           " --station line-1 --operator anna --report report.json -q "
                           "--units 3,4,5,6,7 generator-mcu open generator-fpga");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  const Json report = rig.Report();
  const Json sims = rig.StopSims();

  const auto rows = rig.Cli("history --history " + history + " --json");
  ASSERT_EQ(rows.exitCode, 0) << rows.output;
  const Json parsed = Json::parse(rows.output);
  ASSERT_EQ(parsed.size(), 9u) << "8 steps of the four units, the failed MCU step of COM7";
  std::map<std::string, Json> reportSteps;  // "COM3 generator-mcu"
  std::map<std::string, Json> reportUnits;
  for (const Json& unit : report["units"]) {
    reportUnits[unit["port"]] = unit;
    for (const Json& step : unit["steps"])
      reportSteps[unit["port"].get<std::string>() + " " + step["step"].get<std::string>()] = step;
  }
  std::set<std::string> uids;
  for (const Json& row : parsed) {
    SCOPED_TRACE(row.dump());
    const std::string port = row["port"];
    const Json& step = reportSteps[port + " " + row["step"].get<std::string>()];
    const Json& unit = reportUnits[port];
    ASSERT_TRUE(step.is_object());
    EXPECT_EQ(row["station"], "line-1");
    EXPECT_EQ(row["operator"], "anna");
    EXPECT_EQ(row["station"], report["station"]);
    EXPECT_EQ(row["operator"], report["operator"]);
    EXPECT_EQ(row["toolVersion"], report["tool"]);
    EXPECT_EQ(row["kind"], unit["kind"]);
    EXPECT_EQ(row["deviceType"], unit["deviceType"]);
    EXPECT_EQ(row["mcuUid"], unit["mcuUid"]);
    for (const char* field : {"startedAt", "endedAt", "outcome", "seconds", "bytes", "sha256"}) {
      EXPECT_EQ(row[field], step.value(field, Json())) << field;
    }
    EXPECT_EQ(row["imageFile"], step.value("file", Json()));
    EXPECT_EQ(row["message"], step.value("message", ""));
    EXPECT_EQ(row["verified"], step.value("verified", Json()));
    EXPECT_EQ(row["started"], step.value("started", Json()));
    EXPECT_TRUE(row["release"].is_null());
    if (row["outcome"] == "ok") {
      // Backed by what the unit holds.
      const Json& held = sims[port.substr(3)];
      EXPECT_EQ(row["sha256"], row["step"] == "generator-mcu" ? held["mcu"]["sha256"]
                                                              : held["images"]["fpga"]["sha256"]);
    } else {
      EXPECT_EQ(port, "COM7");
      EXPECT_EQ(row["outcome"], "failed");
      EXPECT_FALSE(row["message"].get<std::string>().empty());
    }
    uids.insert(row["mcuUid"]);
  }
  EXPECT_EQ(uids.size(), 5u) << "each unit told by its MCU's ID";

  const std::string uid3 = reportUnits["COM3"]["mcuUid"];
  struct Query {
    std::string args;
    int exit;
    std::size_t rows;
  };
  const Query queries[] = {
      {"--unit " + uid3, 0, 2},
      {"--unit " + uid3 + " --last 1", 0, 1},
      {"--port COM7", 0, 1},
      {"--port 4", 0, 2},
      {"--last 3", 0, 3},
      {"--since 2000-01-01", 0, 9},
      {"--since 2999-01-01T00:00", 0, 0},
      {"--since yesterday", 2, 0},
      {"--unit 42", 2, 0},
  };
  for (const Query& q : queries) {
    SCOPED_TRACE(q.args);
    const auto result = rig.Cli("history --history " + history + " --json " + q.args);
    ASSERT_EQ(result.exitCode, q.exit) << result.output;
    if (q.exit == 0) EXPECT_EQ(Json::parse(result.output).size(), q.rows);
  }
  const auto last =
      Json::parse(rig.Cli("history --history " + history + " --json --last 2").output);
  EXPECT_LE(last[0]["startedAt"], last[1]["startedAt"]) << "newest last";
  const auto csv = rig.Cli("history --history " + history + " --csv --port COM7");
  EXPECT_TRUE(csv.output.rfind("startedAt,endedAt,station,operator,port,", 0) == 0) << csv.output;
  EXPECT_TRUE(Says(csv.output, ",line-1,anna,COM7,")) << csv.output;
}

// A history that cannot be opened stops the run before any unit is touched; without one the
// run goes on.
TEST(StationHistory, AHistoryThatCannotBeOpenedStopsTheRunFirst) {
  ProgramRig rig;
  rig.Serve("3=generator");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(4096, 3));
  fs::create_directories(rig.work.path() / "a-folder");
  rig.work.Write("not-sqlite.sqlite", std::vector<uint8_t>(100, 'x'));
  for (const char* file : {"a-folder", "not-sqlite.sqlite"}) {
    SCOPED_TRACE(file);
    const auto run =
        rig.Cli("--history " + (rig.work.path() / file).string() + " --port 3 generator-fpga");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_TRUE(Says(run.output, "--no-history")) << run.output;
  }
  const auto without = CliWith(rig, "KORVELT_HISTORY=" + (rig.work.path() / "a-folder").string(),
                               "--no-history --port 3 -q generator-fpga");
  EXPECT_EQ(without.exitCode, 0) << without.output;
  const Json sims = rig.StopSims();
  EXPECT_EQ(sims["3"]["images"]["fpga"]["blocksAccepted"], 16) << "only the run without history";
}

// A unit whose MCU update was cut waits in its bootloader, which cannot say what kind of unit
// it is: the history knows, by the MCU's ID, which firmware it last took.
TEST(StationHistory, AUnitWaitingInItsBootloaderResumesAsTheKindItsHistoryNames) {
  ProgramRig rig;
  const auto image = testing::PatternImage(4096, 9);
  rig.work.Write("data/ANALYZER_MCU(rack).bin", image);
  const std::string history = "--history " + (rig.work.path() / "h.sqlite").string();
  rig.Serve("5=analyzer");
  ASSERT_EQ(rig.Cli(history + " -q --units 5 analyzer-mcu").exitCode, 0);
  rig.StopSims();
  rig.sims.clear();
  rig.Serve("5=analyzer", {"--in-bootloader"});
  const auto unknown = rig.Cli("--no-history -q --units all analyzer-mcu");
  EXPECT_EQ(unknown.exitCode, 1) << unknown.output;
  EXPECT_TRUE(Says(unknown.output, "--resume-kind")) << unknown.output;
  const auto resumed = rig.Cli(history + " -q --units all analyzer-mcu");
  EXPECT_EQ(resumed.exitCode, 0) << resumed.output;
  EXPECT_TRUE(Says(resumed.output, "last took analyzer firmware")) << resumed.output;
  const Json sims = rig.StopSims();
  EXPECT_EQ(sims["5"]["mcu"]["sha256"], sim::Sha256Hex(image));
}

// --- Signed releases ---------------------------------------------------------------------------

class SignedReleaseRun : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_.Serve("3=generator,4=analyzer");
    fs::create_directories(Path("keys"));
    fs::create_directories(Path("rel"));
    MakeKey("line");
    MakeKey("stranger");
    rig_.work.Write("rel/GENERATOR_FPGA.bin", testing::PatternImage(8192, 4));
    rig_.work.Write("rel/GENERATOR_MCU(rack).bin", testing::PatternImage(4096, 5));
    rig_.work.Write("rel/aux-fpga.bin", testing::PatternImage(3000, 6));
    const auto made = rig_.Cli("make-manifest " + Path("rel") + " --release 2026.12 --map " +
                               "aux-fpga.bin=generator:aux-fpga");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    Sign("rel", "line");
  }

  std::string Path(const std::string& name) const { return (rig_.work.path() / name).string(); }

  static void Run(const std::string& command) {
    ASSERT_EQ(std::system((command + " > /dev/null 2>&1").c_str()), 0) << command;
  }
  void MakeKey(const std::string& name) {
    Run(std::string(KORVELT_MINISIGN) + " -G -W -p " + Path("keys/" + name + ".pub") + " -s " +
        Path(name + ".sec"));
  }
  void Sign(const std::string& folder, const std::string& key) {
    Run(std::string(KORVELT_MINISIGN) + " -S -s " + Path(key + ".sec") + " -m " +
        Path(folder + "/manifest.json") + " -t 'release 2026.12'");
  }
  testing::CommandResult WithRelease(const std::string& folder, const std::string& steps,
                                     const std::string& key = "keys/line.pub") {
    return rig_.Cli("--release " + Path(folder) + " --trusted-key " + Path(key) + " " + steps);
  }
  void Copy(const std::string& to) { fs::copy(Path("rel"), Path(to), fs::copy_options::recursive); }

  ProgramRig rig_;
};

TEST_F(SignedReleaseRun, AGoodReleaseUpdatesTheUnitAndIsRecorded) {
  const auto run = WithRelease("rel", "--history " + Path("h.sqlite") +
                                          " --report report.json --port 3 generator-fpga open "
                                          "generator-mcu open aux-fpga=" +
                                          Path("rel/aux-fpga.bin"));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(Says(run.output, "release 2026.12, signed by key ")) << run.output;
  EXPECT_TRUE(Says(run.output, ", 3 images checked")) << run.output;
  const Json report = rig_.Report();
  const std::string manifest = ReadText(Path("rel/manifest.json"));
  const std::string manifestSha =
      sim::Sha256Hex(reinterpret_cast<const uint8_t*>(manifest.data()), manifest.size());
  for (const Json& step : report["units"][0]["steps"]) {
    if (step["step"] == "open") continue;
    SCOPED_TRACE(step.dump());
    EXPECT_EQ(step["release"]["name"], "2026.12");
    EXPECT_EQ(step["release"]["manifestSha256"], manifestSha);
    EXPECT_EQ(step["key"].get<std::string>().size(), 16u);
  }
  const Json rows =
      Json::parse(rig_.Cli("history --history " + Path("h.sqlite") + " --json").output);
  ASSERT_EQ(rows.size(), 3u);
  for (const Json& row : rows) {
    EXPECT_EQ(row["release"], "2026.12");
    EXPECT_EQ(row["releaseSha256"], manifestSha);
    EXPECT_EQ(row["key"], report["units"][0]["steps"][0]["key"]);
  }
  const Json sims = rig_.StopSims();
  const auto fpga = testing::PatternImage(8192, 4);
  EXPECT_EQ(sims["3"]["images"]["fpga"]["sha256"], sim::Sha256Hex(fpga));
  EXPECT_EQ(sims["3"]["mcu"]["sha256"], sim::Sha256Hex(testing::PatternImage(4096, 5)));
  EXPECT_EQ(sims["3"]["images"]["aux-fpga"]["sha256"],
            sim::Sha256Hex(sim::PaddedToBlocks(testing::PatternImage(3000, 6), 256, 0)));
}

// Every refusal names what and why, exits 1 and sends nothing to the unit.
TEST_F(SignedReleaseRun, EachRefusalSaysWhyAndSendsNothing) {
  struct Case {
    const char* name;
    std::function<void()> spoil;  // makes the folder "bad" from a copy of the good release
    std::string key;
    const char* says;
  };
  auto edit = [&](const std::string& file, const std::function<void(std::string&)>& change) {
    std::string text = ReadText(Path(file));
    change(text);
    std::ofstream(Path(file), std::ios::binary) << text;
  };
  const Case cases[] = {
      {"no signature", [&] { fs::remove(Path("bad/manifest.json.minisig")); }, "keys/line.pub",
       "manifest.json.minisig"},
      {"manifest changed after signing",
       [&] { edit("bad/manifest.json", [](std::string& t) { t.insert(1, " "); }); },
       "keys/line.pub", "changed after signing"},
      {"signed by a key not trusted", [&] { Sign("bad", "stranger"); }, "keys/line.pub", "trust"},
      {"trusted comment changed",
       [&] {
         edit("bad/manifest.json.minisig", [](std::string& t) {
           const auto at = t.find("release 2026.12");
           t.replace(at, 15, "release 2027.01");
         });
       },
       "keys/line.pub", "comment"},
      {"listed file missing", [&] { fs::remove(Path("bad/GENERATOR_FPGA.bin")); }, "keys/line.pub",
       "GENERATOR_FPGA.bin"},
      {"size differs", [&] { fs::resize_file(Path("bad/aux-fpga.bin"), 2999); }, "keys/line.pub",
       "aux-fpga.bin"},
      {"SHA-256 differs",
       [&] { edit("bad/GENERATOR_FPGA.bin", [](std::string& t) { t[100] ^= 1; }); },
       "keys/line.pub", "SHA-256"},
      {"manifest does not parse",
       [&] {
         std::ofstream(Path("bad/manifest.json")) << "{\"release\": ";
         Sign("bad", "line");
       },
       "keys/line.pub", "manifest"},
      {"key file is no key", [] {}, "rel/aux-fpga.bin", "aux-fpga.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path("bad"));
    Copy("bad");
    c.spoil();
    const auto run = WithRelease("bad", "--report report.json --port 3 generator-fpga", c.key);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Says(run.output, c.says)) << run.output;
    EXPECT_FALSE(Says(run.output, "images checked")) << run.output;
  }
  // A step the release has no image for, and a station that takes only releases.
  const auto analyzer = WithRelease("rel", "--port 4 analyzer-fpga");
  EXPECT_EQ(analyzer.exitCode, 1);
  EXPECT_TRUE(Says(analyzer.output, "has no analyzer fpga image")) << analyzer.output;
  rig_.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(8192, 7));
  rig_.work.Write("other.bin", testing::PatternImage(100, 8));
  for (const std::string& run : {std::string("--require-release --port 3 generator-fpga"),
                                 "--require-release --release " + Path("rel") + " --trusted-key " +
                                     Path("keys/line.pub") + " --port 3 aux-fpga=other.bin"}) {
    SCOPED_TRACE(run);
    const auto refused = rig_.Cli(run);
    EXPECT_EQ(refused.exitCode, 1) << refused.output;
    EXPECT_TRUE(Says(refused.output, "only with images of a")) << refused.output;
  }
  // The station's own file requires it too, and names its keys folder.
  fs::create_directories(Path("station"));
  std::ofstream(Path("station/station.conf"))
      << "require-release = true\ntrusted-keys = " + Path("keys") + "\n";
  const auto stationRun =
      CliWith(rig_, "KORVELT_STATION_DIR=" + Path("station"), "--port 3 generator-fpga");
  EXPECT_EQ(stationRun.exitCode, 1) << stationRun.output;
  const Json sims = rig_.StopSims();
  for (const char* port : {"3", "4"}) {
    EXPECT_EQ(sims[port]["framesSeen"], 0) << port;
    EXPECT_EQ(sims[port]["bytesIn"], 0) << port;
  }
}

}  // namespace
}  // namespace korvelt
