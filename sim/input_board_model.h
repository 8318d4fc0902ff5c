#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/instrument_model.h"

namespace korvelt::sim {

struct InputBoardConfig {
  uint32_t answerDelayMs = 1;      // from a frame's last byte to the board's answer
  uint32_t chunkProgramMs = 5;     // writing one chunk into the board's flash
  bool silentAfterChunks = false;  // stops answering after `chunksBeforeSilence` chunks
  uint32_t chunksBeforeSilence = 0;
};

// The input board's side of its update: the first stage (hand-over, stub, 5446 loader bytes,
// start, erase), then the loader receiving CRC-checked chunks into the board image. A chunk
// sent again (at the address of the chunk before) is written again and confirmed again; a
// frame or chunk cut short by a lost byte is dropped after kPartGapMs of silence.
class InputBoardModel {
 public:
  explicit InputBoardModel(InputBoardConfig config = {});

  void Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count);
  std::vector<TimedByte> TakeOutput();

  const std::vector<uint8_t>& loader() const { return loader_; }
  const std::vector<uint8_t>& boardImage() const { return image_; }
  uint64_t chunksAccepted() const { return chunks_accepted_; }
  // Frames or chunks that broke the protocol (bad checksum, address, length or CRC).
  const std::vector<std::string>& errors() const { return errors_; }
  bool loaderRunning() const { return stage_ >= Stage::kStreaming; }
  // The loader has no end-of-image frame: waiting for the next chunk, it takes a link quiet
  // for kQuietEndMs as the end of the update and restarts the board with its new image.
  static constexpr uint64_t kQuietEndMs = 500;
  static constexpr uint64_t kPartGapMs = 100;
  bool FinishedBy(uint64_t nowMs) const;

 private:
  enum class Stage { kHandOver, kOpen, kStub, kLoading, kRunStub, kErase, kStream, kStreaming };
  void OnFrame(const std::vector<uint8_t>& frame);
  void OnChunk();
  void Answer(uint8_t byte, uint32_t extraMs = 0);

  InputBoardConfig config_;
  Stage stage_ = Stage::kHandOver;
  std::vector<uint8_t> frame_;
  bool inChunk_ = false;
  std::vector<uint8_t> chunk_;
  std::vector<uint8_t> loader_;
  std::vector<uint8_t> image_;
  uint64_t chunks_accepted_ = 0;
  std::size_t last_chunk_bytes_ = 0;  // the chunk before, which may come again
  std::vector<std::string> errors_;
  std::vector<TimedByte> output_;
  uint64_t now_ = 0;
  uint64_t last_byte_ms_ = 0;
};

}  // namespace korvelt::sim
