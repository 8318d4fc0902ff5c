#include "sim/command_frame_assembler.h"

#include "protocol/frame.h"

namespace korvelt::sim {

void CommandFrameAssembler::Feed(uint8_t byte) {
  if (frame_.empty()) {
    if (byte == kCommandStart) {
      frame_.push_back(byte);
    } else if (on_other_) {
      on_other_(byte);
    }
    return;
  }
  frame_.push_back(byte);
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
  if (!SumsToZero(frame.data(), frame.size())) {
    ++bad_checksums_;
    return;
  }
  on_frame_(frame);
}

}  // namespace korvelt::sim
