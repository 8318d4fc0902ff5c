#pragma once

#include <cstdint>

namespace korvelt {

// The sub-step within the STM32 client's current state; back to 0 at every change of state.
extern int g_nStm32SubStep;

inline constexpr uint8_t kStm32Ack = 0x79;
inline constexpr uint8_t kStm32Nack = 0x1F;
inline constexpr uint32_t kStm32FlashStart = 0x08000000;
inline constexpr int kStm32BlockBytes = 128;     // the written pacing's Write Memory block
inline constexpr int kStm32MaxWriteBytes = 256;  // what one Write Memory or Read Memory carries
// Timer 8's period: the reopen, then the sync byte until the bootloader answers.
inline constexpr unsigned kStm32SyncTickMs = 300;
// A refused block is written again from its Write Memory command; this many tries in all.
inline constexpr int kStm32MaxBlockAttempts = 3;

// How the client paces the conversation. kWritten: the fixed pauses the dialog has always
// used, a missing answer standing as an acknowledgement. kAcknowledged: each step goes out as
// soon as the previous one is acknowledged, and a missing answer is a failure.
enum class Stm32Pacing { kWritten, kAcknowledged };

// Everything the two pacings do differently; the client's states and texts are shared.
struct Stm32PacingTable {
  unsigned getPauseMs;         // before Get, after the sync byte was answered
  unsigned commandPauseMs;     // before Get ID, Read Memory and the first read's parts
  unsigned shortPauseMs;       // before the second read's length and Erase Memory
  unsigned eraseListDelayMs;   // the erase's page list after its command was acknowledged
  unsigned firstWriteDelayMs;  // the first Write Memory after the erase was acknowledged
  unsigned blockPartDelayMs;   // a block's address and data after their acknowledgements
  unsigned nextWriteDelayMs;   // the next block's Write Memory
  unsigned replyTimeoutMs;     // states 1 to 4; 0: no time-out
  unsigned eraseCommandTimeoutMs;
  unsigned eraseTimeoutMs;
  unsigned firstWriteTimeoutMs;
  unsigned stepTimeoutMs;  // every later write step
  unsigned syncGiveUpMs;   // 0: the sync byte is repeated for ever
  int blockBytes;
  bool timeoutIsFailure;    // false: a time-out stands as an acknowledgement
  bool refusalIsFailure;    // a NACK in states 1 to 5 ends the update
  bool syncOnReopenTick;    // the sync byte goes out with the reopen, not a tick later
  bool skipErasedBlocks;    // blocks all 0xFF are left as the erase left them
  bool stopAtFailedBlock;   // false: go on and name the failed blocks at the end
  bool alignBlocksToWords;  // blocks start and end on 4-byte boundaries, not full blocks
};

const Stm32PacingTable& PacingTable(Stm32Pacing pacing);

}  // namespace korvelt
