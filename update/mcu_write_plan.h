#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "update/mcu_image.h"

namespace korvelt {

// Which blocks of an MCU image go to the flash, and which reads check them afterwards. All
// ranges are offsets from the flash base.
struct McuWritePlan {
  std::vector<McuRange> writes;   // in the order they are written
  std::vector<McuRange> checked;  // every block that touches data, written or left erased
};

struct McuPlanRules {
  uint32_t blockBytes = 128;
  bool wordAligned = false;       // blocks start and end on 4-byte boundaries
  bool skipErasedBlocks = false;  // blocks that are all 0xFF stay as the erase left them
};

// Cuts the image into blocks of `rules.blockBytes` from offset 0; a block that touches no
// range is a gap. `ranges` empty: the whole image holds data (a raw binary). A word-aligned
// block covers only the data it touches, rounded out to whole words (the tail is padded with
// 0xFF when it is sent).
McuWritePlan PlanMcuWrites(std::span<const uint8_t> image, const std::vector<McuRange>& ranges,
                           const McuPlanRules& rules);

// The reads that check `checked`: blocks that touch are read as one range, in pieces of at
// most `pieceBytes`.
std::vector<McuRange> PlanMcuVerifyReads(const std::vector<McuRange>& checked, uint32_t pieceBytes);

}  // namespace korvelt
