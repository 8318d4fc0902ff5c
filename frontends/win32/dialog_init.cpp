#include "frontends/win32/dialog_init.h"

#include "frontends/win32/resource_script.h"

namespace korvelt::win32 {

std::vector<DialogInitEntry> ParseDialogInit(std::span<const uint8_t> data) {
  std::vector<DialogInitEntry> entries;
  std::size_t at = 0;
  auto word = [&](std::size_t offset) {
    return uint32_t(data[offset]) | uint32_t(data[offset + 1]) << 8;
  };
  while (at + 2 <= data.size()) {
    const uint32_t controlId = word(at);
    if (controlId == 0 || at + 8 > data.size()) break;
    const uint32_t message = word(at + 2);
    const uint32_t length = word(at + 4) | word(at + 6) << 16;
    at += 8;
    if (length > data.size() - at) break;
    if (message == kDialogInitAddString) {
      std::string text(reinterpret_cast<const char*>(data.data() + at), length);
      if (const auto end = text.find('\0'); end != std::string::npos) text.resize(end);
      entries.push_back({static_cast<int>(controlId), std::move(text)});
    }
    at += length;
  }
  return entries;
}

}  // namespace korvelt::win32
