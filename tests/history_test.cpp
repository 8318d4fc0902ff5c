// The station's history: the file's layout and versions, many processes appending at once,
// the queries, and the JSON and CSV the line's tooling reads.
//
// The program is also its own helper: `history_tests --append-rows FILE INDEX COUNT` is one of
// the unit processes of the concurrency test, and `--write-sample FILE LABEL` /
// `--check-sample FILE LABEL` let the Linux and the Windows builds read each other's files
// (tests/windows/history_wine.sh).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string_view>
#include <thread>

#include "history/history_database.h"
#include "history/history_format.h"
#include "history/history_location.h"
#include "history/history_time.h"
#include "tests/support/spawned_process.h"

namespace korvelt::history {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

HistoryTime At(std::string_view text) {
  const auto time = ParseUtcTime(text);
  EXPECT_TRUE(time) << text;
  return time.value_or(HistoryTime{});
}

// A fresh folder for one test, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::random_device entropy;
    do {
      path_ = fs::temp_directory_path() / ("korvelt-history-" + std::to_string(entropy()));
    } while (!fs::create_directory(path_));
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path operator/(std::string_view name) const { return path_ / name; }

 private:
  fs::path path_;
};

std::string FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// Runs SQL on the file directly, as another program (or a later version) would.
void RawSql(const fs::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(PathText(file).c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

int64_t RawInt(const fs::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(PathText(file).c_str(), &db);
  sqlite3_stmt* statement = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

std::unique_ptr<HistoryDatabase> MustOpen(
    const fs::path& file, HistoryDatabase::OpenMode mode = HistoryDatabase::OpenMode::kCreate) {
  auto opened = HistoryDatabase::Open(file, mode);
  EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().text);
  return opened.ok() ? std::move(opened.value()) : nullptr;
}

HistoryRecord OkStep(std::string_view started, std::string port, std::optional<std::string> uid,
                     std::string step) {
  HistoryRecord r;
  r.startedAt = At(started);
  r.endedAt = r.startedAt + 4208ms;
  r.station = "line-3";
  r.operatorName = "anna";
  r.port = std::move(port);
  r.deviceType = 0;
  r.kind = "generator";
  r.mcuUid = std::move(uid);
  r.step = std::move(step);
  r.outcome = "ok";
  r.seconds = 4.208;
  r.toolVersion = "1.0.0";
  return r;
}

// Rows with every kind of value, text that needs quoting and UTF-8 beyond ASCII; `label` is
// their station, so builds can each add theirs to one file.
std::vector<HistoryRecord> SampleRecords(const std::string& label) {
  HistoryRecord fpga =
      OkStep("2026-12-08T09:26:53.589Z", "COM3", "0123456789abcdef01234567", "generator-fpga");
  fpga.station = label;
  fpga.adapterSerial = "A50285BI";
  fpga.imageFile = "GENERATOR_FPGA.bin";
  fpga.bytes = 32768;
  fpga.sha256 = "a8bf2b658827a3c587f349b500fd54de8413daab13c65acbf9919308d9b305a3";
  HistoryRecord mcu = fpga;
  mcu.startedAt = fpga.endedAt + 3ms;
  mcu.endedAt = mcu.startedAt + 1500ms;
  mcu.step = "generator-mcu=fw, \"rev B\".hex";
  mcu.imageFile = "fw, \"rev B\".hex";
  mcu.bytes = 8192;
  mcu.outcome = "failed";
  mcu.message =
      "MCU: the block at 0x08001000 was refused 3 times,\nwrite-protected?\r\n"
      "Prüfung: 5 µs";
  mcu.seconds = 1.5;
  mcu.verified = false;
  mcu.started = true;
  HistoryRecord input =
      OkStep("1999-12-31T23:59:59.999Z", "COM10", std::nullopt, "input-board=2:in2.bin");
  input.station = label;
  input.operatorName = "Zoë";
  input.deviceType = std::nullopt;
  input.kind = std::nullopt;
  input.outcome = "interrupted";
  input.seconds = 0;
  input.started = false;
  input.release = "2026.12";
  input.releaseSha256 = std::string(64, 'e');
  input.key = "line key 1";
  return {fpga, mcu, input};
}

// ---------------------------------------------------------------------------------------------

TEST(HistoryTime, SinceTakesADateOrADateTimeInUtc) {
  struct Case {
    const char* text;
    const char* canonical;  // nullptr: refused
  } cases[] = {
      {"2026-12-08", "2026-12-08T00:00:00.000Z"},
      {"2026-12-08T09:26", "2026-12-08T09:26:00.000Z"},
      {"2026-12-08 09:26:53", "2026-12-08T09:26:53.000Z"},
      {"2026-12-08T09:26:53.589Z", "2026-12-08T09:26:53.589Z"},
      {"2026-12-08T09:26:53.5", "2026-12-08T09:26:53.500Z"},
      {"2026-12-08T09:26:53.123456789Z", "2026-12-08T09:26:53.123Z"},
      {"2028-02-29", "2028-02-29T00:00:00.000Z"},
      {"1969-12-31T23:59:59.999Z", "1969-12-31T23:59:59.999Z"},
      {"2026-02-29", nullptr},
      {"2026-13-01", nullptr},
      {"2026-12-08T24:00", nullptr},
      {"2026-12-08T09:60", nullptr},
      {"2026-12-08T09:26:53.", nullptr},
      {"2026-12-08T09", nullptr},
      {"2026-12-8", nullptr},
      {"2026-12-08Tx", nullptr},
      {"2026-12-08T09:26:53+01:00", nullptr},
      {"", nullptr},
      {"yesterday", nullptr},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseUtcTime(c.text);
    if (!c.canonical) {
      EXPECT_FALSE(parsed) << c.text;
      continue;
    }
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(FormatUtcTime(*parsed), c.canonical) << c.text;
  }
}

TEST(HistoryLocation, ExplicitFileThenVariableThenTheSystemsDefault) {
  const fs::path base = fs::temp_directory_path();
  const bool windows = fs::path::preferred_separator == '\\';
  using Env = std::map<std::string, fs::path>;
  const Env system = {
      {"XDG_DATA_HOME", base / "xdg"}, {"HOME", base / "home"}, {"LOCALAPPDATA", base / "local"}};
  const fs::path byDefault = windows ? base / "local" / "korvelt-updater" / "history.sqlite"
                                     : base / "xdg" / "korvelt-updater" / "history.sqlite";
  const fs::path fromHome =
      windows ? byDefault
              : base / "home" / ".local" / "share" / "korvelt-updater" / "history.sqlite";
  auto with = [](Env env, const std::string& name, fs::path value) {
    env[name] = std::move(value);
    return env;
  };
  auto without = [](Env env, const std::string& name) {
    env.erase(name);
    return env;
  };
  struct Case {
    const char* what;
    HistorySettings settings;
    Env env;
    std::optional<fs::path> file;  // nothing: no history
    bool error = false;
  } cases[] = {
      {"default", {}, system, byDefault},
      {"--history wins",
       {.file = "run.sqlite"},
       with(system, kHistoryVariable, "v.sqlite"),
       "run.sqlite"},
      {"KORVELT_HISTORY", {}, with(system, kHistoryVariable, "v.sqlite"), "v.sqlite"},
      {"--no-history wins", {.file = "run.sqlite", .off = true}, system, std::nullopt},
      {"no XDG_DATA_HOME", {}, without(system, "XDG_DATA_HOME"), fromHome},
      {"relative XDG_DATA_HOME is ignored", {}, with(system, "XDG_DATA_HOME", "rel"), fromHome},
      {"nothing to go by", {}, Env{}, std::nullopt, true},
  };
  for (const auto& c : cases) {
    const auto lookup = [&](const char* name) -> std::optional<fs::path> {
      const auto found = c.env.find(name);
      return found == c.env.end() ? std::nullopt : std::optional(found->second);
    };
    const auto chosen = ChooseHistoryFile(c.settings, lookup);
    ASSERT_EQ(chosen.ok(), !c.error) << c.what;
    if (c.error) {
      EXPECT_EQ(chosen.error().kind, HistoryError::Kind::kLocation) << c.what;
      EXPECT_NE(chosen.error().text.find("--history"), std::string::npos) << c.what;
      continue;
    }
    EXPECT_EQ(chosen.value(), c.file) << c.what;
  }
  const StationIdentity given = IdentifyStation("line-3", "anna");
  EXPECT_EQ(given.station, "line-3");
  EXPECT_EQ(given.operatorName, "anna");
  const StationIdentity system_names = IdentifyStation("", "");
  EXPECT_EQ(system_names.station, HostName());
  EXPECT_FALSE(system_names.operatorName.empty());
}

TEST(HistoryDatabase, AnEmptyFileBecomesVersionOneAndKeepsEveryField) {
  TempFolder folder;
  // A new file in folders that do not exist yet (one named beyond ASCII: SQLite takes UTF-8
  // names on every system), and a file that exists but is empty.
  const fs::path fresh = folder / "a" / PathFromText("Prüfstand µ") / "history.sqlite";
  const fs::path empty = folder / "empty.sqlite";
  WriteBytes(empty, "");
  for (const fs::path& file : {fresh, empty}) {
    {
      auto db = MustOpen(file);
      ASSERT_TRUE(db);
      for (const HistoryRecord& record : SampleRecords("s")) {
        const auto error = db->Append(record);
        EXPECT_FALSE(error) << error->text;
      }
    }
    EXPECT_EQ(RawInt(file, "PRAGMA user_version"), kHistorySchemaVersion);
    EXPECT_EQ(RawInt(file, "SELECT count(*) FROM steps"), 3);
    // Reopened, nothing is migrated twice and the rows come back as they went in, in the
    // order the steps started.
    auto db = MustOpen(file, HistoryDatabase::OpenMode::kExisting);
    ASSERT_TRUE(db);
    auto records = db->Query({});
    ASSERT_TRUE(records.ok()) << records.error().text;
    auto expected = SampleRecords("s");
    std::rotate(expected.begin(), expected.begin() + 2, expected.end());  // 1999 first
    EXPECT_EQ(records.value(), expected);
    EXPECT_EQ(db->CheckIntegrity().value(), "ok");
  }
}

TEST(HistoryDatabase, NewerForeignAndBrokenFilesAreRefusedAndLeftAsTheyAre) {
  TempFolder folder;
  const fs::path newer = folder / "newer.sqlite";
  { ASSERT_TRUE(MustOpen(newer)); }
  RawSql(newer,
         "PRAGMA journal_mode = DELETE; PRAGMA user_version = 2;"
         "CREATE TABLE units (mcu_uid TEXT)");
  const fs::path foreign = folder / "foreign.sqlite";
  RawSql(foreign, "CREATE TABLE t (x); INSERT INTO t VALUES (1)");
  const fs::path foreignVersioned = folder / "versioned.sqlite";
  RawSql(foreignVersioned, "PRAGMA user_version = 1; CREATE TABLE steps (x)");
  const fs::path text = folder / "notes.txt";
  WriteBytes(text, "COM3 generator ok\nCOM4 analyzer failed\n");
  struct Case {
    fs::path file;
    HistoryError::Kind kind;
    const char* says;
  } cases[] = {
      {newer, HistoryError::Kind::kNewerVersion, "newer korvelt-updater"},
      {foreign, HistoryError::Kind::kNotHistory, "another program's database"},
      {foreignVersioned, HistoryError::Kind::kNotHistory, "another program's database"},
      {text, HistoryError::Kind::kNotHistory, "not an SQLite database"},
  };
  for (const auto& c : cases) {
    const std::string before = FileBytes(c.file);
    for (auto mode : {HistoryDatabase::OpenMode::kCreate, HistoryDatabase::OpenMode::kExisting}) {
      const auto opened = HistoryDatabase::Open(c.file, mode);
      ASSERT_FALSE(opened.ok()) << c.file;
      EXPECT_EQ(opened.error().kind, c.kind) << c.file;
      EXPECT_NE(opened.error().text.find(PathText(c.file)), std::string::npos)
          << opened.error().text;
      EXPECT_NE(opened.error().text.find(c.says), std::string::npos) << opened.error().text;
    }
    EXPECT_TRUE(FileBytes(c.file) == before) << "the refused file was changed: " << c.file;
    EXPECT_FALSE(fs::exists(fs::path(c.file) += "-wal")) << c.file;
  }
  EXPECT_EQ(RawInt(newer, "PRAGMA user_version"), 2);
}

TEST(HistoryDatabase, OpenFailuresNameTheFile) {
  TempFolder folder;
  const fs::path missing = folder / "missing.sqlite";
  const fs::path aFolder = folder / "a-folder";
  fs::create_directory(aFolder);
  const fs::path underAFile = folder / "file" / "history.sqlite";
  WriteBytes(folder / "file", "x");
  struct Case {
    fs::path file;
    HistoryDatabase::OpenMode mode;
  } cases[] = {
      {missing, HistoryDatabase::OpenMode::kExisting},
      {aFolder, HistoryDatabase::OpenMode::kCreate},
      {underAFile, HistoryDatabase::OpenMode::kCreate},
  };
  for (const auto& c : cases) {
    const auto opened = HistoryDatabase::Open(c.file, c.mode);
    ASSERT_FALSE(opened.ok()) << c.file;
    EXPECT_EQ(opened.error().kind, HistoryError::Kind::kOpen) << c.file;
    EXPECT_NE(opened.error().text.find(PathText(c.file)), std::string::npos) << opened.error().text;
  }
  EXPECT_FALSE(fs::exists(missing)) << "a query must not create the history";
}

TEST(HistoryDatabase, RecordsThatBreakTheRulesAreRefusedHexIsStoredInLowercase) {
  TempFolder folder;
  auto db = MustOpen(folder / "h.sqlite");
  ASSERT_TRUE(db);
  const HistoryRecord good =
      OkStep("2026-12-08T09:00:00Z", "COM3", "0123456789ABCDEF01234567", "generator-mcu");
  struct Case {
    const char* what;
    void (*change)(HistoryRecord&);
  } cases[] = {
      {"outcome", [](HistoryRecord& r) { r.outcome = "done"; }},
      {"short uid", [](HistoryRecord& r) { r.mcuUid = "0123456789abcdef0123456"; }},
      {"uid not hex", [](HistoryRecord& r) { r.mcuUid = "0123456789abcdef0123456g"; }},
      {"sha256", [](HistoryRecord& r) { r.sha256 = std::string(63, 'a'); }},
      {"seconds", [](HistoryRecord& r) { r.seconds = -1; }},
      {"NaN", [](HistoryRecord& r) { r.seconds = std::nan(""); }},
      {"step", [](HistoryRecord& r) { r.step.clear(); }},
      {"bytes", [](HistoryRecord& r) { r.bytes = ~uint64_t{0}; }},
  };
  for (const auto& c : cases) {
    HistoryRecord bad = good;
    c.change(bad);
    const auto error = db->Append(bad);
    ASSERT_TRUE(error) << c.what;
    EXPECT_EQ(error->kind, HistoryError::Kind::kBadRecord) << c.what;
  }
  HistoryRecord upper = good;
  upper.sha256 = std::string(64, 'E');
  ASSERT_FALSE(db->Append(upper));
  const auto records = db->Query({});
  ASSERT_EQ(records.value().size(), 1u);
  EXPECT_EQ(records.value()[0].mcuUid, "0123456789abcdef01234567");
  EXPECT_EQ(records.value()[0].sha256, std::string(64, 'e'));
}

TEST(HistoryDatabase, QueriesFilterByUnitPortAndTimeAndKeepTheNewestLast) {
  TempFolder folder;
  auto db = MustOpen(folder / "h.sqlite");
  ASSERT_TRUE(db);
  const std::string a = "aaaaaaaaaaaaaaaaaaaaaaaa", b = "bbbbbbbbbbbbbbbbbbbbbbbb";
  // Appended in the order the steps ended, which is not the order they started in.
  const std::vector<HistoryRecord> rows = {
      OkStep("2026-12-08T10:00:00.000Z", "COM3", a, "s1"),
      OkStep("2026-12-08T09:00:00.000Z", "COM4", b, "s2"),
      OkStep("2026-12-09T08:00:00.000Z", "COM3", b, "s3"),
      OkStep("2026-12-09T08:00:00.001Z", "COM10", a, "s4"),
      OkStep("2026-12-10T00:00:00.000Z", "COM3", std::nullopt, "s5"),
      OkStep("2026-12-10T00:00:00.000Z", "COM3", a, "s6"),
  };
  for (const HistoryRecord& row : rows) ASSERT_FALSE(db->Append(row));
  struct Case {
    const char* what;
    HistoryQuery query;
    std::vector<std::string> steps;
  } cases[] = {
      {"all", {}, {"s2", "s1", "s3", "s4", "s5", "s6"}},
      {"unit", {.mcuUid = a}, {"s1", "s4", "s6"}},
      {"unit in capitals", {.mcuUid = "BBBBBBBBBBBBBBBBBBBBBBBB"}, {"s2", "s3"}},
      {"port", {.port = "COM3"}, {"s1", "s3", "s5", "s6"}},
      {"port in any case", {.port = "com10"}, {"s4"}},
      {"port is not a prefix", {.port = "COM1"}, {}},
      {"since a date", {.since = At("2026-12-09")}, {"s3", "s4", "s5", "s6"}},
      {"since to the millisecond", {.since = At("2026-12-09T08:00:00.001")}, {"s4", "s5", "s6"}},
      {"last 2", {.last = 2}, {"s5", "s6"}},
      {"last 0", {.last = 0}, {}},
      {"last more than there are", {.last = 100}, {"s2", "s1", "s3", "s4", "s5", "s6"}},
      {"unit, port and last", {.mcuUid = a, .port = "COM3", .last = 1}, {"s6"}},
      {"unit since", {.mcuUid = b, .since = At("2026-12-08T09:00:00.001Z")}, {"s3"}},
  };
  for (const auto& c : cases) {
    const auto found = db->Query(c.query);
    ASSERT_TRUE(found.ok()) << c.what << ": " << found.error().text;
    std::vector<std::string> steps;
    for (const HistoryRecord& r : found.value()) steps.push_back(r.step);
    EXPECT_EQ(steps, c.steps) << c.what;
  }
  const auto bad = db->Query({.mcuUid = "aaaa"});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, HistoryError::Kind::kBadQuery);
}

TEST(HistoryDatabase, LastMcuKindIsTheKindOfTheLastSuccessfulMcuStep) {
  TempFolder folder;
  auto db = MustOpen(folder / "h.sqlite");
  ASSERT_TRUE(db);
  const std::string a(24, 'a'), b(24, 'b'), c(24, 'c'), d(24, 'd');
  auto step = [](std::string_view started, const std::string& uid, std::string name,
                 std::optional<std::string> kind, std::string outcome) {
    HistoryRecord r = OkStep(started, "COM3", uid, std::move(name));
    r.kind = std::move(kind);
    r.outcome = std::move(outcome);
    return r;
  };
  const HistoryRecord rows[] = {
      // a: analyzer firmware, then a later generator update that failed, then a sub-MCU.
      step("2026-12-08T09:00:00Z", a, "analyzer-mcu", "analyzer", "ok"),
      step("2026-12-08T10:00:00Z", a, "generator-mcu=fw.hex", "generator", "failed"),
      step("2026-12-08T11:00:00Z", a, "sub-mcu=3", "generator", "ok"),
      step("2026-12-08T12:00:00Z", a, "generator-fpga", "generator", "ok"),
      // b: found in its bootloader, so its kind was not known: the step says it.
      step("2026-12-08T09:00:00Z", b, "generator-mcu=fw.s19", std::nullopt, "ok"),
      // c: no MCU step went through.
      step("2026-12-08T09:00:00Z", c, "generator-mcu", "generator", "stalled"),
      step("2026-12-08T09:10:00Z", c, "generator-fpga", "generator", "ok"),
      // d: two successful ones; the later wins.
      step("2026-12-08T09:00:00Z", d, "generator-mcu", "generator", "ok"),
      step("2026-12-09T09:00:00Z", d, "analyzer-mcu=x.hex", "analyzer", "ok"),
  };
  for (const HistoryRecord& row : rows) ASSERT_FALSE(db->Append(row));
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {a, "analyzer"},
      {b, "generator"},
      {c, std::nullopt},
      {d, "analyzer"},
      {std::string(24, 'E'), std::nullopt}};
  for (const auto& [uid, kind] : cases) {
    const auto found = db->LastMcuKind(uid);
    ASSERT_TRUE(found.ok()) << uid;
    EXPECT_EQ(found.value(), kind) << uid;
  }
  EXPECT_EQ(db->LastMcuKind("AAAAAAAAAAAAAAAAAAAAAAAA").value(), "analyzer");
  EXPECT_EQ(db->LastMcuKind("xyz").error().kind, HistoryError::Kind::kBadQuery);
}

