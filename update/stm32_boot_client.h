#pragma once

#include <cstdint>

namespace korvelt {

// The sub-step within the STM32 client's current state; back to 0 at every change of state.
extern int g_nStm32SubStep;

inline constexpr uint8_t kStm32Ack = 0x79;
inline constexpr uint8_t kStm32Nack = 0x1F;
inline constexpr uint32_t kStm32FlashStart = 0x08000000;
inline constexpr int kStm32BlockBytes = 128;
// A refused block is written again from its Write Memory command; this many tries in all.
inline constexpr int kStm32MaxBlockAttempts = 3;

}  // namespace korvelt
