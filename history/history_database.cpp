#include "history/history_database.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "history/history_location.h"
#include "history/history_schema.h"
#include "history/history_time.h"
#include "history/sqlite_statement.h"

namespace korvelt::history {

namespace fs = std::filesystem;

namespace {

// Sixteen unit processes each hold the write lock for about a millisecond a row; a wait this
// long means another program holds the file, and the row is reported as not written.
constexpr int kBusyTimeoutMs = 10000;

constexpr std::size_t kMcuUidDigits = 24;
constexpr std::size_t kSha256Digits = 64;

// The columns in the order of HistoryRecord's fields; reads and writes use this one list.
constexpr const char* kColumns =
    "started_at, ended_at, station, operator, port, adapter_serial, device_type, kind, mcu_uid, "
    "step, image_file, bytes, sha256, \"release\", release_sha256, \"key\", outcome, message, "
    "seconds, verified, "
    "started, tool_version";
constexpr int kColumnCount = 22;

// The MCU steps and the kind of unit each writes firmware for.
struct McuStep {
  std::string_view name;
  std::string_view kind;
};
constexpr McuStep kMcuSteps[] = {
    {.name = "generator-mcu", .kind = "generator"},
    {.name = "analyzer-mcu", .kind = "analyzer"},
};

std::optional<std::string_view> McuStepKind(std::string_view step) {
  const std::string_view name = step.substr(0, step.find('='));
  for (const McuStep& mcu : kMcuSteps) {
    if (name == mcu.name) return mcu.kind;
  }
  return std::nullopt;
}

// `digits` hex digits of either case, in lowercase; nothing for anything else.
std::optional<std::string> LowerHex(std::string_view text, std::size_t digits) {
  if (text.size() != digits) return std::nullopt;
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  return out;
}

std::string SqliteText(sqlite3* db, int rc) {
  if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) {
    return std::string(sqlite3_errstr(rc)) + " (another program holds it; waited at most " +
           std::to_string(kBusyTimeoutMs / 1000) + " s)";
  }
  return sqlite3_errmsg(db);
}

// Processes that open a new file together all ask for WAL; each holds the read lock that the
// others' change needs, so SQLite answers some of them "busy" at once instead of waiting (that
// wait could never end). Those let go and ask again, within the busy time-out.
int SwitchToWal(sqlite3* db) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    const int rc = sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
    if ((rc & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) return rc;
    sqlite3_sleep(2);
  }
}