TEST(HistoryFormat, AFailedStepWithALineBreakInItsMessageThroughCsvAndJson) {
  TempFolder folder;
  auto db = MustOpen(folder / "h.sqlite");
  ASSERT_TRUE(db);
  for (const HistoryRecord& r : SampleRecords("line-3")) ASSERT_FALSE(db->Append(r));
  auto failed = db->Query({.port = "COM3", .since = At("2026-12-08T09:26:57.800Z")});
  ASSERT_TRUE(failed.ok());
  ASSERT_EQ(failed.value().size(), 1u);

  EXPECT_EQ(
      HistoryCsv(failed.value()),
      "startedAt,endedAt,station,operator,port,adapterSerial,deviceType,kind,mcuUid,step,"
      "imageFile,bytes,sha256,release,releaseSha256,key,outcome,message,seconds,verified,started,"
      "toolVersion\r\n"
      "2026-12-08T09:26:57.800Z,2026-12-08T09:26:59.300Z,line-3,anna,COM3,A50285BI,0,"
      "generator,0123456789abcdef01234567,\"generator-mcu=fw, \"\"rev B\"\".hex\","
      "\"fw, \"\"rev B\"\".hex\",8192,"
      "a8bf2b658827a3c587f349b500fd54de8413daab13c65acbf9919308d9b305a3,,,,failed,"
      "\"MCU: the block at 0x08001000 was refused 3 times,\nwrite-protected?\r\n"
      "Prüfung: 5 µs\",1.5,false,true,1.0.0\r\n");

  const std::string json = HistoryJson(failed.value());
  const auto parsed = nlohmann::ordered_json::parse(json);
  ASSERT_EQ(parsed.size(), 1u);
  const auto& row = parsed[0];
  std::vector<std::string> keys;
  for (const auto& item : row.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, std::vector<std::string>(std::begin(kHistoryFields), std::end(kHistoryFields)));
  EXPECT_EQ(row["message"], failed.value()[0].message);
  EXPECT_EQ(row["outcome"], "failed");
  EXPECT_EQ(row["startedAt"], "2026-12-08T09:26:57.800Z");
  EXPECT_TRUE(row["release"].is_null());
  EXPECT_EQ(row["verified"], false);
  EXPECT_EQ(row["bytes"], 8192);
  EXPECT_EQ(row["seconds"], 1.5);

  // Nulls are empty in CSV and null in JSON; seconds show milliseconds; text that is not UTF-8
  // (a unit's own bytes in a message) does not stop the JSON.
  HistoryRecord odd = SampleRecords("x")[2];
  odd.seconds = 2.0 / 3;
  odd.message = "bad \xff\xfe byte";
  const std::string csv = HistoryCsv({odd});
  EXPECT_NE(csv.find(",Zoë,COM10,,,,,input-board=2:in2.bin,,,,2026.12,"
                     "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee,line key 1,"
                     "interrupted,"
                     "bad \xff\xfe byte,0.667,,false,1.0.0\r\n"),
            std::string::npos)
      << csv;
  const auto oddJson = nlohmann::json::parse(HistoryJson({odd}))[0];
  EXPECT_EQ(oddJson["message"], "bad \xEF\xBF\xBD\xEF\xBF\xBD byte");
  EXPECT_TRUE(oddJson["mcuUid"].is_null());
  EXPECT_TRUE(oddJson["verified"].is_null());
  EXPECT_EQ(oddJson["seconds"], 0.667);
  EXPECT_EQ(HistoryJson({}), "[]\n");
}

