#include "update/crc16.h"

#include <array>

namespace korvelt {

namespace {

constexpr uint16_t kPolynomial = 0x1021;
constexpr uint16_t kInitialValue = 0x1021;

// Entry i is the CRC of byte i shifted through a zero register.
constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ kPolynomial : crc << 1);
    }
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace

uint16_t ComputeCrc16(const uint8_t* bytes, std::size_t count) {
  uint16_t crc = kInitialValue;
  for (std::size_t i = 0; i < count; ++i) {
    crc = static_cast<uint16_t>(kTable[((crc >> 8) ^ bytes[i]) & 0xFF] ^ ((crc << 8) & 0xFFFF));
  }
  return crc;
}

}  // namespace korvelt
