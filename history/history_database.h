#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/history_error.h"
#include "history/history_record.h"

namespace korvelt::history {

// The version of the history's layout this build writes (PRAGMA user_version). Files of an
// older version are brought up to it when opened; newer ones are refused and left untouched.
inline constexpr int kHistorySchemaVersion = 1;

// Which records a query returns. Every filter given must match; the result is in the order the
// steps started, newest last.
struct HistoryQuery {
  std::optional<std::string> mcuUid;  // 24 hex digits, either case
  std::optional<std::string> port;    // "COM3", either case
  std::optional<HistoryTime> since;   // steps that started at or after it
  std::optional<std::size_t> last;    // only the newest N of those
};

// The station's history: an SQLite file that every unit process of a run appends to at once.
// Each process opens its own HistoryDatabase (a connection is not carried across fork); one
// object is used by one thread at a time.
class HistoryDatabase {
 public:
  enum class OpenMode {
    kCreate,    // creates the folder and the file when missing (runs that write rows)
    kExisting,  // a missing file is an error (queries)
  };

  // Opens `file` and brings its layout up to kHistorySchemaVersion. Refused, without a change
  // to the file: a file that is not an SQLite database, another program's database, a file of
  // a newer version, a file that can only be read.
  static HistoryResult<std::unique_ptr<HistoryDatabase>> Open(const std::filesystem::path& file,
                                                              OpenMode mode = OpenMode::kCreate);
  ~HistoryDatabase();
  HistoryDatabase(const HistoryDatabase&) = delete;
  HistoryDatabase& operator=(const HistoryDatabase&) = delete;

  // Writes one row in a transaction of its own, waiting for other writers as long as the busy
  // time-out allows. mcuUid and sha256 are stored in lowercase. A record that breaks the
  // history's rules (outcome not one of kOutcomes, an mcuUid that is not 24 hex digits, a
  // sha256 that is not 64, seconds negative or not a number, an empty step) is refused with
  // kBadRecord and not written.
  [[nodiscard]] std::optional<HistoryError> Append(const HistoryRecord& record);

  HistoryResult<std::vector<HistoryRecord>> Query(const HistoryQuery& query);

  // The kind of unit that the last successful MCU step (generator-mcu, analyzer-mcu, with or
  // without =FILE) on the unit with this mcuUid wrote its firmware for: the row's kind, or,
  // where the unit could not say its kind, the step's ("generator-mcu=fw.hex": "generator").
  // Nothing when the unit never had a successful MCU step.
  HistoryResult<std::optional<std::string>> LastMcuKind(std::string_view mcuUid);

  // SQLite's integrity check: "ok", or what it found wrong, one finding a line.
  HistoryResult<std::string> CheckIntegrity();

  const std::filesystem::path& file() const;

 private:
  struct Impl;
  explicit HistoryDatabase(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvelt::history