constexpr std::string_view kAppendRows = "--append-rows";
constexpr int kUnitProcesses = 16;
constexpr int kRowsEach = 150;

// One unit process: waits for the start signal (FILE.go), then opens the history and appends
// COUNT rows, one transaction each, as its steps would.
int AppendRowsMain(const fs::path& file, int index, int count) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!fs::exists(fs::path(file) += ".go")) {
    if (std::chrono::steady_clock::now() > deadline) return 3;
    std::this_thread::sleep_for(5ms);
  }
  auto opened = HistoryDatabase::Open(file);
  if (!opened.ok()) {
    std::fprintf(stderr, "unit %d: %s\n", index, opened.error().text.c_str());
    return 1;
  }
  for (int n = 0; n < count; ++n) {
    HistoryRecord r = OkStep("2026-12-08T09:00:00Z", "COM" + std::to_string(index + 1),
                             std::nullopt, "generator-fpga");
    r.startedAt += std::chrono::milliseconds(n);
    r.message = std::to_string(index) + "/" + std::to_string(n);
    if (auto error = opened.value()->Append(r)) {
      std::fprintf(stderr, "unit %d row %d: %s\n", index, n, error->text.c_str());
      return 2;
    }
  }
  return 0;
}

TEST(HistoryDatabase, SixteenUnitProcessesAppendAtOnceWithoutLosingARow) {
  TempFolder folder;
  const fs::path file = folder / "line.sqlite";
  std::vector<std::unique_ptr<testing::SpawnedProcess>> units;
  for (int i = 0; i < kUnitProcesses; ++i) {
    units.push_back(testing::SpawnedProcess::Start(
        testing::SelfExecutable(),
        {std::string(kAppendRows), PathText(file), std::to_string(i), std::to_string(kRowsEach)}));
    ASSERT_TRUE(units.back()) << "cannot start unit process " << i;
  }
  WriteBytes(fs::path(file) += ".go", "");  // all of them open the new file together
  for (int i = 0; i < kUnitProcesses; ++i)
    EXPECT_EQ(units[i]->Wait(180s), std::optional<int>(0)) << "unit process " << i;

  auto db = MustOpen(file, HistoryDatabase::OpenMode::kExisting);
  ASSERT_TRUE(db);
  const auto records = db->Query({});
  ASSERT_TRUE(records.ok());
  std::set<std::string> seen;
  for (const HistoryRecord& r : records.value()) seen.insert(r.message);
  EXPECT_EQ(records.value().size(), std::size_t{kUnitProcesses * kRowsEach});
  EXPECT_EQ(seen.size(), std::size_t{kUnitProcesses * kRowsEach}) << "rows lost or doubled";
  EXPECT_EQ(db->CheckIntegrity().value(), "ok");
}

