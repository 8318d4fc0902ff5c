#pragma once

#include <cstdint>

#include "update/stm32_protocol.h"

namespace korvelt {

// The sub-step within the STM32 client's current state; back to 0 at every change of state.
extern int g_nStm32SubStep;

inline constexpr int kStm32BlockBytes = 128;  // the written pacing's Write Memory block
// Timer 8's period: the reopen, then the sync byte until the bootloader answers.
inline constexpr unsigned kStm32SyncTickMs = 300;
// A refused block is written again from its Write Memory command; this many tries in all.
inline constexpr int kStm32MaxBlockAttempts = 3;

// How the client paces the conversation. kWritten: the fixed pauses the dialog has always
// used, a missing answer standing as an acknowledgement. kAcknowledged: each step goes out as
// soon as the previous one is acknowledged; a missing or refused answer is a failure, the sync
// byte goes out with the reopen, and blocks are word-aligned, up to 256 bytes, erased ones
// left out.
enum class Stm32Pacing { kWritten, kAcknowledged };

// The times and block size of a pacing; the client's states and texts are shared.
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
  unsigned syncResendMs;   // the acknowledged pacing's sync byte again after this long
  int blockBytes;
};

const Stm32PacingTable& PacingTable(Stm32Pacing pacing);

}  // namespace korvelt
