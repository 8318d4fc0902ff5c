#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/command_frame_assembler.h"

namespace korvelt::sim {

// One byte the unit sends, and when (in the model's own milliseconds).
struct TimedByte {
  uint64_t atMs;
  uint8_t byte;
};

struct InstrumentConfig {
  uint8_t deviceType = 0;  // 0 signal generator, 1 signal analyzer, 2..7 further types
  uint8_t group = 0x01;
  uint8_t machine = 0x01;
  bool silent = false;                  // answers nothing
  std::optional<uint8_t> answerAsType;  // answers the probe as another device type
  uint32_t replyDelayMs = 2;            // from the end of a command to the first reply byte
  uint32_t replyByteGapMs = 0;          // between reply bytes
  bool corruptSearchChecksum = false;   // the probe answer carries a wrong checksum
};

// The running firmware of a unit, as far as the updater talks to it: it takes the bytes the
// host sends and produces the bytes the unit answers, with their times.
class InstrumentModel {
 public:
  explicit InstrumentModel(InstrumentConfig config);

  // Bytes the host sent, at the model's time `nowMs`.
  void Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count);
  // What the unit has to send, in time order; taken once.
  std::vector<TimedByte> TakeOutput();

  InstrumentConfig& config() { return config_; }
  uint64_t framesSeen() const { return frames_seen_; }
  uint64_t probesAnswered() const { return probes_answered_; }

 private:
  void OnFrame(const std::vector<uint8_t>& frame);
  bool Addressed(uint8_t group, uint8_t machine) const;
  void Send(const std::vector<uint8_t>& bytes);

  InstrumentConfig config_;
  CommandFrameAssembler assembler_;
  uint64_t now_ = 0;
  uint64_t busy_until_ = 0;  // the unit answers one thing after another
  std::vector<TimedByte> output_;
  uint64_t frames_seen_ = 0;
  uint64_t probes_answered_ = 0;
};

}  // namespace korvelt::sim
