#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvelt {

// The framed command protocol: start byte, device type, sub-type, 16-bit little-endian
// length L (everything after the length field), group and machine address, 16-bit command
// code, payload, and a checksum that brings the 8-bit sum of the whole frame to zero.
inline constexpr uint8_t kCommandStart = 0xAA;
inline constexpr uint8_t kReplyStart = 0xAB;
inline constexpr std::size_t kFrameHeaderBytes = 9;  // start .. command code
inline constexpr std::size_t kFrameOverheadBytes = 10;
inline constexpr int kMaxCommandPayload = 290;
inline constexpr int kMaxReplyLength = 500;
inline constexpr int kMinFrameLength = 5;  // addresses, command code and checksum
inline constexpr uint16_t kSearchCommand = 0xF802;
inline constexpr uint16_t kBlockCommand = 0x7878;
inline constexpr uint16_t kBlockAckCommand = 0xFFFF;
inline constexpr uint16_t kFilterExemptCommand = 0xF801;

// The byte that makes the 8-bit sum of `bytes` and itself zero.
uint8_t ZeroSumChecksum(const uint8_t* bytes, std::size_t count);
bool SumsToZero(const uint8_t* bytes, std::size_t count);

struct FrameAddress {
  uint8_t deviceType = 0;
  uint8_t deviceSubType = 0;
  uint8_t group = 0;
  uint8_t machine = 0;
};

// Writes a whole frame (payload.size() + 10 bytes) into `out`, which must hold it.
std::size_t BuildFrame(uint8_t startByte, const FrameAddress& address, uint16_t command,
                       const uint8_t* payload, std::size_t payloadBytes, uint8_t* out);
std::vector<uint8_t> BuildFrame(uint8_t startByte, const FrameAddress& address, uint16_t command,
                                const std::vector<uint8_t>& payload);

// The command code of a whole reply frame, with the escape: when bytes 6 and 7 are both 0xFF
// the code is in bytes 9 and 10.
uint16_t ReplyCommandCode(const uint8_t* frame);

}  // namespace korvelt
