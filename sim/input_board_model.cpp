#include "sim/input_board_model.h"

#include <algorithm>

#include "update/crc16.h"
#include "update/loader_client.h"

namespace korvelt::sim {

namespace {

constexpr uint8_t kReady = 0xF1;
constexpr std::size_t kLoaderBytes = 5446;

uint32_t BigEndian32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

InputBoardModel::InputBoardModel(InputBoardConfig config) : config_(config) {}

void InputBoardModel::Answer(uint8_t byte, uint32_t extraMs) {
  output_.push_back({now_ + config_.answerDelayMs + extraMs, byte});
}

std::vector<TimedByte> InputBoardModel::TakeOutput() {
  std::vector<TimedByte> out;
  out.swap(output_);
  return out;
}

bool InputBoardModel::FinishedBy(uint64_t nowMs) const {
  // Between chunks: after a chunk's ready byte, or after 03 10 ED with no chunk following.
  const bool betweenChunks = stage_ == Stage::kStreaming && frame_.empty() && chunk_.empty();
  return betweenChunks && nowMs - last_byte_ms_ >= kQuietEndMs;
}

void InputBoardModel::Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count) {
  now_ = nowMs;
  if (count > 0 && nowMs > last_byte_ms_ + kPartGapMs &&
      (!frame_.empty() || !chunk_.empty() || inChunk_)) {
    // A chunk announced but never begun is no error: the host may announce it again.
    if (!frame_.empty() || !chunk_.empty())
      errors_.push_back(chunk_.empty() ? "frame cut short" : "chunk cut short");
    frame_.clear();
    chunk_.clear();
    inChunk_ = false;
  }
  if (count > 0) last_byte_ms_ = nowMs;
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[i];
    if (inChunk_) {
      chunk_.push_back(byte);
      if (chunk_.size() >= 8) {
        const uint32_t n = BigEndian32(chunk_.data() + 4);
        if (n == 0 || n > 4096) {
          errors_.push_back("chunk length " + std::to_string(n));
          inChunk_ = false;
          chunk_.clear();
        } else if (chunk_.size() == n + 12) {
          OnChunk();
          chunk_.clear();
        }
      }
      continue;
    }
    // The end of the request line may still be arriving when the loader takes over.
    if (stage_ == Stage::kHandOver && frame_.empty() && (byte == '\r' || byte == '\n')) continue;
    // First-stage frames: the first byte is the whole frame's length.
    frame_.push_back(byte);
    if (frame_.size() == frame_[0]) {
      std::vector<uint8_t> frame;
      frame.swap(frame_);
      OnFrame(frame);
    } else if (frame_[0] < 3) {
      errors_.push_back("frame length " + std::to_string(frame_[0]));
      frame_.clear();
    }
  }
}

void InputBoardModel::OnFrame(const std::vector<uint8_t>& frame) {
  uint8_t sum = 0;
  for (uint8_t b : frame) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0) {
    errors_.push_back("frame checksum");
    return;
  }
  const uint8_t command = frame[1];
  auto expect = [&](Stage stage, const std::vector<uint8_t>& exact) {
    if (stage_ != stage || frame != exact) {
      errors_.push_back("unexpected frame with command " + std::to_string(command));
      return false;
    }
    return true;
  };
  switch (stage_) {
    case Stage::kHandOver:
      if (expect(Stage::kHandOver, {0x03, 0x09, 0xF4})) {
        stage_ = Stage::kOpen;
        Answer(kReady);
      }
      return;
    case Stage::kOpen:
      if (expect(Stage::kOpen, {0x04, 0x20, 0x00, 0xDC})) {
        stage_ = Stage::kStub;
        Answer(0x2E);
      }
      return;
    case Stage::kStub:
      if (expect(Stage::kStub, {0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E, 0xD0, 0xEA, 0x10, 0x05,
                                0x00, 0x00, 0x8A})) {
        stage_ = Stage::kLoading;
        Answer(kReady);
      }
      return;
    case Stage::kLoading: {
      const uint32_t address = uint32_t(frame[2]) << 8 | frame[3];
      if (command != 0x13 || address != kLoaderLoadAddress + loader_.size()) {
        errors_.push_back("loader frame at " + std::to_string(address));
        return;
      }
      loader_.insert(loader_.end(), frame.begin() + 4, frame.end() - 1);
      if (loader_.size() >= kLoaderBytes) stage_ = Stage::kRunStub;
      Answer(kReady);
      return;
    }
    case Stage::kRunStub:
      if (expect(Stage::kRunStub, {0x05, 0x1D, 0x05, 0x00, 0xD9})) {
        stage_ = Stage::kErase;
        Answer(0xEF);
      }
      return;
    case Stage::kErase:
      if (expect(Stage::kErase, {0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xBC})) {
        stage_ = Stage::kStream;
        Answer(0xDF, 20);  // erasing the board's flash takes a moment
      }
      return;
    case Stage::kStream:
      if (expect(Stage::kStream, {0x05, 0x19, 0xFF, 0xFF, 0xE4})) {
        stage_ = Stage::kStreaming;
        Answer(kReady);
      }
      return;
    case Stage::kStreaming:
      if (frame == std::vector<uint8_t>{0x03, 0x10, 0xED}) {
        inChunk_ = true;  // a chunk frame follows
        chunk_.clear();
      } else {
        errors_.push_back("unexpected frame while streaming");
      }
      return;
  }
}

void InputBoardModel::OnChunk() {
  inChunk_ = false;
  const uint32_t address = BigEndian32(chunk_.data());
  const uint32_t n = BigEndian32(chunk_.data() + 4);
  const uint8_t* data = chunk_.data() + 8;
  const uint32_t crc = BigEndian32(chunk_.data() + 8 + n);
  const uint64_t next = kBoardImageAddress + image_.size();
  const bool repeat = last_chunk_bytes_ == n && address + uint64_t{n} == next;
  if (address != next && !repeat) {
    errors_.push_back("chunk address " + std::to_string(address));
    return;
  }
  if (crc != ComputeCrc16(data, n)) {
    errors_.push_back("chunk CRC at " + std::to_string(address));
    return;
  }
  if (repeat) {
    std::copy(data, data + n, image_.end() - static_cast<long>(n));
  } else {
    image_.insert(image_.end(), data, data + n);
    last_chunk_bytes_ = n;
    ++chunks_accepted_;
  }
  if (config_.silentAfterChunks && chunks_accepted_ >= config_.chunksBeforeSilence) return;
  Answer(kReady, config_.chunkProgramMs);
}

}  // namespace korvelt::sim
