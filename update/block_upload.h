#pragma once

#include <cstddef>
#include <cstdint>

namespace korvelt {

// Set when an upload has ended; while set, every acknowledgement is ignored.
extern uint8_t g_bUploadFinished;

inline constexpr std::size_t kBlockDataBytes = 256;
// Block numbers are 16 bits: more blocks would overwrite the image's own beginning.
inline constexpr uint32_t kMaxUploadBytes = 65536u * 256u;

inline constexpr uint8_t kKindFpga = 0x00;
inline constexpr uint8_t kKindAuxFpga = 0x01;
inline constexpr uint8_t kKindNand = 0x30;       // '0'
inline constexpr uint8_t kKindDataFlash = 0x21;  // '!'
inline constexpr uint8_t kLastBlockFlag = 0x40;  // '@'

// What a block upload keeps beside its named members.
struct UploadFlight {
  // Blocks are in flight: an acknowledgement with no upload running is ignored.
  bool blocks = false;
  // Block 0 of a data-flash or NAND upload went out as a bulk frame; a negative
  // acknowledgement sends that frame again.
  bool bulkBlock = false;
};

}  // namespace korvelt
