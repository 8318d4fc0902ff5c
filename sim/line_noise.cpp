#include "sim/line_noise.h"

namespace korvelt::sim {

void LineNoise::Apply(std::vector<uint8_t>& bytes, std::vector<bool>* damaged) {
  if (damaged) damaged->assign(bytes.size(), false);
  if (probability_ <= 0) return;
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::uniform_int_distribution<int> bit(0, 7);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const double roll = chance(random_);
    if (roll < probability_ / 2) {
      ++lost_;
      continue;
    }
    uint8_t byte = bytes[i];
    const bool flip = roll < probability_;
    if (flip) {
      byte = static_cast<uint8_t>(byte ^ (1u << bit(random_)));
      ++flipped_;
    }
    if (damaged) (*damaged)[kept] = flip;
    bytes[kept++] = byte;
  }
  bytes.resize(kept);
  if (damaged) damaged->resize(kept);
}

}  // namespace korvelt::sim
