#include "update/mcu_stub_session.h"

#include <algorithm>

namespace korvelt {

namespace {

// The block at the flash base holds the vector table: a part whose first word is erased starts
// nothing at power-up, so a cut anywhere before the end leaves it erased.
constexpr std::size_t kVectorTableBlock = 256;
// The image is checked in ranges of this many bytes, each as soon as it is written: the stub
// computes a range's CRC-32 (about 10 ms at 8 MHz) while the next frames arrive, so only the
// last range's check is left once the stream ends.
constexpr std::size_t kCheckedRange = 8 * 1024;

}  // namespace

McuStubSession::McuStubSession(McuStubPlan plan, uint32_t lineBaud, uint64_t nowMs)
    : plan_(plan), sender_(lineBaud, nowMs), pending_rate_(lineBaud) {
  // What the stream will carry, framed as the sender frames it (erased frames left out).
  stub::StubSender count(lineBaud, nowMs);
  const std::size_t head = std::min(plan_.image.size(), kVectorTableBlock);
  count.Write(stub::kFlashStart + head, plan_.image.subspan(head));
  count.Write(stub::kFlashStart, plan_.image.first(head));
  write_total_ = count.bytesTotal();
  stage_ = plan_.switchBaud != 0 ? Stage::kBaud : Stage::kImage;
  QueueStage();
}

void McuStubSession::QueueStage() {
  const std::span<const uint8_t> image = plan_.image;
  const std::size_t head = std::min(image.size(), kVectorTableBlock);
  switch (stage_) {
    case Stage::kBaud:
      sender_.SwitchBaud(plan_.switchBaud);
      break;
    case Stage::kImage:
      sender_.EraseAll();
      for (std::size_t at = head; at < image.size();) {
        const std::size_t end = std::min(image.size(), (at / kCheckedRange + 1) * kCheckedRange);
        const auto address = static_cast<uint32_t>(stub::kFlashStart + at);
        sender_.Write(address, image.subspan(at, end - at));
        sender_.Verify(address, image.subspan(at, end - at));
        at = end;
      }
      break;
    case Stage::kVectorTable:
      sender_.Write(stub::kFlashStart, image.first(head));
      sender_.Verify(stub::kFlashStart, image.first(head));
      sender_.Leave();
      break;
  }
}

void McuStubSession::Advance() {
  while (sender_.state() == stub::SenderState::kDone && stage_ != Stage::kVectorTable) {
    stage_ = stage_ == Stage::kBaud ? Stage::kImage : Stage::kVectorTable;
    QueueStage();
  }
  checked_bytes_ = 0;
  for (const stub::CrcResult& result : sender_.crcResults()) checked_bytes_ += result.length;
}

void McuStubSession::OnByte(uint8_t byte, uint64_t nowMs) {
  sender_.OnByte(byte, nowMs);
  Advance();
}

void McuStubSession::OnTimer(uint64_t nowMs) {
  sender_.OnTimer(nowMs);
  Advance();
}

std::vector<uint8_t> McuStubSession::TakePiece(std::size_t maxBytes, uint64_t nowMs) {
  if (sender_.lineRate() != pending_rate_) {
    // Bytes framed for the old rate would arrive garbled; the sender sends again what counts.
    pending_.clear();
    pending_rate_ = sender_.lineRate();
  }
  const std::vector<uint8_t> more = sender_.TakeOutgoing(nowMs);
  pending_.insert(pending_.end(), more.begin(), more.end());
  const auto count = static_cast<long>(std::min(maxBytes, pending_.size()));
  std::vector<uint8_t> piece(pending_.begin(), pending_.begin() + count);
  pending_.erase(pending_.begin(), pending_.begin() + count);
  return piece;
}

McuStubSession::Outcome McuStubSession::outcome() const {
  switch (sender_.state()) {
    case stub::SenderState::kFailed:
      return eraseMayHaveRun() ? Outcome::kFailed : Outcome::kNoStub;
    case stub::SenderState::kDone:
      return stage_ == Stage::kVectorTable ? Outcome::kLeft : Outcome::kRunning;
    default:
      return Outcome::kRunning;
  }
}

bool McuStubSession::eraseFailed() const {
  // The image stage starts with the erase, and its writes start after the vector table's
  // block: a failure there at the flash base, before any write, is the erase's.
  const stub::SenderFailure& failure = sender_.failure();
  return sender_.state() == stub::SenderState::kFailed && stage_ == Stage::kImage &&
         failure.code != stub::StatusCode::kOk && failure.address == stub::kFlashStart &&
         sender_.bytesDone() == 0;
}

std::optional<bool> McuStubSession::baudAccepted() const {
  if (sender_.baudOutcomes().empty()) return std::nullopt;
  return sender_.baudOutcomes().back().accepted;
}

}  // namespace korvelt
