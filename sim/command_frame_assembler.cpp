#include "sim/command_frame_assembler.h"

#include "protocol/frame.h"

namespace korvelt::sim {

void CommandFrameAssembler::Feed(uint8_t byte, uint64_t nowMs, bool damaged) {
  if (!frame_.empty() && nowMs > last_byte_ms_ + kFrameGapMs) {
    ++malformed_;
    Reset();
  }
  last_byte_ms_ = nowMs;
  if (frame_.empty()) {
    if (byte == kCommandStart) {
      frame_.push_back(byte);
      frame_damaged_ = damaged;
    } else if (on_other_) {
      on_other_(byte);
    }
    return;
  }
  frame_.push_back(byte);
  frame_damaged_ = frame_damaged_ || damaged;
  if (frame_.size() == 5) {
    const std::size_t length = frame_[3] | (frame_[4] << 8);
    if (length < kMinFrameLength || length > kMaxCommandPayload + kMinFrameLength) {
      ++malformed_;
      frame_.clear();
      return;
    }
    expected_ = length + 5;
  }
  if (frame_.size() < 5 || frame_.size() < expected_) return;
  std::vector<uint8_t> frame;
  frame.swap(frame_);
  expected_ = 0;
  last_frame_damaged_ = frame_damaged_;
  frame_damaged_ = false;
  if (!SumsToZero(frame.data(), frame.size())) {
    ++bad_checksums_;
    return;
  }
  on_frame_(frame);
}

}  // namespace korvelt::sim
