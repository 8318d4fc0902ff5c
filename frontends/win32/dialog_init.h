#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvelt::win32 {

struct DialogInitEntry {
  int controlId;
  std::string text;
};

// Reads a dialog-initialisation resource: records of control id (16 bits), message (16 bits),
// length (32 bits) and that many bytes, up to a zero control id. Only add-string records are
// kept; a record that runs past the end of the data ends the reading.
std::vector<DialogInitEntry> ParseDialogInit(std::span<const uint8_t> data);

}  // namespace korvelt::win32
