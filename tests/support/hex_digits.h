#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvelt::testing {

// Upper-case hex pairs, as HEX and S-record lines spell their bytes.
inline std::string HexDigits(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

// One Intel HEX record with its checksum, ended by `lineEnd`.
inline std::string HexRecordLine(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                                 const char* lineEnd = "\n") {
  std::vector<uint8_t> record = {static_cast<uint8_t>(data.size()),
                                 static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                 type};
  record.insert(record.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : record) sum = static_cast<uint8_t>(sum + b);
  record.push_back(static_cast<uint8_t>(-sum));
  return ":" + HexDigits(record) + lineEnd;
}

}  // namespace korvelt::testing
