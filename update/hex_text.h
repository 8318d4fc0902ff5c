#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace korvelt {

// "0x08000100": an address as operators read it in the bootloader's documentation. Wider
// values (a record past 4 GiB) keep their digits.
inline std::string Hex32(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace korvelt
