// The Windows resources: the script written from the layout table, and the reader of the
// dialog-initialisation data the native dialog fills its lists from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontends/win32/dialog_init.h"
#include "frontends/win32/resource_script.h"
#include "resources/dialog_layout.h"

namespace korvelt::win32 {
namespace {

std::vector<uint8_t> Record(uint16_t id, uint16_t message, const std::string& text,
                            uint32_t length) {
  std::vector<uint8_t> bytes = {uint8_t(id),           uint8_t(id >> 8),     uint8_t(message),
                                uint8_t(message >> 8), uint8_t(length),      uint8_t(length >> 8),
                                uint8_t(length >> 16), uint8_t(length >> 24)};
  for (char c : text) bytes.push_back(static_cast<uint8_t>(c));
  return bytes;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) {
    for (uint8_t byte : part) all.push_back(byte);
  }
  return all;
}

TEST(DialogInit, ReadsAddStringRecordsAndStopsSafely) {
  const std::vector<uint8_t> end = {0, 0};
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"two entries and the empty one",
       Join({Record(1106, 0x403, std::string("COM1\0", 5), 5),
             Record(1106, 0x403, std::string("COM2\0", 5), 5),
             Record(1106, 0x403, std::string("\0", 1), 1), end}),
       {"COM1", "COM2", ""}},
      {"other messages are skipped",
       Join({Record(1180, 0x1234, "xx", 2), Record(1180, 0x403, std::string("LAN MCU\0", 8), 8),
             end}),
       {"LAN MCU"}},
      {"a length past the end stops the reading",
       Join({Record(1106, 0x403, std::string("COM1\0", 5), 5), Record(1106, 0x403, "CO", 4000)}),
       {"COM1"}},
      {"a cut header stops the reading",
       Join({Record(1106, 0x403, std::string("COM1\0", 5), 5), {0x52, 0x04, 0x03}}),
       {"COM1"}},
      {"text without its zero", Join({Record(1106, 0x403, "COM9", 4), end}), {"COM9"}},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> texts;
    for (const auto& entry : ParseDialogInit(c.data)) texts.push_back(entry.text);
    EXPECT_EQ(texts, c.texts) << c.name;
  }
}

int Occurrences(const std::string& text, const std::string& piece) {
  int count = 0;
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

TEST(ResourceScript, CarriesTheLayoutTable) {
  const std::string script = WriteResourceScript();
  EXPECT_NE(script.find("102 DIALOGEX 0, 0, 337, 310\n"), std::string::npos);
  EXPECT_NE(script.find("FONT 8, \"MS Sans Serif\", 0, 0, 0x1\n"), std::string::npos);
  EXPECT_NE(script.find("100 DIALOG 0, 0, 235, 55\n"), std::string::npos);
  EXPECT_NE(script.find("CAPTION \"KORVELT (RACK version) FIRMWARE UPDATER 1.0\"\n"),
            std::string::npos);
  for (const ControlTemplate& control : MainDialogTemplate().controls) {
    if (control.id == IDC_STATIC) continue;
    const DialogRect& r = control.rect;
    const std::string placed = std::to_string(control.id) + ", " + std::to_string(r.x) + ", " +
                               std::to_string(r.y) + ", " + std::to_string(r.width) + ", " +
                               std::to_string(r.height);
    EXPECT_NE(script.find(placed), std::string::npos) << "control at its place: " << placed;
  }
  EXPECT_EQ(Occurrences(script, "    1106, 0x0403, "), 100) << "COM1..COM99 and the empty entry";
  EXPECT_EQ(Occurrences(script, "    1180, 0x0403, "), 11);
  EXPECT_NE(script.find("    1106, 0x0403, 1L, \"\\0\",\n"), std::string::npos);
  EXPECT_NE(script.find("    101, \"&About KOVRELT ISP...\"\n"), std::string::npos);
  EXPECT_NE(script.find("BS_MULTILINE | NOT WS_VISIBLE | WS_DISABLED"), std::string::npos);
}

}  // namespace
}  // namespace korvelt::win32
