// The MCU update through the flashing stub (stub/README.md). After the identity reads the stub
// goes into the MCU's RAM with Write Memory, is read back and compared, and is started with
// Go; McuStubSession then erases, writes and checks the image through it, the vector table
// last, and the stub leaves for the ROM bootloader, where Go to the flash base starts the new
// firmware after a fresh sync. Timer 12 carries the stub's deadline. A stub that does not
// answer before the erase could go out leaves the flash as it was: the ROM bootloader's own
// commands then write the image in the same update.
#include <algorithm>

#include "app/updater_dialog.h"
#include "update/hex_text.h"
#include "update/mcu_stub_image.h"
#include "update/mcu_update.h"
#include "update/mcu_update_states.h"

namespace korvelt {

using namespace mcu_state;

namespace {

// A stub returns to the ROM bootloader kStubQuietMs after the last valid frame reached it;
// this much more covers the frame that was on the wire and the ROM bootloader's start.
constexpr uint64_t kStubExitMarginMs = 300;
constexpr uint64_t kBitsPerByte = 11;  // 8E1

FailureKind KindOf(const stub::SenderFailure& failure) {
  switch (failure.code) {
    case stub::StatusCode::kOk:
      return FailureKind::kNoAnswer;  // the host gave up on a silent stub
    case stub::StatusCode::kVerifyFailed:
      return FailureKind::kVerifyMismatch;
    default:
      return FailureKind::kUnitRefused;
  }
}

}  // namespace

// ---- Loading the stub through the ROM bootloader ----

void McuUpdate::StartStubLoad() {
  stub_image_ = McuStubImageFor(static_cast<uint32_t>(window_.m_nBaudRate));
  if (stub_image_.empty()) {
    StubRefused();
    return;
  }
  // Write Memory takes whole words.
  while (stub_image_.size() % 4 != 0) stub_image_.push_back(0xFF);
  stub_offset_ = 0;
  stub_attempts_ = 1;
  window_.m_stm32State = kStateStubLoad;
  SendStubBlock();
}

void McuUpdate::SendStubBlock() {
  g_nStm32SubStep = 0;
  SendCommand(Stm32Command::kWriteMemory, 0);
  ArmReply(pacing().replyTimeoutMs);
}

void McuUpdate::StubLoadStep(uint8_t byte) {
  if (byte == kStm32Nack) {
    // The command, its address or its data was refused: the block again, then the ROM path.
    if (++stub_attempts_ > kStm32MaxBlockAttempts) {
      StubRefused();
      return;
    }
    SendStubBlock();
    return;
  }
  if (byte != kStm32Ack) return;
  const std::size_t length =
      std::min<std::size_t>(kStm32MaxTransferBytes, stub_image_.size() - stub_offset_);
  switch (g_nStm32SubStep) {
    case 0:
      g_nStm32SubStep = 1;
      SendAfter(0, AddressBytes(kMcuStubLoadAddress + static_cast<uint32_t>(stub_offset_)));
      ArmReply(pacing().replyTimeoutMs);
      return;
    case 1: {
      g_nStm32SubStep = 2;
      std::vector<uint8_t> data = {static_cast<uint8_t>(length - 1)};
      data.insert(data.end(), stub_image_.begin() + static_cast<long>(stub_offset_),
                  stub_image_.begin() + static_cast<long>(stub_offset_ + length));
      uint8_t checksum = 0;
      for (uint8_t b : data) checksum ^= b;
      data.push_back(checksum);
      SendAfter(0, data);
      ArmReply(pacing().stepTimeoutMs);
      return;
    }
    default:
      stub_offset_ += length;
      stub_attempts_ = 1;
      if (stub_offset_ < stub_image_.size()) {
        SendStubBlock();
      } else {
        StartStubCheck();
      }
      return;
  }
}

void McuUpdate::StartStubCheck() {
  // Code that arrived damaged must never run: every byte is read back before the Go.
  stub_offset_ = 0;
  stub_differs_ = false;
  window_.m_stm32State = kStateStubCheck;
  g_nStm32SubStep = 0;
  SendCommand(Stm32Command::kReadMemory, 0);
  ArmReply(pacing().replyTimeoutMs);
}

void McuUpdate::StubCheckStep(uint8_t byte) {
  const auto length = static_cast<uint32_t>(
      std::min<std::size_t>(kStm32MaxTransferBytes, stub_image_.size() - stub_offset_));
  const ReadMemoryStep step = StepReadMemory(g_nStm32SubStep, byte, length);
  switch (step.action) {
    case ReadMemoryAction::kNone:
      return;
    case ReadMemoryAction::kRefused:
      StubRefused();
      return;
    case ReadMemoryAction::kSendAddress:
      SendAfter(0, AddressBytes(kMcuStubLoadAddress + static_cast<uint32_t>(stub_offset_)));
      ArmReply(pacing().replyTimeoutMs);
      break;
    case ReadMemoryAction::kSendLength:
      SendAfter(0, ReadLengthBytes(length));
      ArmReply(pacing().replyTimeoutMs);
      break;
    case ReadMemoryAction::kDataFollows:
      break;
    case ReadMemoryAction::kData:
    case ReadMemoryAction::kLastData: {
      const std::size_t offset =
          stub_offset_ + static_cast<std::size_t>(g_nStm32SubStep - kReadMemoryDataSubStep);
      // The rest of the read still comes; the bootloader then waits for a command.
      if (byte != stub_image_[offset]) stub_differs_ = true;
      break;
    }
  }
  g_nStm32SubStep = step.nextSubStep;
  if (step.action != ReadMemoryAction::kLastData) return;
  if (stub_differs_) {
    StubRefused();
    return;
  }
  stub_offset_ += length;
  if (stub_offset_ < stub_image_.size()) {
    g_nStm32SubStep = 0;
    SendCommand(Stm32Command::kReadMemory, 0);
    ArmReply(pacing().replyTimeoutMs);
    return;
  }
  window_.m_stm32State = kStateStubGo;
  g_nStm32SubStep = 0;
  SendCommand(Stm32Command::kGo, 0);
  ArmReply(pacing().replyTimeoutMs);
}

void McuUpdate::StubGoStep(uint8_t byte) {
  if (byte == kStm32Nack) {
    stub_may_run_ = false;
    StubRefused();
    return;
  }
  if (byte != kStm32Ack) return;
  if (g_nStm32SubStep == 0) {
    g_nStm32SubStep = 1;
    const auto address = AddressBytes(kMcuStubLoadAddress);
    SendAfter(0, address);
    stub_may_run_ = true;  // from the moment the address may have arrived
    NoteStubWrite(address.size());
    ArmReply(pacing().replyTimeoutMs);
    return;
  }
  StartStubSession();
}

void McuUpdate::StubTimedOut() {
  if (window_.m_stm32State == kStateStubGo && g_nStm32SubStep == 1) {
    // The Go's last answer was lost: the stub may run, and leaves only after its silence.
    stub_refused_ = true;
    AwaitStubExit(CheckPurpose::kStubFallback);
    return;
  }
  Fail(FailureKind::kNoAnswer, "the MCU did not answer while the flashing stub was loaded.");
}

void McuUpdate::StubRefused() {
  // The bootloader waits for a command, as after every refusal or complete read: the image
  // goes through its own commands, and the erase is the first.
  stub_refused_ = true;
  services_.StopTimer(kTimerStm32Reply);
  StartRomErase();
}

// ---- The image through the stub ----

void McuUpdate::StartStubSession() {
  services_.StopTimer(kTimerStm32Reply);
  window_.m_stm32State = kStateStub;
  g_nStm32SubStep = 0;
  const auto baseRate = static_cast<uint32_t>(window_.m_nBaudRate);
  const uint32_t switchTo = options_.stubBaud != baseRate ? options_.stubBaud : 0;
  stub_session_ = std::make_unique<McuStubSession>(
      McuStubPlan{.image = {window_.m_pImage.data(), window_.m_imageSize}, .switchBaud = switchTo},
      baseRate, services_.NowMs());
  // The stub's replies come while the stream is still being written: no write may discard them.
  port_.KeepInputAcrossWrites(true);
  stub_writes_ = 0;
  stub_deadline_.reset();
  stub_reported_ = 0;
  stub_verifying_ = false;
  verified_bytes_ = 0;
  window_.m_fProgress = 0;
  window_.UpdateData(false);
  ReportProgress(ProgressPhase::kWriting, 0, stub_session_->writeTotal());
  PumpStub();
}

void McuUpdate::StubByte(uint8_t byte) {
  if (!stub_session_) return;
  stub_session_->OnByte(byte, services_.NowMs());
  PumpStub();
}

void McuUpdate::OnTxDone() {
  if (window_.m_stm32State != kStateStub || !stub_session_) return;
  if (stub_writes_ > 0) --stub_writes_;
  PumpStub();
}

void McuUpdate::OnStubTimer() {
  services_.StopTimer(kTimerMcuStub);
  stub_deadline_.reset();
  if (window_.m_bStm32Mode != 1) return;
  if (window_.m_stm32State == kStateStubExit) {
    stub_may_run_ = false;
    BeginCheck(stub_then_);
    return;
  }
  if (window_.m_stm32State != kStateStub || !stub_session_) return;
  stub_session_->OnTimer(services_.NowMs());
  PumpStub();
}

void McuUpdate::PumpStub() {
  McuStubSession& session = *stub_session_;
  if (session.eraseMayHaveRun()) firmware_whole_ = false;
  if (session.outcome() != McuStubSession::Outcome::kRunning) {
    StubEnded();
    return;
  }
  const uint64_t now = services_.NowMs();
  const auto rate = static_cast<int>(session.lineRate());
  if (rate != (port_rate_ != 0 ? port_rate_ : window_.m_nBaudRate)) {
    // The stub switches once its reply has left it (or went back after a failed trial): the
    // port follows, and the write in flight on the old worker is over.
    if (!ReopenPort('E', rate)) {
      FailFinally(FailureKind::kPort,
                  "the port could not be opened again at " + std::to_string(rate) + " baud.", {});
      return;
    }
    stub_writes_ = 0;
  }
  if (stub_writes_ == 0) {
    // One piece at a time: a write slot not yet taken up would be replaced by the next.
    const std::vector<uint8_t> piece = session.TakePiece(kWriteSlotBytes, now);
    if (!piece.empty()) {
      ++stub_writes_;
      port_.QueueWrite(piece.data(), static_cast<int>(piece.size()));
      NoteStubWrite(piece.size());
    }
  }
  ReportStubProgress();
  const std::optional<uint64_t> due = session.Deadline();
  if (due == stub_deadline_) return;
  stub_deadline_ = due;
  if (!due) {
    services_.StopTimer(kTimerMcuStub);
    return;
  }
  services_.StartTimer(kTimerMcuStub,
                       static_cast<unsigned>(std::max<uint64_t>(*due, now + 1) - now));
}

void McuUpdate::NoteStubWrite(std::size_t bytes) {
  const uint64_t now = services_.NowMs();
  const auto rate = static_cast<uint64_t>(port_rate_ != 0 ? port_rate_ : window_.m_nBaudRate);
  stub_wire_free_ms_ =
      std::max(stub_wire_free_ms_, now) + (bytes * kBitsPerByte * 1000 + rate - 1) / rate;
}

void McuUpdate::ReportStubProgress() {
  const McuStubSession& session = *stub_session_;
  if (options_.verify && session.restChecked()) {
    // The bar shows writing until all but the vector table is written and checked, then the
    // checks; it never goes back to writing after them.
    stub_verifying_ = true;
    if (session.checkedBytes() == verified_bytes_) return;
    verified_bytes_ = session.checkedBytes();
    window_.m_fProgress =
        static_cast<float>(100.0 * static_cast<double>(verified_bytes_) / session.checkTotal());
    window_.UpdateData(false);
    ReportProgress(ProgressPhase::kVerifying, verified_bytes_, session.checkTotal());
    return;
  }
  if (stub_verifying_ || session.writtenBytes() == stub_reported_ ||
      session.writtenBytes() >= session.writeTotal()) {
    return;
  }
  stub_reported_ = session.writtenBytes();
  window_.m_fProgress =
      static_cast<float>(100.0 * static_cast<double>(stub_reported_) / session.writeTotal());
  window_.UpdateData(false);
  ReportProgress(ProgressPhase::kWriting, stub_reported_, session.writeTotal());
}

void McuUpdate::StubEnded() {
  services_.StopTimer(kTimerMcuStub);
  stub_deadline_.reset();
  const McuStubSession::Outcome outcome = stub_session_->outcome();
  if (outcome == McuStubSession::Outcome::kLeft) {
    ReportStubProgress();
    verified_ = true;
    verified_bytes_ = stub_session_->checkTotal();
    EndStubStream();
    stub_may_run_ = false;
    if (!options_.start) {
      Succeed();  // the unit waits in its ROM bootloader
      return;
    }
    BeginCheck(CheckPurpose::kAfterStub);  // at the window's rate again
    return;
  }
  if (outcome == McuStubSession::Outcome::kNoStub) {
    stub_refused_ = true;
    AwaitStubExit(CheckPurpose::kStubFallback);
    return;
  }
  const stub::SenderFailure failure = stub_session_->failure();
  std::optional<uint32_t> address;
  std::string why;
  if (failure.code == stub::StatusCode::kOk) {
    why = "the flashing stub stopped answering (" + failure.text + ").";
  } else if (stub_session_->eraseFailed()) {
    why = "the flashing stub could not erase the flash: " +
          std::string(stub::StatusText(failure.code)) +
          " (a page the option bytes write-protect stops the erase of the whole flash).";
  } else {
    address = failure.address;
    why = "the flashing stub reports that " + std::string(stub::StatusText(failure.code)) +
          " at flash address " + Hex32(failure.address) + ".";
  }
  Fail(KindOf(failure), why, address);  // again from a fresh sync once the stub has left
}

void McuUpdate::EndStubStream() {
  stub_session_.reset();
  port_.KeepInputAcrossWrites(false);  // the ROM bootloader's answers follow each command
}

void McuUpdate::AwaitStubExit(CheckPurpose then) {
  EndStubStream();
  stub_then_ = then;
  window_.m_stm32State = kStateStubExit;
  g_nStm32SubStep = 0;
  services_.StopTimer(kTimerStm32Reply);
  const uint64_t now = services_.NowMs();
  const uint64_t exit = std::max(now, stub_wire_free_ms_) + stub::kStubQuietMs + kStubExitMarginMs;
  services_.StartTimer(kTimerMcuStub, static_cast<unsigned>(exit - now));
}

}  // namespace korvelt