std::optional<bool> ColumnOptionalBool(sqlite3_stmt* statement, int column) {
  if (sqlite3_column_type(statement, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int(statement, column) != 0;
}

}  // namespace

struct HistoryDatabase::Impl {
  fs::path file_;
  std::string file_text_;
  sqlite3* db_ = nullptr;
  sqlite::Statement insert_;

  ~Impl() {
    insert_.reset();  // statements go before the connection
    sqlite3_close_v2(db_);
  }

  HistoryError Error(HistoryError::Kind kind, const std::string& doing, int rc) const {
    return {.kind = kind,
            .text = "cannot " + doing + " the history " + file_text_ + ": " + SqliteText(db_, rc)};
  }

  HistoryResult<std::vector<HistoryRecord>> ReadRecords(sqlite3_stmt* statement) const {
    std::vector<HistoryRecord> records;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      HistoryRecord record;
      const auto started = ParseUtcTime(sqlite::ColumnText(statement, 0));
      const auto ended = ParseUtcTime(sqlite::ColumnText(statement, 1));
      if (!started || !ended) {
        return HistoryError{.kind = HistoryError::Kind::kRead,
                            .text = "the history " + file_text_ + " has a row whose time is not " +
                                    "a UTC time: '" + sqlite::ColumnText(statement, 0) + "', '" +
                                    sqlite::ColumnText(statement, 1) + "'"};
      }
      record.startedAt = *started;
      record.endedAt = *ended;
      record.station = sqlite::ColumnText(statement, 2);
      record.operatorName = sqlite::ColumnText(statement, 3);
      record.port = sqlite::ColumnText(statement, 4);
      record.adapterSerial = sqlite::ColumnOptionalText(statement, 5);
      if (sqlite3_column_type(statement, 6) != SQLITE_NULL)
        record.deviceType = sqlite3_column_int(statement, 6);
      record.kind = sqlite::ColumnOptionalText(statement, 7);
      record.mcuUid = sqlite::ColumnOptionalText(statement, 8);
      record.step = sqlite::ColumnText(statement, 9);
      record.imageFile = sqlite::ColumnOptionalText(statement, 10);
      if (sqlite3_column_type(statement, 11) != SQLITE_NULL)
        record.bytes = static_cast<uint64_t>(sqlite3_column_int64(statement, 11));
      record.sha256 = sqlite::ColumnOptionalText(statement, 12);
      record.release = sqlite::ColumnOptionalText(statement, 13);
      record.releaseSha256 = sqlite::ColumnOptionalText(statement, 14);
      record.key = sqlite::ColumnOptionalText(statement, 15);
      record.outcome = sqlite::ColumnText(statement, 16);
      record.message = sqlite::ColumnText(statement, 17);
      record.seconds = sqlite3_column_double(statement, 18);
      record.verified = ColumnOptionalBool(statement, 19);
      record.started = ColumnOptionalBool(statement, 20);
      record.toolVersion = sqlite::ColumnText(statement, 21);
      records.push_back(std::move(record));
    }
    if (rc != SQLITE_DONE) return Error(HistoryError::Kind::kRead, "read", rc);
    return records;
  }
};

