#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "update/stub_protocol.h"

namespace korvelt {

// What the MCU update gives the flashing stub to do.
struct McuStubPlan {
  std::span<const uint8_t> image;  // from the flash base; must outlive the session
  uint32_t switchBaud = 0;         // the rate to switch the line to first; 0: none
};

// The MCU update's conversation with a started flashing stub, in an order that never strands
// a unit: the rate switch, if asked for; then the whole flash erased, every byte but the first
// 256-byte block (the vector table) written and checked by CRC-32; only once those checks
// have come back, the first block written and checked; then Leave, after which the ROM bootloader
// has the part again. A stage goes out only when the stub has executed the one before it, so
// the vector table's frame can never reach the stub ahead of a failed check.
//
// Pure: bytes and times in, pieces of at most one port write out; the caller owns the port
// (reopened at lineRate() whenever that changes) and one timer for Deadline().
class McuStubSession {
 public:
  enum class Outcome {
    kRunning,
    kLeft,    // every byte written and checked; the stub has gone back to the ROM bootloader
    kNoStub,  // the stub did not answer before the erase could go out: the flash is untouched
    kFailed,  // the stub failed, or stopped answering, once the erase could have gone out
  };

  McuStubSession(McuStubPlan plan, uint32_t lineBaud, uint64_t nowMs);

  void OnByte(uint8_t byte, uint64_t nowMs);
  void OnTimer(uint64_t nowMs);
  // The next bytes for the port, at most `maxBytes`; empty when nothing waits.
  std::vector<uint8_t> TakePiece(std::size_t maxBytes, uint64_t nowMs);
  std::optional<uint64_t> Deadline() const { return sender_.Deadline(); }
  uint32_t lineRate() const { return sender_.lineRate(); }

  Outcome outcome() const;
  // The erase may have reached the stub: the flash may no longer hold the old firmware.
  bool eraseMayHaveRun() const { return stage_ != Stage::kBaud && sender_.ready().has_value(); }
  const stub::SenderFailure& failure() const { return sender_.failure(); }
  // The failure was the erase of the whole flash (the controller refuses it when any page is
  // write-protected), not a write or a check.
  bool eraseFailed() const;
  const stub::StubSender& sender() const { return sender_; }
  // Whether the rate switch asked for holds; nothing when none was asked for or it is pending.
  std::optional<bool> baudAccepted() const;

  // Image bytes the stub has written, of all it will write (erased frames are not sent).
  uint64_t writtenBytes() const { return sender_.bytesDone(); }
  uint64_t writeTotal() const { return write_total_; }
  // Image bytes whose CRC-32 the stub has confirmed, of all it will check. The image but its
  // first block is checked in ranges while it is written, the first block after them.
  uint64_t checkedBytes() const { return checked_bytes_; }
  uint64_t checkTotal() const { return plan_.image.size(); }
  // Every byte but the vector table's block is written and checked.
  bool restChecked() const { return stage_ == Stage::kVectorTable; }

 private:
  enum class Stage { kBaud, kImage, kVectorTable };
  void QueueStage();
  void Advance();

  McuStubPlan plan_;
  stub::StubSender sender_;
  Stage stage_ = Stage::kBaud;
  uint64_t write_total_ = 0;
  uint64_t checked_bytes_ = 0;
  std::vector<uint8_t> pending_;  // taken from the sender, not yet written
  uint32_t pending_rate_ = 0;     // the rate the pending bytes were framed for
};

}  // namespace korvelt
