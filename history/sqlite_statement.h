#pragma once

#include <sqlite3.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Small helpers over SQLite's C interface, for the history's own sources.
namespace korvelt::history::sqlite {

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Compiles one statement; nothing (and *rc set) when SQLite refuses it.
inline Statement Prepare(sqlite3* db, std::string_view sql, int* rc) {
  sqlite3_stmt* statement = nullptr;
  *rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
  return Statement(*rc == SQLITE_OK ? statement : nullptr);
}

inline int BindText(sqlite3_stmt* statement, int index, std::string_view text) {
  return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8);
}

inline int BindOptionalText(sqlite3_stmt* statement, int index,
                            const std::optional<std::string>& text) {
  return text ? BindText(statement, index, *text) : sqlite3_bind_null(statement, index);
}

// Column text with its length (a message may hold a NUL byte).
inline std::string ColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
              : std::string();
}

inline std::optional<std::string> ColumnOptionalText(sqlite3_stmt* statement, int column) {
  if (sqlite3_column_type(statement, column) == SQLITE_NULL) return std::nullopt;
  return ColumnText(statement, column);
}

}  // namespace korvelt::history::sqlite
