#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>

#include "history/history_error.h"

namespace korvelt::history {

// Reads the file's version and owner without writing anything, and refuses a file that is not
// an SQLite database, another program's database (tables but no history version, or another
// application id) and a file of a newer version. `fileText` names the file in the errors.
std::optional<HistoryError> CheckHistorySchema(sqlite3* db, const std::string& fileText);

// Brings the history up to kHistorySchemaVersion, one migration step at a time; all the steps
// and the new version are one transaction, so a process that fails half-way leaves the old
// version, and processes that open a new file together create its tables once.
std::optional<HistoryError> MigrateHistorySchema(sqlite3* db, const std::string& fileText);

}  // namespace korvelt::history
