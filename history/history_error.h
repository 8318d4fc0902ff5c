#pragma once

#include <string>
#include <utility>
#include <variant>

namespace korvelt::history {

// Why the history could not be used. The caller turns any of them into a non-zero exit status;
// none of them changes how an update itself ended.
struct HistoryError {
  enum class Kind {
    kLocation,      // no default place for the file (HOME or LOCALAPPDATA unset)
    kOpen,          // the folder or the file cannot be created or opened
    kNotHistory,    // not an SQLite file, or another program's database
    kNewerVersion,  // written by a newer version of the updater; left untouched
    kMigrate,       // bringing an older file up to date failed
    kWrite,         // appending a row failed
    kRead,          // a query failed
    kBadRecord,     // the row breaks a rule of the history (an mcuUid that is not 24 hex digits)
    kBadQuery,      // a filter that cannot match anything well-formed
  };
  Kind kind = Kind::kOpen;
  std::string text;  // one line naming the file: "cannot write the history /x/h.sqlite: ..."
};

// A value, or the reason there is none.
template <typename T>
class [[nodiscard]] HistoryResult {
 public:
  HistoryResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  HistoryResult(HistoryError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  const HistoryError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, HistoryError> state_;
};

}  // namespace korvelt::history
