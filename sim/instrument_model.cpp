#include "sim/instrument_model.h"

#include <algorithm>

#include "protocol/frame.h"

namespace korvelt::sim {

InstrumentModel::InstrumentModel(InstrumentConfig config)
    : config_(config),
      assembler_([this](const std::vector<uint8_t>& frame) { OnFrame(frame); }, nullptr) {}

void InstrumentModel::Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count) {
  now_ = nowMs;
  for (std::size_t i = 0; i < count; ++i) assembler_.Feed(bytes[i]);
}

std::vector<TimedByte> InstrumentModel::TakeOutput() {
  std::vector<TimedByte> out;
  out.swap(output_);
  return out;
}

bool InstrumentModel::Addressed(uint8_t group, uint8_t machine) const {
  if (group == 0x00 && machine == 0x00) return true;   // everybody, with replies
  if (group == 0xFF && machine == 0xFF) return false;  // everybody, no replies
  if (group != config_.group) return false;
  return machine == 0x00 || machine == config_.machine;
}

void InstrumentModel::Send(const std::vector<uint8_t>& bytes) {
  uint64_t at = std::max(now_ + config_.replyDelayMs, busy_until_);
  for (uint8_t byte : bytes) {
    output_.push_back({at, byte});
    at += config_.replyByteGapMs;
  }
  busy_until_ = at;
}

void InstrumentModel::OnFrame(const std::vector<uint8_t>& frame) {
  ++frames_seen_;
  if (config_.silent || !Addressed(frame[5], frame[6])) return;
  const uint16_t command = static_cast<uint16_t>(frame[7] | (frame[8] << 8));
  if (command == kSearchCommand && frame[1] == config_.deviceType) {
    const uint8_t type = config_.answerAsType.value_or(config_.deviceType);
    auto reply = BuildFrame(kReplyStart, {type, 0, config_.group, config_.machine}, kSearchCommand,
                            {type, 0x00});
    if (config_.corruptSearchChecksum) reply.back() ^= 0x5A;
    ++probes_answered_;
    Send(reply);
  }
}

}  // namespace korvelt::sim
