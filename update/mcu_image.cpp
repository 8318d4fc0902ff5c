// MCU image files: Intel HEX, Motorola S-record or raw binary, recognised by their content and
// turned into the bytes the flash should hold.
#include "update/mcu_image.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

#include "update/hex_text.h"

namespace korvelt {

namespace {

// A data record; its bytes lie in the parser's pool, so that a file of many short records
// costs no allocation per record.
struct Record {
  uint64_t address = 0;  // absolute; 64 bits so that a record past 4 GiB cannot wrap
  uint32_t offset = 0;   // in the pool
  uint32_t size = 0;
  int line = 0;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Pairs of hex digits to bytes; nothing when a character is not a digit or one is left over.
std::optional<std::vector<uint8_t>> HexBytes(std::string_view digits) {
  if (digits.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = HexDigit(digits[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

// The file's lines one at a time, without their line ends and surrounding blanks, so that a
// fault ends the reading where it is; blank lines keep their number so that errors name the
// line an editor shows.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (start_ > text_.size()) return false;
    std::size_t end = text_.find('\n', start_);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view found = text_.substr(start_, end - start_);
    while (!found.empty() && (found.back() == '\r' || found.back() == ' ' || found.back() == '\t'))
      found.remove_suffix(1);
    while (!found.empty() && (found.front() == ' ' || found.front() == '\t'))
      found.remove_prefix(1);
    *line = found;
    start_ = end + 1;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t start_ = 0;
};

class Parser {
 public:
  Parser(std::string name, int linesSkipped)
      : name_(std::move(name)), lines_skipped_(linesSkipped) {}

  bool Fail(int line, const std::string& what) {
    error_ = name_ + ", line " + std::to_string(line + lines_skipped_) + ": " + what;
    return false;
  }
  // The record's data bytes are [first, last) of `bytes`.
  bool Add(int line, uint64_t address, const std::vector<uint8_t>& bytes, std::size_t first,
           std::size_t last) {
    if (first >= last) return true;
    const std::size_t size = last - first;
    if (address < kMcuFlashBase ||
        address + size > uint64_t{kMcuFlashBase} + kMcuFlashWindowBytes) {
      return Fail(line, "the record at " + Hex32(address) + " lies outside the MCU's flash (" +
                            Hex32(kMcuFlashBase) + " to " +
                            Hex32(uint64_t{kMcuFlashBase} + kMcuFlashWindowBytes - 1) + ")");
    }
    records_.push_back(
        {address, static_cast<uint32_t>(pool_.size()), static_cast<uint32_t>(size), line});
    pool_.insert(pool_.end(), bytes.begin() + static_cast<long>(first),
                 bytes.begin() + static_cast<long>(last));
    return true;
  }

  bool ParseIntelHex(std::string_view text) {
    uint64_t base = 0;
    int number = 0;
    LineReader lines(text);
    for (std::string_view line; lines.Next(&line);) {
      ++number;
      if (line.empty()) continue;
      if (line.front() != ':') return Fail(number, "a record must start with ':'");
      auto bytes = HexBytes(line.substr(1));
      if (!bytes || bytes->size() < 5) return Fail(number, "not a record of hex digits");
      const std::vector<uint8_t>& r = *bytes;
      if (r.size() != 5u + r[0]) return Fail(number, "the record's length byte does not match");
      uint8_t sum = 0;
      for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
      if (sum != 0) return Fail(number, "the checksum is wrong");
      const uint32_t offset = uint32_t(r[1]) << 8 | r[2];
      const uint8_t type = r[3];
      const std::vector<uint8_t> data(r.begin() + 4, r.end() - 1);
      switch (type) {
        case 0x00:
          if (!Add(number, base + offset, r, 4, r.size() - 1)) return false;
          break;
        case 0x01:
          return Finish();
        case 0x02:
        case 0x04:
          if (data.size() != 2) return Fail(number, "an address record holds 2 bytes");
          base = uint64_t(data[0] << 8 | data[1]) << (type == 0x02 ? 4 : 16);
          break;
        case 0x03:  // start addresses: the bootloader starts the image itself
        case 0x05:
          if (data.size() != 4) return Fail(number, "a start address record holds 4 bytes");
          break;
        default: {
          char what[64];
          std::snprintf(what, sizeof what, "record type %02X is not an Intel HEX record", type);
          return Fail(number, what);
        }
      }
    }
    return Fail(number,
                "the file ends without its end-of-file record (:00000001FF): it may be "
                "cut short");
  }

  bool ParseSRecord(std::string_view text) {
    int number = 0;
    LineReader lines(text);
    for (std::string_view line; lines.Next(&line);) {
      ++number;
      if (line.empty()) continue;
      if (line.size() < 2 || (line[0] != 'S' && line[0] != 's'))
        return Fail(number, "a record must start with 'S' and its type");
      const char type = line[1];
      auto bytes = HexBytes(line.substr(2));
      if (!bytes || bytes->size() < 3) return Fail(number, "not a record of hex digits");
      const std::vector<uint8_t>& r = *bytes;
      if (r.size() != 1u + r[0]) return Fail(number, "the record's count byte does not match");
      uint8_t sum = 0;
      for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
      if (sum != 0xFF) return Fail(number, "the checksum is wrong");
      std::size_t addressBytes = 0;
      switch (type) {
        case '0':
        case '1':
        case '5':
        case '9':
          addressBytes = 2;
          break;
        case '2':
        case '6':
        case '8':
          addressBytes = 3;
          break;
        case '3':
        case '7':
          addressBytes = 4;
          break;
        default:
          return Fail(number, std::string("S") + type + " is not an S-record type");
      }
      if (r.size() < 2 + addressBytes) return Fail(number, "the record is too short");
      uint64_t address = 0;
      for (std::size_t i = 0; i < addressBytes; ++i) address = address << 8 | r[1 + i];
      if (type == '7' || type == '8' || type == '9') return Finish();
      if (type == '1' || type == '2' || type == '3') {
        if (!Add(number, address, r, 1 + addressBytes, r.size() - 1)) return false;
      }
      // S0 (a header) and S5, S6 (record counts) carry nothing for the flash.
    }
    return Fail(number,
                "the file ends without its termination record (S7, S8 or S9): it may "
                "be cut short");
  }

  bool RawBinary(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) {
      error_ = name_ + " is empty";
      return false;
    }
    if (bytes.size() > kMcuFlashWindowBytes) {
      error_ = name_ + " is " + std::to_string(bytes.size()) +
               " bytes, more than any MCU flash this updater writes (" +
               std::to_string(kMcuFlashWindowBytes) + " bytes)";
      return false;
    }
    image_.flat = bytes;
    image_.ranges = {{0, static_cast<uint32_t>(bytes.size())}};
    return true;
  }

  McuImage& image() { return image_; }
  const std::string& error() const { return error_; }

 private:
  bool Finish() {
    if (records_.empty()) {
      error_ = name_ + " holds no data records";
      return false;
    }
    std::stable_sort(records_.begin(), records_.end(),
                     [](const Record& a, const Record& b) { return a.address < b.address; });
    for (std::size_t i = 1; i < records_.size(); ++i) {
      const Record& before = records_[i - 1];
      const Record& after = records_[i];
      if (after.address < before.address + before.size) {
        const int line = std::max(before.line, after.line);
        const int other = std::min(before.line, after.line);
        return Fail(line, "the record overlaps the one on line " + std::to_string(other) + " at " +
                              Hex32(after.address));
      }
    }
    const Record& last = records_.back();
    image_.flat.assign(last.address + last.size - kMcuFlashBase, 0xFF);
    for (const Record& record : records_) {
      const auto begin = static_cast<uint32_t>(record.address - kMcuFlashBase);
      const auto end = begin + record.size;
      std::copy(pool_.begin() + record.offset, pool_.begin() + record.offset + record.size,
                image_.flat.begin() + begin);
      if (!image_.ranges.empty() && image_.ranges.back().end == begin) {
        image_.ranges.back().end = end;
      } else {
        image_.ranges.push_back({begin, end});
      }
    }
    return true;
  }

  std::string name_;
  int lines_skipped_;  // blank lines before the first record
  std::string error_;
  std::vector<Record> records_;
  std::vector<uint8_t> pool_;  // every record's data, in file order
  McuImage image_;
};

bool IsHexDigit(uint8_t c) {
  return HexDigit(static_cast<char>(c)) >= 0;
}

}  // namespace

const char* McuImageFormatName(McuImageFormat format) {
  switch (format) {
    case McuImageFormat::kIntelHex:
      return "Intel HEX";
    case McuImageFormat::kSRecord:
      return "S-record";
    default:
      return "raw binary";
  }
}

McuImageParse ParseMcuImage(const std::vector<uint8_t>& bytes, const std::string& name) {
  McuImageParse result;
  static constexpr uint8_t kElfMagic[] = {0x7F, 'E', 'L', 'F'};
  if (bytes.size() >= 4 && std::equal(std::begin(kElfMagic), std::end(kElfMagic), bytes.begin())) {
    result.error = name + " is an ELF file: convert it with objcopy -O ihex";
    return result;
  }
  // A text file may start with a byte-order mark or blank lines. A raw image starts with its
  // stack pointer, whose low byte is a multiple of 8: never ':' or 'S'.
  std::size_t first = 0;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) first = 3;
  int linesSkipped = 0;
  while (first < bytes.size() && (bytes[first] == '\r' || bytes[first] == '\n')) {
    if (bytes[first++] == '\n') ++linesSkipped;
  }
  Parser parser(name, linesSkipped);
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()) + first,
                              bytes.size() - first);
  bool ok = false;
  if (text.size() >= 2 && text[0] == ':' && IsHexDigit(static_cast<uint8_t>(text[1]))) {
    result.image.format = McuImageFormat::kIntelHex;
    ok = parser.ParseIntelHex(text);
  } else if (text.size() >= 3 && (text[0] == 'S' || text[0] == 's') && text[1] >= '0' &&
             text[1] <= '9' && IsHexDigit(static_cast<uint8_t>(text[2]))) {
    result.image.format = McuImageFormat::kSRecord;
    ok = parser.ParseSRecord(text);
  } else {
    ok = parser.RawBinary(bytes);
  }
  if (!ok) {
    result.error = parser.error();
    return result;
  }
  const McuImageFormat format = result.image.format;
  result.image = std::move(parser.image());
  result.image.format = format;
  result.ok = true;
  return result;
}

}  // namespace korvelt
