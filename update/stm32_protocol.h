#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace korvelt {

// The words of the MCU's USART bootloader protocol, named once.
inline constexpr uint8_t kStm32Ack = 0x79;
inline constexpr uint8_t kStm32Nack = 0x1F;
inline constexpr uint8_t kStm32Sync = 0x7F;

enum class Stm32Command : uint8_t {
  kGet = 0x00,
  kGetId = 0x02,
  kReadMemory = 0x11,
  kGo = 0x21,
  kWriteMemory = 0x31,
  kErase = 0x43,
  kExtendedErase = 0x44,
};

// What one Write Memory or Read Memory carries at most.
inline constexpr int kStm32MaxTransferBytes = 256;
// The 16-bit flash size in KiB, readable with Read Memory.
inline constexpr uint32_t kStm32FlashSizeAddress = 0x1FFFF7E0;
// The 96-bit unique device ID beside it: what tells one unit from the next.
inline constexpr uint32_t kStm32UniqueIdAddress = 0x1FFFF7E8;
inline constexpr uint32_t kStm32UniqueIdBytes = 12;

// A command on the wire: its code and the code's complement.
std::array<uint8_t, 2> CommandBytes(Stm32Command command);
// An address: four bytes, most significant first, and their XOR.
std::array<uint8_t, 5> AddressBytes(uint32_t address);
// The length of a Read Memory: the count less one, and its complement (1..256 bytes).
std::array<uint8_t, 2> ReadLengthBytes(uint32_t count);

// What the Get reply (the bytes between its two acknowledgements: count, version, commands)
// tells. A reply too short to list its commands offers none: Erase 0x43 stays the choice.
struct Stm32GetReply {
  uint8_t bootloaderVersion = 0;
  bool extendedEraseOnly = false;  // 0x44 is offered and 0x43 is not
};
Stm32GetReply ParseGetReply(std::span<const uint8_t> reply);
// The Get ID reply: count, then the product ID, most significant byte first; 0 when short.
uint16_t ParseGetIdReply(std::span<const uint8_t> reply);
// Whether a Get or Get ID reply holds every byte its count announces.
bool ReplyComplete(std::span<const uint8_t> reply);

// One received byte of a Read Memory exchange. The sub-step counts: 0 the command is out, 1 the
// address is out, 2 the length is out, 3 and on the data bytes (3 + n after the n-th).
enum class ReadMemoryAction {
  kNone,         // a stray byte before the data: nothing to do
  kSendAddress,  // the command was acknowledged
  kSendLength,   // the address was acknowledged
  kDataFollows,  // the length was acknowledged
  kData,         // a data byte, whatever its value (the part's memory may hold 0x79)
  kLastData,     // the last data byte
  kRefused,      // a NACK before the data
};
struct ReadMemoryStep {
  ReadMemoryAction action = ReadMemoryAction::kNone;
  int nextSubStep = 0;
};
inline constexpr int kReadMemoryDataSubStep = 3;
ReadMemoryStep StepReadMemory(int subStep, uint8_t byte, uint32_t length);

}  // namespace korvelt
