#pragma once

#include <array>
#include <cstdint>

namespace korvelt {

// The reply command codes, slot by slot. Only slot 34 (0xFFFF, the block acknowledgement)
// has a live handler; 0xF801 appears twice and the second is never reached.
inline constexpr std::array<uint16_t, 35> kReplyCommandCodes = {
    0xB838, 0x8000, 0x8050, 0x8051, 0x9000, 0xA000, 0xA820, 0xA828, 0xA852, 0xA853, 0xB800, 0xB810,
    0xF800, 0xF801, 0xF878, 0x8081, 0xB820, 0x8063, 0x8064, 0x8065, 0x8066, 0x8067, 0x8068, 0x8080,
    0x8094, 0x8095, 0x8091, 0x8096, 0x8090, 0x8092, 0x809F, 0xF801, 0xF850, 0xF851, 0xFFFF,
};
inline constexpr int kBlockAckSlot = 34;

// Diagnostics for tests and the trace: frames the reply parser dispatched, and the last slot
// taken.
struct ReplyParserCounters {
  uint64_t framesDispatched = 0;
  int lastDispatchedSlot = -1;
};

}  // namespace korvelt
