// MCU image files: Intel HEX and S-record tables of good and bad files, ELF, raw binary.
#include <gtest/gtest.h>

#include "tests/support/hex_digits.h"
#include "update/mcu_image.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Digits(const Bytes& bytes) {
  return testing::HexDigits(bytes);
}

std::string Hex(uint8_t type, uint16_t address, const Bytes& data) {
  return testing::HexRecordLine(type, address, data);
}

std::string Srec(char type, uint32_t address, int addressBytes, const Bytes& data) {
  Bytes r = {static_cast<uint8_t>(addressBytes + data.size() + 1)};
  for (int i = addressBytes - 1; i >= 0; --i) r.push_back(static_cast<uint8_t>(address >> (8 * i)));
  r.insert(r.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
  r.push_back(static_cast<uint8_t>(~sum));
  return std::string("S") + type + Digits(r) + "\r\n";
}

Bytes Of(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

const std::string kLinear0800 = Hex(0x04, 0, {0x08, 0x00});
const std::string kEof = Hex(0x01, 0, {});

TEST(McuImage, GoodFiles) {
  struct Case {
    const char* name;
    std::string text;
    McuImageFormat format;
    std::vector<McuRange> ranges;
    std::vector<std::pair<uint32_t, uint8_t>> bytes;  // offset, value
  };
  const Case cases[] = {
      {"hex, one record",
       kLinear0800 + Hex(0, 0, {1, 2, 3}) + kEof,
       McuImageFormat::kIntelHex,
       {{0, 3}},
       {{0, 1}, {2, 3}}},
      {"hex, records that touch merge",
       kLinear0800 + Hex(0, 4, {5, 6}) + Hex(0, 0, {1, 2, 3, 4}) + kEof,
       McuImageFormat::kIntelHex,
       {{0, 6}},
       {{4, 5}, {5, 6}}},
      {"hex, a gap stays erased",
       kLinear0800 + Hex(0, 0, {1}) + Hex(0, 0x100, {2}) + kEof,
       McuImageFormat::kIntelHex,
       {{0, 1}, {0x100, 0x101}},
       {{1, 0xFF}, {0xFF, 0xFF}, {0x100, 2}}},
      {"hex, second 64 KiB through 04",
       kLinear0800 + Hex(0, 0, {1}) + Hex(0x04, 0, {0x08, 0x01}) + Hex(0, 2, {7}) +
           Hex(0x05, 0, {8, 0, 1, 0x41}) + kEof,
       McuImageFormat::kIntelHex,
       {{0, 1}, {0x10002, 0x10003}},
       {{0x10002, 7}}},
      {"hex, lower case and blank lines",
       "\n" + kLinear0800 + "\n:0100000005fa\n" + kEof,
       McuImageFormat::kIntelHex,
       {{0, 1}},
       {{0, 5}}},
      {"srec S3 with header and count",
       Srec('0', 0, 2, {'f', 'w'}) + Srec('3', 0x08000010, 4, {1, 2}) + Srec('5', 1, 2, {}) +
           Srec('7', 0x08000000, 4, {}),
       McuImageFormat::kSRecord,
       {{0x10, 0x12}},
       {{0x10, 1}, {0x11, 2}, {0, 0xFF}}},
      {"srec with a gap",
       Srec('3', 0x08000000, 4, {1}) + Srec('3', 0x08000200, 4, {2}) + Srec('7', 0, 4, {}),
       McuImageFormat::kSRecord,
       {{0, 1}, {0x200, 0x201}},
       {{0x200, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const McuImageParse parsed = ParseMcuImage(Of(c.text), "fw");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.image.format, c.format);
    EXPECT_EQ(parsed.image.ranges, c.ranges);
    EXPECT_EQ(parsed.image.flat.size(), c.ranges.back().end);
    for (auto [offset, value] : c.bytes) EXPECT_EQ(parsed.image.flat[offset], value) << offset;
  }
}

TEST(McuImage, BadFilesNameTheirLine) {
  std::string badChecksum = Hex(0, 0, {1, 2});
  badChecksum[badChecksum.size() - 2] ^= 1;
  std::string badSrec = Srec('3', 0x08000000, 4, {1});
  badSrec[badSrec.size() - 3] ^= 1;
  struct Case {
    const char* name;
    Bytes bytes;
    const char* error;
  };
  const Case cases[] = {
      {"hex bad checksum", Of(kLinear0800 + badChecksum + kEof), "fw, line 2: the checksum"},
      {"hex after blank lines", Of("\r\n\n" + kLinear0800 + badChecksum + kEof), "fw, line 4"},
      {"hex overlapping", Of(kLinear0800 + Hex(0, 0, {1, 2, 3}) + Hex(0, 2, {4}) + kEof),
       "fw, line 3: the record overlaps the one on line 2 at 0x08000002"},
      {"hex below the flash", Of(Hex(0, 0x10, {1}) + kEof), "line 1: the record at 0x00000010"},
      // Segment 0x8000 is linear 0x80000: a segment address never reaches the flash.
      {"hex segment address", Of(Hex(0x02, 0, {0x80, 0x00}) + Hex(0, 0x10, {9}) + kEof),
       "line 2: the record at 0x00080010"},
      {"hex past the flash", Of(Hex(0x04, 0, {0x08, 0x20}) + Hex(0, 0, {1}) + kEof),
       "line 2: the record at 0x08200000 lies outside"},
      {"hex straddles the end", Of(Hex(0x04, 0, {0x08, 0x1F}) + Hex(0, 0xFFFF, {1, 2}) + kEof),
       "line 2"},
      {"hex without end record", Of(kLinear0800 + Hex(0, 0, {1})), "line 3: the file ends"},
      {"hex malformed", Of(kLinear0800 + ":10zz\n" + kEof), "line 2: not a record"},
      {"hex wrong length", Of(kLinear0800 + ":0300000001FC\n" + kEof), "line 2: the record's len"},
      {"hex unknown type", Of(kLinear0800 + Hex(0x06, 0, {}) + kEof), "line 2: record type 06"},
      {"hex no data", Of(kLinear0800 + kEof), "fw holds no data records"},
      {"hex junk line", Of(kLinear0800 + "hello\n" + kEof), "line 2: a record must start"},
      {"srec bad checksum", Of(badSrec + Srec('7', 0, 4, {})), "line 1: the checksum"},
      {"srec S4", Of("S4030000FC\n"), "line 1: S4 is not"},
      {"srec overlapping",
       Of(Srec('3', 0x08000000, 4, {1, 2}) + Srec('3', 0x08000001, 4, {3}) + Srec('7', 0, 4, {})),
       "line 2: the record overlaps the one on line 1"},
      {"srec out of flash", Of(Srec('1', 0x1000, 2, {1}) + Srec('9', 0, 2, {})), "line 1: the rec"},
      {"srec without termination", Of(Srec('3', 0x08000000, 4, {1})), "termination record"},
      {"elf", Bytes{0x7F, 'E', 'L', 'F', 1, 1, 1, 0},
       "fw is an ELF file: convert it with objcopy -O ihex"},
      {"empty raw", Bytes{}, "fw is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const McuImageParse parsed = ParseMcuImage(c.bytes, "fw");
    EXPECT_FALSE(parsed.ok);
    EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
  }
}

TEST(McuImage, AnythingElseIsRawBinaryAtTheFlashStart) {
  // A vector table: the stack pointer's low byte is a multiple of 8, never ':' or 'S'.
  const Bytes image = {0x00, 0x50, 0x00, 0x20, 0x3A, 0x53, 0x31, 0x7F};
  const McuImageParse parsed = ParseMcuImage(image, "fw.bin");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.image.format, McuImageFormat::kRawBinary);
  EXPECT_EQ(parsed.image.flat, image);
  EXPECT_EQ(parsed.image.ranges, (std::vector<McuRange>{{0, 8}}));
  EXPECT_FALSE(ParseMcuImage(Bytes(kMcuFlashWindowBytes + 1, 0), "big").ok);
}

}  // namespace
}  // namespace korvelt
