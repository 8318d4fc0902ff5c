#include "protocol/frame.h"

#include <cstring>

namespace korvelt {

uint8_t ZeroSumChecksum(const uint8_t* bytes, std::size_t count) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(-sum);
}

bool SumsToZero(const uint8_t* bytes, std::size_t count) {
  return ZeroSumChecksum(bytes, count) == 0;
}

std::size_t BuildFrame(uint8_t startByte, const FrameAddress& address, uint16_t command,
                       const uint8_t* payload, std::size_t payloadBytes, uint8_t* out) {
  const std::size_t length = payloadBytes + kMinFrameLength;
  out[0] = startByte;
  out[1] = address.deviceType;
  out[2] = address.deviceSubType;
  out[3] = static_cast<uint8_t>(length % 256);
  out[4] = static_cast<uint8_t>(length / 256);
  out[5] = address.group;
  out[6] = address.machine;
  out[7] = static_cast<uint8_t>(command & 0xFF);
  out[8] = static_cast<uint8_t>(command >> 8);
  if (payloadBytes > 0) std::memcpy(out + kFrameHeaderBytes, payload, payloadBytes);
  out[kFrameHeaderBytes + payloadBytes] = ZeroSumChecksum(out, kFrameHeaderBytes + payloadBytes);
  return payloadBytes + kFrameOverheadBytes;
}

std::vector<uint8_t> BuildFrame(uint8_t startByte, const FrameAddress& address, uint16_t command,
                                const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(payload.size() + kFrameOverheadBytes);
  BuildFrame(startByte, address, command, payload.data(), payload.size(), frame.data());
  return frame;
}

uint16_t ReplyCommandCode(const uint8_t* frame) {
  if (frame[6] == 0xFF && frame[7] == 0xFF) {
    return static_cast<uint16_t>(frame[9] | (frame[10] << 8));
  }
  return static_cast<uint16_t>(frame[7] | (frame[8] << 8));
}

}  // namespace korvelt
