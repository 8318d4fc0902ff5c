#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace korvelt::sim {

// The unit's side of the framed protocol: collects command frames (0xAA ...) from the bytes
// the host sends, in any pieces, and hands over every frame whose checksum is right. Bytes
// outside a frame are handed to the text-line handler (the running firmware also reads
// plain-text commands).
class CommandFrameAssembler {
 public:
  using FrameHandler = std::function<void(const std::vector<uint8_t>& frame)>;
  using ByteHandler = std::function<void(uint8_t byte)>;

  CommandFrameAssembler(FrameHandler onFrame, ByteHandler onOtherByte)
      : on_frame_(std::move(onFrame)), on_other_(std::move(onOtherByte)) {}

  void Feed(uint8_t byte);
  void Reset() {
    frame_.clear();
    expected_ = 0;
  }

  uint64_t badChecksums() const { return bad_checksums_; }
  uint64_t malformed() const { return malformed_; }

 private:
  FrameHandler on_frame_;
  ByteHandler on_other_;
  std::vector<uint8_t> frame_;
  std::size_t expected_ = 0;  // whole frame length once the length field is known
  uint64_t bad_checksums_ = 0;
  uint64_t malformed_ = 0;
};

}  // namespace korvelt::sim
