#include "history/history_schema.h"

#include <cstdint>
#include <iterator>

#include "history/history_database.h"
#include "history/sqlite_statement.h"

namespace korvelt::history {

namespace {

// PRAGMA application_id of a history file: "KVTH".
constexpr int32_t kApplicationId = 0x4B565448;

// Each step takes the layout from the version before it to `toVersion`. Version 2 will be one
// more entry here (and kHistorySchemaVersion 2); a step never changes once released.
struct Migration {
  int toVersion;
  const char* sql;
};

constexpr Migration kMigrations[] = {
    {.toVersion = 1, .sql = R"sql(
CREATE TABLE steps (
  id INTEGER PRIMARY KEY,
  started_at TEXT NOT NULL,
  ended_at TEXT NOT NULL,
  station TEXT NOT NULL,
  operator TEXT NOT NULL,
  port TEXT NOT NULL,
  adapter_serial TEXT,
  device_type INTEGER,
  kind TEXT,
  mcu_uid TEXT,
  step TEXT NOT NULL,
  image_file TEXT,
  bytes INTEGER,
  sha256 TEXT,
  "release" TEXT,
  release_sha256 TEXT,
  "key" TEXT,
  outcome TEXT NOT NULL,
  message TEXT NOT NULL,
  seconds REAL NOT NULL,
  verified INTEGER,
  started INTEGER,
  tool_version TEXT NOT NULL
);
CREATE INDEX steps_by_unit ON steps (mcu_uid, started_at);
CREATE INDEX steps_by_port ON steps (port COLLATE NOCASE, started_at);
CREATE INDEX steps_by_time ON steps (started_at);
)sql"},
};

static_assert(std::size(kMigrations) == kHistorySchemaVersion);
constexpr bool MigrationsAreConsecutive() {
  for (std::size_t i = 0; i < std::size(kMigrations); ++i) {
    if (kMigrations[i].toVersion != static_cast<int>(i) + 1) return false;
  }
  return true;
}
static_assert(MigrationsAreConsecutive());

struct SchemaState {
  int version = 0;
  int32_t applicationId = 0;
  int64_t objects = 0;  // tables, indexes, views and triggers already in the file
};

int ReadState(sqlite3* db, SchemaState* state) {
  int rc = SQLITE_OK;
  auto statement = sqlite::Prepare(db,
                                   "SELECT (SELECT user_version FROM pragma_user_version), "
                                   "(SELECT application_id FROM pragma_application_id), "
                                   "(SELECT count(*) FROM sqlite_master)",
                                   &rc);
  if (!statement) return rc;
  rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW) return rc;
  state->version = sqlite3_column_int(statement.get(), 0);
  state->applicationId = sqlite3_column_int(statement.get(), 1);
  state->objects = sqlite3_column_int64(statement.get(), 2);
  return SQLITE_OK;
}

HistoryError Failure(HistoryError::Kind kind, const std::string& fileText, sqlite3* db, int rc) {
  if ((rc & 0xFF) == SQLITE_NOTADB) {
    return {.kind = HistoryError::Kind::kNotHistory,
            .text = "the history " + fileText + " is not an SQLite database"};
  }
  return {.kind = kind,
          .text = (kind == HistoryError::Kind::kMigrate ? "cannot bring the history "
                                                        : "cannot read the history ") +
                  fileText + (kind == HistoryError::Kind::kMigrate ? " up to date: " : ": ") +
                  sqlite3_errmsg(db)};
}

std::optional<HistoryError> Refusal(const SchemaState& state, const std::string& fileText) {
  if (state.version == 0 && state.objects == 0) return std::nullopt;  // a new file
  if (state.applicationId != kApplicationId) {
    return HistoryError{
        .kind = HistoryError::Kind::kNotHistory,
        .text = "the history " + fileText + " is another program's database; it is left as it is"};
  }
  if (state.version > kHistorySchemaVersion) {
    return HistoryError{.kind = HistoryError::Kind::kNewerVersion,
                        .text = "the history " + fileText + " has version " +
                                std::to_string(state.version) +
                                ", written by a newer korvelt-updater; this one knows versions "
                                "up to " +
                                std::to_string(kHistorySchemaVersion) +
                                ". The file is left as it is: use a newer korvelt-updater, or "
                                "choose another file with --history"};
  }
  return std::nullopt;
}

}  // namespace

std::optional<HistoryError> CheckHistorySchema(sqlite3* db, const std::string& fileText) {
  SchemaState state;
  if (int rc = ReadState(db, &state); rc != SQLITE_OK)
    return Failure(HistoryError::Kind::kOpen, fileText, db, rc);
  return Refusal(state, fileText);
}

std::optional<HistoryError> MigrateHistorySchema(sqlite3* db, const std::string& fileText) {
  // IMMEDIATE takes the write lock first (waiting for it as the busy time-out allows), so the
  // version read below cannot change before the commit.
  int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return Failure(HistoryError::Kind::kMigrate, fileText, db, rc);
  auto rollback = [&](HistoryError error) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
  };
  SchemaState state;
  if (rc = ReadState(db, &state); rc != SQLITE_OK)
    return rollback(Failure(HistoryError::Kind::kMigrate, fileText, db, rc));
  // Another process may have changed the file since CheckHistorySchema.
  if (auto refusal = Refusal(state, fileText)) return rollback(*refusal);
  if (state.version == kHistorySchemaVersion) {
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return std::nullopt;
  }
  for (const Migration& step : kMigrations) {
    if (step.toVersion <= state.version) continue;
    if (rc = sqlite3_exec(db, step.sql, nullptr, nullptr, nullptr); rc != SQLITE_OK)
      return rollback(Failure(HistoryError::Kind::kMigrate, fileText, db, rc));
  }
  const std::string mark = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                           "; PRAGMA user_version = " + std::to_string(kHistorySchemaVersion);
  if (rc = sqlite3_exec(db, mark.c_str(), nullptr, nullptr, nullptr); rc != SQLITE_OK)
    return rollback(Failure(HistoryError::Kind::kMigrate, fileText, db, rc));
  if (rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); rc != SQLITE_OK)
    return rollback(Failure(HistoryError::Kind::kMigrate, fileText, db, rc));
  return std::nullopt;
}

}  // namespace korvelt::history
