#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "serial/port_operations.h"
#include "update/resend_ledger.h"

namespace korvelt {

// The loader the input board runs while its firmware is streamed to it.
inline constexpr std::size_t kInputBoardLoaderBytes = 5446;
extern const uint8_t g_inputBoardLoader[kInputBoardLoaderBytes];

// The placeholder the repository carries in place of the real loader: a halt loop at 0000:0510
// (cli; hlt; jmp back to hlt) and a marker text. A board that ran it would stop, not load.
inline constexpr uint8_t kPlaceholderLoaderHalt[] = {0xFA, 0xF4, 0xEB, 0xFD};
inline constexpr const char* kPlaceholderLoaderMarker = "KORVELT INPUT-BOARD LOADER PLACEHOLDER";
bool IsPlaceholderLoader(std::span<const uint8_t> loader);
// Whether this build embeds the placeholder instead of a loader a board can run.
bool InputBoardLoaderIsPlaceholder();
inline constexpr const char* kNoInputBoardLoader =
    "This build carries no input-board loader, only a placeholder that a board cannot run. "
    "Rebuild the updater with the board's loader (KORVELT_INPUT_BOARD_LOADER=FILE) to update "
    "input boards.";

// The chunk sender's state: the current chunk frame still has pieces to write, how many of
// its bytes are not yet handed to the port, and its whole length.
extern int g_bLoaderPiecePending;
extern int g_nLoaderBytesLeft;
extern int g_nLoaderFrameEnd;

inline constexpr int kLoaderFrameData = 250;               // loader bytes per first-stage frame
inline constexpr int kLoaderChunkBytes = 4096;             // image bytes per chunk frame
inline constexpr int kLoaderPieceBytes = kWriteSlotBytes;  // one write of the port
inline constexpr int kLoaderChunkOverhead = 12;  // address, length and CRC around the data
inline constexpr uint32_t kLoaderLoadAddress = 0x0510;
inline constexpr uint32_t kBoardImageAddress = 0xA00000;
// Chunk addresses are 32 bits from kBoardImageAddress: a larger image cannot be addressed.
inline constexpr uint64_t kMaxBoardImageBytes = (uint64_t{1} << 32) - kBoardImageAddress;

// korvelt-cli's acknowledged mode: a chunk the board has not confirmed after the line was
// quiet this long is sent again, this many times at most. The board's loader takes 500 ms of
// quiet after its ready byte as the end of the image, so the resend must come well before.
inline constexpr unsigned kChunkAnswerTimeoutMs = 300;
inline constexpr int kMaxChunkResends = 3;

// What the input-board transfer keeps beside its named members in the acknowledged mode.
struct ChunkFlight {
  bool awaiting = false;  // a chunk went out whole and the board's ready byte is awaited
  bool repeat = false;    // the chunk going out is a repeat, already counted as a send
  ResendLedger ledger{kMaxChunkResends};
};

}  // namespace korvelt
