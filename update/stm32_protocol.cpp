#include "update/stm32_protocol.h"

#include <algorithm>

namespace korvelt {

std::array<uint8_t, 2> CommandBytes(Stm32Command command) {
  const auto code = static_cast<uint8_t>(command);
  return {code, static_cast<uint8_t>(code ^ 0xFF)};
}

std::array<uint8_t, 5> AddressBytes(uint32_t a) {
  return {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
          static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
          static_cast<uint8_t>((a >> 24) ^ (a >> 16) ^ (a >> 8) ^ a)};
}

std::array<uint8_t, 2> ReadLengthBytes(uint32_t count) {
  const auto n = static_cast<uint8_t>(count - 1);
  return {n, static_cast<uint8_t>(n ^ 0xFF)};
}

Stm32GetReply ParseGetReply(std::span<const uint8_t> reply) {
  Stm32GetReply parsed;
  parsed.bootloaderVersion = reply.size() >= 2 ? reply[1] : 0;
  const auto commands = reply.size() > 2 ? reply.subspan(2) : std::span<const uint8_t>();
  auto offers = [&](Stm32Command command) {
    return std::find(commands.begin(), commands.end(), static_cast<uint8_t>(command)) !=
           commands.end();
  };
  parsed.extendedEraseOnly = !offers(Stm32Command::kErase) && offers(Stm32Command::kExtendedErase);
  return parsed;
}

uint16_t ParseGetIdReply(std::span<const uint8_t> reply) {
  if (reply.size() < 3) return 0;
  return static_cast<uint16_t>(reply[1] << 8 | reply[2]);
}

bool ReplyComplete(std::span<const uint8_t> reply) {
  return !reply.empty() && reply.size() >= reply[0] + 2u;
}

ReadMemoryStep StepReadMemory(int subStep, uint8_t byte, uint32_t length) {
  using A = ReadMemoryAction;
  if (subStep >= kReadMemoryDataSubStep) {
    const int next = subStep + 1;
    const bool last = next >= kReadMemoryDataSubStep + static_cast<int>(length);
    return {last ? A::kLastData : A::kData, next};
  }
  if (byte == kStm32Nack) return {A::kRefused, subStep};
  if (byte != kStm32Ack) return {A::kNone, subStep};
  switch (subStep) {
    case 0:
      return {A::kSendAddress, 1};
    case 1:
      return {A::kSendLength, 2};
    default:
      return {A::kDataFollows, kReadMemoryDataSubStep};
  }
}

}  // namespace korvelt
