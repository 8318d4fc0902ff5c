#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvelt {

// The main flash window an MCU image may fill: from 0x08000000, 2 MiB (the largest parts'
// flash). The MCU's own flash size, read from its bootloader, narrows it before the erase.
inline constexpr uint32_t kMcuFlashBase = 0x08000000;
inline constexpr uint32_t kMcuFlashWindowBytes = 2 * 1024 * 1024;

// A range of the image that holds data, as offsets from kMcuFlashBase: [begin, end).
struct McuRange {
  uint32_t begin = 0;
  uint32_t end = 0;
  bool operator==(const McuRange&) const = default;
};

enum class McuImageFormat { kRawBinary, kIntelHex, kSRecord };

// An MCU image as it goes into the flash: `flat` from kMcuFlashBase up to the end of the last
// range, 0xFF in the gaps; `ranges` sorted, disjoint and merged where they touch.
struct McuImage {
  McuImageFormat format = McuImageFormat::kRawBinary;
  std::vector<uint8_t> flat;
  std::vector<McuRange> ranges;
};

struct McuImageParse {
  bool ok = false;
  McuImage image;
  std::string error;  // why the file was refused, with its line number where it has one
};

// Recognises the file by its content: Intel HEX (records 00, 01, 02, 03, 04, 05), Motorola
// S-record (S0 to S3, S5, S7 to S9), an ELF file (refused), otherwise raw binary placed at
// kMcuFlashBase. Checksums are checked; records outside the flash window, overlapping records
// and malformed lines are refused. `name` is how the error texts call the file.
McuImageParse ParseMcuImage(const std::vector<uint8_t>& bytes, const std::string& name);

const char* McuImageFormatName(McuImageFormat format);

}  // namespace korvelt
