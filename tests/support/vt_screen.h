#pragma once

#include <string>
#include <vector>

namespace korvelt::testing {

// The screen of a terminal of `columns` x `rows`, as the bytes korvelt-cli writes leave it: the
// few controls it uses (carriage return, line feed, cursor up, erase below, erase the screen,
// home) and automatic wrapping at the last column, with scrolling at the bottom.
class VtScreen {
 public:
  VtScreen(int columns, int rows)
      : columns_(columns), rows_(rows), lines_(static_cast<std::size_t>(rows)) {}

  void Feed(const std::string& bytes) {
    for (char c : bytes) Put(c);
  }
  void Resize(int columns) { columns_ = columns; }
  // The screen's lines, trailing spaces removed.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (std::string line : lines_) {
      while (!line.empty() && line.back() == ' ') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }
  std::string Text() const {
    std::string text;
    for (const std::string& line : Lines()) text += line + "\n";
    return text;
  }

 private:
  void Put(char c) {
    if (!escape_.empty()) {
      escape_ += c;
      if (escape_.size() == 2 && c != '[') escape_.clear();
      if (escape_.size() > 2 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
        Control(escape_);
        escape_.clear();
      }
      return;
    }
    if (c == '\x1b') {
      escape_ = "\x1b";
    } else if (c == '\r') {
      column_ = 0;
    } else if (c == '\n') {
      NewLine();
    } else {
      if (column_ >= columns_) {  // the character after the last column wraps
        column_ = 0;
        NewLine();
      }
      std::string& line = lines_[static_cast<std::size_t>(row_)];
      if (line.size() <= static_cast<std::size_t>(column_))
        line.resize(static_cast<std::size_t>(column_) + 1, ' ');
      line[static_cast<std::size_t>(column_++)] = c;
    }
  }
  void NewLine() {
    if (++row_ < rows_) return;
    lines_.erase(lines_.begin());
    lines_.emplace_back();
    row_ = rows_ - 1;
  }
  void Control(const std::string& sequence) {
    const char command = sequence.back();
    const std::string digits = sequence.substr(2, sequence.size() - 3);
    const int n = digits.empty() ? 0 : std::stoi(digits);
    if (command == 'A') {
      row_ = std::max(0, row_ - std::max(n, 1));
    } else if (command == 'H') {
      row_ = column_ = 0;
    } else if (command == 'J') {
      if (n == 2) {
        for (auto& line : lines_) line.clear();
        return;
      }
      lines_[static_cast<std::size_t>(row_)].resize(static_cast<std::size_t>(column_));
      for (int r = row_ + 1; r < rows_; ++r) lines_[static_cast<std::size_t>(r)].clear();
    } else if (command == 'K') {
      std::string& line = lines_[static_cast<std::size_t>(row_)];
      if (line.size() > static_cast<std::size_t>(column_))
        line.resize(static_cast<std::size_t>(column_));
    }
  }

  int columns_;
  int rows_;
  std::vector<std::string> lines_;
  int row_ = 0;
  int column_ = 0;
  std::string escape_;
};

}  // namespace korvelt::testing