// --- the files of one build, read by the other (tests/windows/history_wine.sh) ---------------

int WriteSampleMain(const fs::path& file, const std::string& label) {
  auto opened = HistoryDatabase::Open(file);
  if (!opened.ok()) return std::fprintf(stderr, "%s\n", opened.error().text.c_str()), 1;
  for (const HistoryRecord& r : SampleRecords(label)) {
    if (auto error = opened.value()->Append(r))
      return std::fprintf(stderr, "%s\n", error->text.c_str()), 1;
  }
  return 0;
}

int CheckSampleMain(const fs::path& file, const std::string& label) {
  auto opened = HistoryDatabase::Open(file, HistoryDatabase::OpenMode::kExisting);
  if (!opened.ok()) return std::fprintf(stderr, "%s\n", opened.error().text.c_str()), 1;
  auto all = opened.value()->Query({});
  if (!all.ok()) return std::fprintf(stderr, "%s\n", all.error().text.c_str()), 1;
  std::vector<HistoryRecord> mine;
  for (const HistoryRecord& r : all.value()) {
    if (r.station == label) mine.push_back(r);
  }
  auto expected = SampleRecords(label);
  std::rotate(expected.begin(), expected.begin() + 2, expected.end());  // 1999 first
  const auto integrity = opened.value()->CheckIntegrity();
  if (mine != expected || !integrity.ok() || integrity.value() != "ok") {
    std::fprintf(stderr, "%s: the rows of %s differ:\n%s", PathText(file).c_str(), label.c_str(),
                 HistoryJson(mine).c_str());
    return 1;
  }
  std::printf("%s: %zu rows of %s read back as written\n", PathText(file).c_str(), mine.size(),
              label.c_str());
  return 0;
}

}  // namespace
}  // namespace korvelt::history

int main(int argc, char** argv) {
  using namespace korvelt::history;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == kAppendRows)
    return AppendRowsMain(PathFromText(args[1]), std::stoi(args[2]), std::stoi(args[3]));
  if (args.size() == 3 && args[0] == "--write-sample")
    return WriteSampleMain(PathFromText(args[1]), args[2]);
  if (args.size() == 3 && args[0] == "--check-sample")
    return CheckSampleMain(PathFromText(args[1]), args[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
