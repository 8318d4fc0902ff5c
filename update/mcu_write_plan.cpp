#include "update/mcu_write_plan.h"

#include <algorithm>

namespace korvelt {

McuWritePlan PlanMcuWrites(std::span<const uint8_t> image, const std::vector<McuRange>& given,
                           const McuPlanRules& rules) {
  const uint64_t imageSize = image.size();
  const uint32_t size = rules.blockBytes;
  std::vector<McuRange> ranges = given;
  if (ranges.empty() && imageSize > 0) ranges = {{0, static_cast<uint32_t>(imageSize)}};
  McuWritePlan plan;
  std::size_t first = 0;
  for (uint64_t window = 0; window < imageSize; window += size) {
    const uint64_t windowEnd = window + size;
    while (first < ranges.size() && ranges[first].end <= window) ++first;
    uint64_t low = windowEnd, high = window;
    for (std::size_t k = first; k < ranges.size() && ranges[k].begin < windowEnd; ++k) {
      low = std::min<uint64_t>(low, std::max<uint64_t>(ranges[k].begin, window));
      high = std::max<uint64_t>(high, std::min<uint64_t>(ranges[k].end, windowEnd));
    }
    if (low >= high) continue;  // a gap: it stays as the erase left it
    McuRange block{static_cast<uint32_t>(window), static_cast<uint32_t>(windowEnd)};
    if (rules.wordAligned) {
      // Write Memory wants word-aligned addresses and lengths; the tail is padded with 0xFF.
      block = {static_cast<uint32_t>(low & ~uint64_t{3}),
               static_cast<uint32_t>((high + 3) & ~uint64_t{3})};
    }
    plan.checked.push_back(block);
    if (rules.skipErasedBlocks) {
      const auto begin = image.begin() + block.begin;
      const auto end = image.begin() + static_cast<long>(std::min<uint64_t>(block.end, imageSize));
      if (std::all_of(begin, end, [](uint8_t b) { return b == 0xFF; })) continue;
    }
    plan.writes.push_back(block);
  }
  return plan;
}

std::vector<McuRange> PlanMcuVerifyReads(const std::vector<McuRange>& checked,
                                         uint32_t pieceBytes) {
  std::vector<McuRange> merged;
  for (const McuRange& block : checked) {
    if (!merged.empty() && merged.back().end == block.begin) {
      merged.back().end = block.end;
    } else {
      merged.push_back(block);
    }
  }
  std::vector<McuRange> reads;
  for (const McuRange& range : merged) {
    for (uint32_t at = range.begin; at < range.end; at += pieceBytes) {
      reads.push_back({at, std::min<uint32_t>(at + pieceBytes, range.end)});
    }
  }
  return reads;
}

}  // namespace korvelt
