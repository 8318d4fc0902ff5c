#pragma once

#include <cstddef>
#include <cstdint>

namespace korvelt {

// CRC-16 with the polynomial 0x1021, most significant bit first, no reflection, no final XOR,
// and the initial value 0x1021 (not 0xFFFF or 0): "123456789" gives 0x5E86.
uint16_t ComputeCrc16(const uint8_t* bytes, std::size_t count);

}  // namespace korvelt