HistoryDatabase::HistoryDatabase(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HistoryDatabase::~HistoryDatabase() = default;

const fs::path& HistoryDatabase::file() const {
  return impl_->file_;
}

HistoryResult<std::unique_ptr<HistoryDatabase>> HistoryDatabase::Open(const fs::path& file,
                                                                      OpenMode mode) {
  auto impl = std::make_unique<Impl>();
  impl->file_ = file;
  impl->file_text_ = PathText(file);
  const std::string& name = impl->file_text_;
  std::error_code ec;
  if (mode == OpenMode::kExisting && !fs::exists(file, ec)) {
    return HistoryError{.kind = HistoryError::Kind::kOpen, .text = "no history at " + name};
  }
  if (mode == OpenMode::kCreate && file.has_parent_path()) {
    fs::create_directories(file.parent_path(), ec);
    if (ec) {
      return HistoryError{
          .kind = HistoryError::Kind::kOpen,
          .text = "cannot create the folder of the history " + name + ": " + ec.message()};
    }
  }
  if (fs::is_directory(file, ec)) {
    return HistoryError{.kind = HistoryError::Kind::kOpen,
                        .text = "the history " + name + " is a folder, not a file"};
  }

  const int flags = SQLITE_OPEN_READWRITE | (mode == OpenMode::kCreate ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(name.c_str(), &impl->db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    return impl->Error(HistoryError::Kind::kOpen, "open", rc);
  }
  // A file SQLite could only open for reading would fail at the first row, after the update.
  if (sqlite3_db_readonly(impl->db_, "main") == 1) {
    return HistoryError{.kind = HistoryError::Kind::kOpen,
                        .text = "cannot write the history " + name + ": the file is read-only"};
  }
  sqlite3_extended_result_codes(impl->db_, 1);
  sqlite3_busy_timeout(impl->db_, kBusyTimeoutMs);

  // Nothing is written to a file that is refused: the checks come before the journal mode.
  if (auto refusal = CheckHistorySchema(impl->db_, name)) return *refusal;
  // WAL lets readers and the one writer of the moment work at once; with synchronous=NORMAL a
  // commit does not wait for the disk (a power cut may lose the last rows, never the file).
  rc = SwitchToWal(impl->db_);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(impl->db_, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return impl->Error(HistoryError::Kind::kOpen, "open", rc);
  if (auto failure = MigrateHistorySchema(impl->db_, name)) return *failure;

  const std::string insert = std::string("INSERT INTO steps (") + kColumns + ") VALUES (?" + [] {
    std::string more;
    for (int i = 1; i < kColumnCount; ++i) more += ", ?";
    return more;
  }() + ")";
  impl->insert_ = sqlite::Prepare(impl->db_, insert, &rc);
  if (!impl->insert_) return impl->Error(HistoryError::Kind::kOpen, "open", rc);
  return std::unique_ptr<HistoryDatabase>(new HistoryDatabase(std::move(impl)));
}

std::optional<HistoryError> HistoryDatabase::Append(const HistoryRecord& record) {
  auto bad = [&](const std::string& why) {
    return HistoryError{.kind = HistoryError::Kind::kBadRecord,
                        .text = "not written to the history " + impl_->file_text_ + ": " + why};
  };
  if (std::find_if(std::begin(kOutcomes), std::end(kOutcomes), [&](const char* outcome) {
        return record.outcome == outcome;
      }) == std::end(kOutcomes))
    return bad("the outcome '" + record.outcome + "' is not ok, failed, stalled or interrupted");
  if (record.step.empty()) return bad("the step has no name");
  std::optional<std::string> mcuUid, sha256;
  if (record.mcuUid && !(mcuUid = LowerHex(*record.mcuUid, kMcuUidDigits)))
    return bad("the mcuUid '" + *record.mcuUid + "' is not 24 hex digits");
  if (record.sha256 && !(sha256 = LowerHex(*record.sha256, kSha256Digits)))
    return bad("the sha256 '" + *record.sha256 + "' is not 64 hex digits");
  if (!std::isfinite(record.seconds) || record.seconds < 0)
    return bad("the step's time is not a number of seconds");
  if (record.bytes && *record.bytes > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    return bad("the byte count is too large");

  sqlite3_stmt* s = impl_->insert_.get();
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  // A value that cannot be bound (no memory, text over SQLite's length limit) would leave its
  // column null: the row is refused instead.
  int i = 0, bound = SQLITE_OK;
  auto keep = [&](int rc) {
    if (bound == SQLITE_OK) bound = rc;
  };
  auto text = [&](std::string_view value) { keep(sqlite::BindText(s, ++i, value)); };
  auto optionalText = [&](const std::optional<std::string>& value) {
    keep(sqlite::BindOptionalText(s, ++i, value));
  };
  auto optionalInt = [&](std::optional<int64_t> value) {
    keep(value ? sqlite3_bind_int64(s, ++i, *value) : sqlite3_bind_null(s, ++i));
  };
  auto optionalBool = [&](std::optional<bool> value) {
    optionalInt(value ? std::optional<int64_t>(*value ? 1 : 0) : std::nullopt);
  };
  text(FormatUtcTime(record.startedAt));
  text(FormatUtcTime(record.endedAt));
  text(record.station);
  text(record.operatorName);
  text(record.port);
  optionalText(record.adapterSerial);
  optionalInt(record.deviceType);
  optionalText(record.kind);
  optionalText(mcuUid);
  text(record.step);
  optionalText(record.imageFile);
  optionalInt(record.bytes ? std::optional<int64_t>(static_cast<int64_t>(*record.bytes))
                           : std::nullopt);
  optionalText(sha256);
  optionalText(record.release);
  optionalText(record.releaseSha256);
  optionalText(record.key);
  text(record.outcome);
  text(record.message);
  keep(sqlite3_bind_double(s, ++i, record.seconds));
  optionalBool(record.verified);
  optionalBool(record.started);
  text(record.toolVersion);
  if (bound != SQLITE_OK) return impl_->Error(HistoryError::Kind::kWrite, "write", bound);

  // One statement outside a transaction is a transaction of its own: the row is in the file,
  // or (on an error) not at all.
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return impl_->Error(HistoryError::Kind::kWrite, "write", rc);
  return std::nullopt;
}

HistoryResult<std::vector<HistoryRecord>> HistoryDatabase::Query(const HistoryQuery& query) {
  std::optional<std::string> mcuUid;
  if (query.mcuUid && !(mcuUid = LowerHex(*query.mcuUid, kMcuUidDigits))) {
    return HistoryError{
        .kind = HistoryError::Kind::kBadQuery,
        .text = "the unit '" + *query.mcuUid + "' is not an mcuUid (24 hex digits)"};
  }
  std::string where = "1";
  if (mcuUid) where += " AND mcu_uid = :uid";
  if (query.port) where += " AND port = :port COLLATE NOCASE";
  if (query.since) where += " AND started_at >= :since";
  // The newest N, then turned round so that the newest comes last.
  const std::string sql = std::string("SELECT ") + kColumns + " FROM (SELECT * FROM steps WHERE " +
                          where +
                          " ORDER BY started_at DESC, id DESC LIMIT :last)"
                          " ORDER BY started_at, id";
  int rc;
  auto statement = sqlite::Prepare(impl_->db_, sql, &rc);
  if (!statement) return impl_->Error(HistoryError::Kind::kRead, "read", rc);
  sqlite3_stmt* s = statement.get();
  if (mcuUid) sqlite::BindText(s, sqlite3_bind_parameter_index(s, ":uid"), *mcuUid);
  if (query.port) sqlite::BindText(s, sqlite3_bind_parameter_index(s, ":port"), *query.port);
  if (query.since)
    sqlite::BindText(s, sqlite3_bind_parameter_index(s, ":since"), FormatUtcTime(*query.since));
  sqlite3_int64 limit = -1;  // no limit
  if (query.last) limit = static_cast<sqlite3_int64>(std::min<std::size_t>(*query.last, INT64_MAX));
  sqlite3_bind_int64(s, sqlite3_bind_parameter_index(s, ":last"), limit);
  return impl_->ReadRecords(s);
}

HistoryResult<std::optional<std::string>> HistoryDatabase::LastMcuKind(std::string_view uid) {
  const auto mcuUid = LowerHex(uid, kMcuUidDigits);
  if (!mcuUid) {
    return HistoryError{
        .kind = HistoryError::Kind::kBadQuery,
        .text = "the unit '" + std::string(uid) + "' is not an mcuUid (24 hex digits)"};
  }
  int rc;
  auto statement = sqlite::Prepare(impl_->db_,
                                   "SELECT kind, step FROM steps WHERE mcu_uid = ? AND outcome = "
                                   "'ok' ORDER BY ended_at DESC, id DESC",
                                   &rc);
  if (!statement) return impl_->Error(HistoryError::Kind::kRead, "read", rc);
  sqlite::BindText(statement.get(), 1, *mcuUid);
  while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    const auto stepKind = McuStepKind(sqlite::ColumnText(statement.get(), 1));
    if (!stepKind) continue;
    auto kind = sqlite::ColumnOptionalText(statement.get(), 0);
    return std::optional<std::string>(kind ? *kind : std::string(*stepKind));
  }
  if (rc != SQLITE_DONE) return impl_->Error(HistoryError::Kind::kRead, "read", rc);
  return std::optional<std::string>();
}

HistoryResult<std::string> HistoryDatabase::CheckIntegrity() {
  int rc;
  auto statement = sqlite::Prepare(impl_->db_, "PRAGMA integrity_check", &rc);
  if (!statement) return impl_->Error(HistoryError::Kind::kRead, "check", rc);
  std::string findings;
  while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    if (!findings.empty()) findings += "\n";
    findings += sqlite::ColumnText(statement.get(), 0);
  }
  if (rc != SQLITE_DONE) return impl_->Error(HistoryError::Kind::kRead, "check", rc);
  return findings;
}

}  // namespace korvelt::history
