#pragma once

#include <cstddef>
#include <cstdint>

#include "update/resend_ledger.h"

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

// korvelt-cli's acknowledged mode (UpdaterOptions::resendBlocks): a block whose
// acknowledgement has not come after the line was quiet this long is sent again, this many
// times at most. A unit takes a block in a few milliseconds.
inline constexpr unsigned kBlockAnswerTimeoutMs = 1000;
inline constexpr int kMaxBlockResends = 3;

// What a block upload keeps beside its named members.
struct UploadFlight {
  // Blocks are in flight: an acknowledgement with no upload running is ignored.
  bool blocks = false;
  // Block 0 of a data-flash or NAND upload went out as a bulk frame; a negative
  // acknowledgement sends that frame again.
  bool bulkBlock = false;
  // The acknowledged mode: which send each acknowledgement answers.
  ResendLedger ledger{kMaxBlockResends};
  // The acknowledged mode: the final block was taken; the success is told at the auto-close,
  // so that an acknowledgement no block waits for can still end the upload.
  bool settling = false;
};

}  // namespace korvelt
