#pragma once

#include <cstddef>
#include <cstdint>

namespace korvelt {

// The loader the input board runs while its firmware is streamed to it.
inline constexpr std::size_t kInputBoardLoaderBytes = 5446;
extern const uint8_t g_inputBoardLoader[kInputBoardLoaderBytes];

// The chunk sender's state: the current chunk frame still has pieces to write, how many of
// its bytes are not yet handed to the port, and its whole length.
extern int g_bLoaderPiecePending;
extern int g_nLoaderBytesLeft;
extern int g_nLoaderFrameEnd;

inline constexpr int kLoaderFrameData = 250;    // loader bytes per first-stage frame
inline constexpr int kLoaderChunkBytes = 4096;  // image bytes per chunk frame
inline constexpr int kLoaderPieceBytes = 512;   // the port's write slot
inline constexpr uint32_t kLoaderLoadAddress = 0x0510;
inline constexpr uint32_t kBoardImageAddress = 0xA00000;

}  // namespace korvelt
