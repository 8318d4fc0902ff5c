#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace korvelt::sim {

// The unit's side of the framed protocol: collects command frames (0xAA ...) from the bytes
// the host sends, in any pieces, and hands over every frame whose checksum is right. Bytes
// outside a frame are handed to the text-line handler (the running firmware also reads
// plain-text commands). A frame cut short by a lost byte is dropped after kFrameGapMs of
// silence, as the firmware's receive time-out does, so the host's repeat is read afresh.
class CommandFrameAssembler {
 public:
  using FrameHandler = std::function<void(const std::vector<uint8_t>& frame)>;
  using ByteHandler = std::function<void(uint8_t byte)>;

  CommandFrameAssembler(FrameHandler onFrame, ByteHandler onOtherByte)
      : on_frame_(std::move(onFrame)), on_other_(std::move(onOtherByte)) {}

  static constexpr uint64_t kFrameGapMs = 100;

  // A byte received at the model's time `nowMs`; `damaged`: the line flipped a bit of it.
  void Feed(uint8_t byte, uint64_t nowMs = 0, bool damaged = false);
  // The frame handed over last had a byte the line damaged, and its checksum did not show it.
  bool lastFrameDamaged() const { return last_frame_damaged_; }
  void Reset() {
    frame_.clear();
    expected_ = 0;
    frame_damaged_ = false;
  }

  uint64_t badChecksums() const { return bad_checksums_; }
  uint64_t malformed() const { return malformed_; }

 private:
  FrameHandler on_frame_;
  ByteHandler on_other_;
  std::vector<uint8_t> frame_;
  std::size_t expected_ = 0;  // whole frame length once the length field is known
  uint64_t last_byte_ms_ = 0;
  bool frame_damaged_ = false;
  bool last_frame_damaged_ = false;
  uint64_t bad_checksums_ = 0;
  uint64_t malformed_ = 0;
};

}  // namespace korvelt::sim
