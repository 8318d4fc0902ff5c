#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "release/sha256_file.h"

namespace korvelt::sim {

// SHA-256 of a byte run, in lower-case hex: how reports name the images the units received.
inline std::string Sha256Hex(const uint8_t* data, std::size_t length) {
  return release::Sha256Hex({data, length});
}

inline std::string Sha256Hex(const std::vector<uint8_t>& bytes) {
  return Sha256Hex(bytes.data(), bytes.size());
}

// What a unit's memory holds after an upload: the image padded to whole blocks with `fill`.
inline std::vector<uint8_t> PaddedToBlocks(std::vector<uint8_t> image, std::size_t block,
                                           uint8_t fill) {
  image.resize((image.size() + block - 1) / block * block, fill);
  return image;
}

}  // namespace korvelt::sim
