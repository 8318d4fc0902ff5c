#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace korvelt::sim {

// A line that loses or damages bytes: each byte is lost with probability p/2, or arrives with
// one bit flipped with probability p/2, independently of the others. Seeded, so that a run
// can be repeated byte for byte. One per direction of a port.
class LineNoise {
 public:
  LineNoise(double probability, uint64_t seed) : probability_(probability), random_(seed) {}

  // Applies the noise to bytes about to cross the line, in place; `damaged` (when given) tells
  // for each byte that arrives whether a bit of it was flipped.
  void Apply(std::vector<uint8_t>& bytes, std::vector<bool>* damaged = nullptr);

  uint64_t lost() const { return lost_; }
  uint64_t flipped() const { return flipped_; }

 private:
  double probability_;
  std::mt19937_64 random_;
  uint64_t lost_ = 0;
  uint64_t flipped_ = 0;
};

}  // namespace korvelt::sim
