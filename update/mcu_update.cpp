// The MCU update: synchronises with the MCU's serial bootloader, learns what it offers, erases
// the flash, writes the image from the flash base and may read it back, paced by timers 8
// (sync), 9 (deferred send) and 10 (reply time-out). Two pacings share the states: the written
// one (128-byte blocks, fixed pauses) and the acknowledged one (256-byte blocks, each step on
// its answer). Timer 11 waits for the ISP banner and checks the line for a bootloader that
// already waits there (mcu_update_check.cpp): a unit whose update was cut keeps waiting in its
// bootloader while it stays powered, and only an update that completes makes it start again at
// power-up. The path through the flashing stub is in mcu_update_stub.cpp.
#include "update/mcu_update.h"

#include <algorithm>

#include "app/updater_dialog.h"
#include "update/hex_text.h"
#include "update/mcu_update_states.h"
#include "update/mcu_write_plan.h"
#include "update/operator_texts.h"

namespace korvelt {

using namespace mcu_state;

namespace {

constexpr unsigned kEndCloseMs = 225;  // the port is shown closed this long after the end
// The read-back's reply time-out, whatever the pacing: a read of 256 bytes takes 25 ms.
constexpr unsigned kVerifyReplyTimeoutMs = 1000;
// A write that fails after the erase began is tried again from a fresh sync, this many times
// in all, while the unit waits in its bootloader.
constexpr int kMaxWriteAttempts = 3;
// A read-back piece that comes back short or wrong is read this many times in all, each after
// the line has been quiet this long.
constexpr int kMaxPieceReads = 3;
constexpr unsigned kPieceQuietMs = 50;
// The erase's time-out in the acknowledged pacing: the F1's mass erase takes 20-40 ms, but the
// family's largest parts take up to 16 s for 1 MiB and 32 s for 2 MiB (their datasheets' bank
// and mass erase times): 16 ms per KiB of the flash the part reports, never less than 5 s.
constexpr unsigned kEraseMsPerKib = 16;
constexpr uint32_t kLargestFlashKib = 2048;

constexpr const char* kSucceededNote =
    "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";
constexpr const char* kVerifyingWait = "Verifying...";
constexpr const char* kReadProtected =
    "The MCU refuses to read its flash: it is read-protected. Nothing was erased. Removing the "
    "protection erases the part; this updater never does it. Re-power the unit to run its "
    "firmware.";

constexpr int kFlashStartReadBytes = 4;
constexpr int kFlashSizeReadBytes = 2;
// The Get reply lists at most a few dozen commands; anything longer is not a reply.
constexpr std::size_t kMaxReplyBytes = 64;

// What an operator must know after a failure: whether the unit may be powered off.
std::string FailureText(const std::string& what, bool flashIncomplete) {
  if (flashIncomplete) {
    return "Failed to update MCU firmware: " + what +
           "\r\nThe unit waits in its bootloader and its flash is not complete: do NOT power it "
           "off or disconnect it. Press the same button again (or run the same command again) "
           "to finish the update.";
  }
  return "Failed to update MCU firmware: " + what +
         "\r\nNothing was erased: the unit's firmware is whole. Press the button again, or "
         "re-power the unit (disconnect the USB cable) to run its firmware.";
}

}  // namespace

McuUpdate::McuUpdate(UpdaterDialog& window, WindowServices& services, PortOperations& port,
                     NotificationChannel* channel)
    : window_(window), services_(services), port_(port), channel_(channel) {}

// ---- Sending ----

void McuUpdate::SendAfter(unsigned pauseMs, std::span<const uint8_t> bytes) {
  if (pauseMs > 0) services_.Pause(pauseMs);
  port_.QueueWrite(bytes.data(), static_cast<int>(bytes.size()));
}

void McuUpdate::SendCommand(Stm32Command command, unsigned pauseMs) {
  SendAfter(pauseMs, CommandBytes(command));
}

void McuUpdate::Schedule(std::span<const uint8_t> bytes, unsigned delayMs) {
  std::copy(bytes.begin(), bytes.end(), window_.m_stm32Tx.begin());
  window_.m_stm32TxLen = static_cast<int>(bytes.size());
  SendTx(delayMs);
}

void McuUpdate::SendTx(unsigned delayMs) {
  if (delayMs == 0) {
    port_.QueueWrite(window_.m_stm32Tx.data(), window_.m_stm32TxLen);
    return;
  }
  send_pending_ = true;
  services_.StartTimer(kTimerStm32Send, delayMs);
}

void McuUpdate::ArmReply(unsigned timeoutMs) {
  if (timeoutMs > 0) services_.StartTimer(kTimerStm32Reply, timeoutMs);
}

void McuUpdate::ScheduleWriteCommand(unsigned delayMs, unsigned replyTimeoutMs) {
  Schedule(CommandBytes(Stm32Command::kWriteMemory), delayMs);
  ArmReply(replyTimeoutMs);
}

void McuUpdate::ReportProgress(ProgressPhase phase, uint64_t done, uint64_t total) {
  services_.ProgressChanged({phase, done, total});
}

bool McuUpdate::ReopenPort(char parity, int baudRate) {
  window_.m_cParity = parity;
  // The window's rate stays what its design fixes; only the flashing stub's stream runs at
  // another.
  port_rate_ = baudRate != 0 && baudRate != window_.m_nBaudRate ? baudRate : 0;
  if (!port_.OpenPort(channel_, window_.m_nPortNumber,
                      port_rate_ != 0 ? port_rate_ : window_.m_nBaudRate, parity,
                      window_.m_nDataBits, window_.m_nStopBits, window_.m_dwCommEvents,
                      kWriteSlotBytes)) {
    return false;
  }
  port_.StartMonitor();
  return true;
}

// ---- Timers ----

void McuUpdate::EnterSync() {
  port_.QueueWrite(&kStm32Sync, 1);
  window_.m_bStm32Mode = 1;
  window_.m_stm32State = kStateSync;
  g_nStm32SubStep = 0;
  ResetConversation();
}

void McuUpdate::OnSyncTimer() {
  if (window_.m_bStm32Mode == 1) {
    const unsigned giveUp = pacing().syncGiveUpMs;
    const unsigned period = acknowledged() ? pacing().syncResendMs : kStm32SyncTickMs;
    if (giveUp > 0 && static_cast<unsigned>(++sync_ticks_) * period >= giveUp) {
      Fail(FailureKind::kNoBootloader,
           "the MCU's bootloader did not answer its synchronisation byte for " +
               std::to_string(giveUp / 1000) + " s.");
      return;
    }
    port_.QueueWrite(&kStm32Sync, 1);
  } else if (!port_reopened_) {
    // First tick of this update: the bootloader speaks 8E1, whatever the port spoke before.
    port_reopened_ = true;
    if (ReopenPort('E')) {
      if (acknowledged()) EnterSync();  // the sync byte goes out with the reopen
    } else {
      // Sync bytes into a closed port would tick for ever.
      Fail(FailureKind::kPort, "the port could not be opened again for the bootloader.");
    }
  } else {
    EnterSync();
  }
}

void McuUpdate::OnSendTimer() {
  send_pending_ = false;
  port_.QueueWrite(window_.m_stm32Tx.data(), window_.m_stm32TxLen);
  services_.StopTimer(kTimerStm32Send);
}

void McuUpdate::OnReplyTimer() {
  services_.StopTimer(kTimerStm32Reply);
  if (window_.m_bStm32Mode == 1) {
    if (acknowledged() || window_.m_stm32State >= kStateVerify) {
      TimedOut();
    } else {
      Step(kStm32Ack, true);  // a missing answer stands as an acknowledgement
    }
    return;
  }
  running_ = false;  // the update ends when the window shows the port closed
  port_reopened_ = false;
  window_.SetPortClosedUi();
}

void McuUpdate::TimedOut() {
  switch (window_.m_stm32State) {
    case kStateGet:
      Fail(FailureKind::kNoAnswer, "the MCU did not answer the Get command.");
      break;
    case kStateGetId:
      Fail(FailureKind::kNoAnswer, "the MCU did not answer the Get ID command.");
      break;
    case kStateReadFlashStart:
    case kStateReadFlashSize:
    case kStateReadUid:
      Fail(FailureKind::kNoAnswer, "the MCU did not answer the Read Memory command.");
      break;
    case kStateErase:
      Fail(FailureKind::kNoAnswer, g_nStm32SubStep == 0
                                       ? "the MCU did not answer the erase command."
                                       : "the MCU did not finish erasing its flash within " +
                                             std::to_string(EraseTimeoutMs() / 1000) + " s.");
      break;
    case kStateWrite:
      RetryBlock(false);
      break;
    case kStateVerify: {
      if (verify_draining_) {  // the line is quiet again: the same piece once more
        verify_draining_ = false;
        SendVerifyRead();
        break;
      }
      const uint32_t address = kMcuFlashBase + verify_reads_[verify_index_].begin;
      BadVerifyPiece(FailureKind::kNoAnswer,
                     "the MCU did not answer a read of its flash at " + Hex32(address) + ".",
                     address);
      break;
    }
    case kStateGo:
      Succeed();  // the flash is verified; the new firmware starts at the next power-up
      break;
    case kStateStubLoad:
    case kStateStubCheck:
    case kStateStubGo:
      StubTimedOut();
      break;
    default:
      break;
  }
}

// ---- Received bytes ----

bool McuUpdate::Refused(uint8_t byte, const char* command) {
  if (byte != kStm32Nack || !acknowledged()) return false;
  Fail(FailureKind::kUnitRefused, std::string("the MCU refused the ") + command + ".");
  return true;
}

void McuUpdate::OnByte(uint8_t byte) {
  // An answer can only be to bytes that went out: while the next send still waits for timer
  // 9, a stray or repeated 0x79 must not count as the MCU taking bytes it never got.
  const int state = window_.m_stm32State;
  if (send_pending_ && (state == kStateErase || state == kStateWrite)) return;
  Step(byte, false);
}

void McuUpdate::Step(uint8_t byte, bool substitute) {
  const bool ack = byte == kStm32Ack;
  switch (window_.m_stm32State) {
    case kStateSync:
      if (ack || byte == kStm32Nack) {
        SendCommand(Stm32Command::kGet, pacing().getPauseMs);
        services_.StopTimer(kTimerStm32Sync);
        window_.m_stm32State = kStateGet;
        g_nStm32SubStep = 0;
        ArmReply(pacing().replyTimeoutMs);
      }
      break;
    case kStateGet:
    case kStateGetId:
      ReplyStep(byte, ack);
      break;
    case kStateReadFlashStart:
      // Read 4 bytes at the flash base; the data bytes are counted, not kept.
      IdentityReadStep(byte, kMcuFlashBase, kFlashStartReadBytes);
      break;
    case kStateReadFlashSize:
      // Read 2 bytes at 0x1FFFF7E0: the flash size in KiB, low byte first.
      IdentityReadStep(byte, kStm32FlashSizeAddress, kFlashSizeReadBytes);
      break;
    case kStateReadUid:
      IdentityReadStep(byte, kStm32UniqueIdAddress, kStm32UniqueIdBytes);
      break;
    case kStateErase:
      EraseStep(byte, substitute);
      break;
    case kStateWrite:
      WriteStep(byte, substitute);
      break;
    case kStateVerify:
      VerifyStep(byte);
      break;
    case kStateCheck:
    case kStateDrain:
      CheckStep(byte);
      break;
    case kStateGo:
      GoStep(byte);
      break;
    case kStateStubLoad:
      StubLoadStep(byte);
      break;
    case kStateStubCheck:
      StubCheckStep(byte);
      break;
    case kStateStubGo:
      StubGoStep(byte);
      break;
    case kStateStub:
      StubByte(byte);
      break;
    default:
      break;  // kStateStubExit: whatever a leaving stub still says
  }
}

void McuUpdate::ReplyStep(uint8_t byte, bool ack) {
  const bool get = window_.m_stm32State == kStateGet;
  if (g_nStm32SubStep == 0) {
    // The command's acknowledgement; the reply and its own acknowledgement follow.
    if (ack) {
      g_nStm32SubStep = 1;
      reply_.clear();
    } else {
      Refused(byte, get ? "Get command" : "Get ID command");
    }
    return;
  }
  // The reply's first byte says how many follow (less one). With time-outs a 0x79 ends the
  // reply only after them (a product ID may hold 0x79); without, a lost byte would leave the
  // closing 0x79 taken as data and the wait never ending, so any 0x79 ends it.
  if (!ack || (acknowledged() && !ReplyComplete(reply_))) {
    if (reply_.size() < kMaxReplyBytes) reply_.push_back(byte);
    return;
  }
  if (get) {
    const Stm32GetReply parsed = ParseGetReply(reply_);
    facts_.bootloaderVersion = parsed.bootloaderVersion;
    facts_.extendedEraseOnly = parsed.extendedEraseOnly;
    SendCommand(Stm32Command::kGetId, pacing().commandPauseMs);
  } else {
    if (reply_.size() >= 3) facts_.productId = ParseGetIdReply(reply_);
    SendCommand(Stm32Command::kReadMemory, pacing().commandPauseMs);
  }
  window_.m_stm32State = get ? kStateGetId : kStateReadFlashStart;
  g_nStm32SubStep = 0;
  ArmReply(pacing().replyTimeoutMs);
}

void McuUpdate::IdentityReadStep(uint8_t byte, uint32_t address, uint32_t length) {
  const ReadMemoryStep step = StepReadMemory(g_nStm32SubStep, byte, length);
  switch (step.action) {
    case ReadMemoryAction::kRefused:
      // A read-protected part refuses Read Memory at once. Going on would erase and write a
      // part that takes nothing: stop, in every pacing, before the erase.
      if (address == kMcuFlashBase && g_nStm32SubStep == 0) {
        // A NACK damaged out of an ACK on a noisy line is refused once: read protection
        // refuses every time.
        if (acknowledged() && read_refusals_++ == 0) {
          Fail(FailureKind::kUnitRefused, "the MCU refused to read its flash.");
          return;
        }
        Refuse(FailureKind::kReadProtected, kReadProtected);
        return;
      }
      Refused(byte, "Read Memory command");
      return;
    case ReadMemoryAction::kNone:
      return;
    case ReadMemoryAction::kSendAddress:
      SendAfter(pacing().commandPauseMs, AddressBytes(address));
      ArmReply(pacing().replyTimeoutMs);
      break;
    case ReadMemoryAction::kSendLength:
      SendAfter(address == kMcuFlashBase ? pacing().commandPauseMs : pacing().shortPauseMs,
                ReadLengthBytes(length));
      ArmReply(pacing().replyTimeoutMs);
      break;
    case ReadMemoryAction::kDataFollows:
      break;
    case ReadMemoryAction::kData:
    case ReadMemoryAction::kLastData: {
      const int index = g_nStm32SubStep - kReadMemoryDataSubStep;
      if (address == kStm32FlashSizeAddress) {
        facts_.flashKib = index == 0 ? byte : facts_.flashKib | uint32_t{byte} << 8;
      } else if (address == kStm32UniqueIdAddress) {
        if (index == 0) facts_.uniqueId.emplace();
        (*facts_.uniqueId)[static_cast<std::size_t>(index)] = byte;
      }
      break;
    }
  }
  g_nStm32SubStep = step.nextSubStep;
  if (step.action != ReadMemoryAction::kLastData) return;
  if (address == kStm32FlashSizeAddress && acknowledged()) {
    // The unit's identity, before the erase; the dialog's own byte stream has no such read.
    SendCommand(Stm32Command::kReadMemory, pacing().commandPauseMs);
    window_.m_stm32State = kStateReadUid;
    g_nStm32SubStep = 0;
    ArmReply(pacing().replyTimeoutMs);
    return;
  }
  if (address == kStm32FlashSizeAddress || address == kStm32UniqueIdAddress) {
    StartErase();
    return;
  }
  SendCommand(Stm32Command::kReadMemory, pacing().commandPauseMs);
  window_.m_stm32State = kStateReadFlashSize;
  g_nStm32SubStep = 0;
  ArmReply(pacing().replyTimeoutMs);
}

void McuUpdate::StartErase() {
  identified_ = true;
  services_.OperationEnded({.event = OperationEvent::kMcuIdentified, .mcu = facts_});
  // 0 and 0xFFFF: the part has no size register there, or it is blank; nothing to check.
  const uint32_t kib = facts_.flashKib;
  const uint32_t imageSize = window_.m_imageSize;
  if (kib != 0 && kib != 0xFFFF && uint64_t{imageSize} > uint64_t{kib} * 1024) {
    Refuse(FailureKind::kImageTooLarge, "The image is " + std::to_string(imageSize) +
                                            " bytes; the MCU has " + std::to_string(kib) +
                                            " KiB of flash. Nothing was erased.");
    return;
  }
  if (UseStub()) {
    StartStubLoad();
    return;
  }
  StartRomErase();
}

void McuUpdate::StartRomErase() {
  firmware_whole_ = false;  // from here on the flash may be erased
  SendCommand(facts_.extendedEraseOnly ? Stm32Command::kExtendedErase : Stm32Command::kErase,
              pacing().shortPauseMs);
  window_.m_stm32State = kStateErase;
  g_nStm32SubStep = 0;
  ArmReply(pacing().eraseCommandTimeoutMs);
}

void McuUpdate::EraseStep(uint8_t byte, bool substitute) {
  window_.m_strWait = " ";
  if (byte == kStm32Nack && !substitute) {
    // The flash was not erased: writing now could only leave a broken image.
    Fail(FailureKind::kUnitRefused, g_nStm32SubStep == 0 ? "the MCU refused the erase command."
                                                         : "the MCU refused to erase its flash.");
    return;
  }
  if (byte != kStm32Ack) return;
  if (g_nStm32SubStep != 0) {
    StartWrites();
    return;
  }
  g_nStm32SubStep = 1;
  static constexpr uint8_t kMassErase[] = {0xFF, 0xFF, 0x00};
  static constexpr uint8_t kGlobalErase[] = {0xFF, 0x00};
  if (facts_.extendedEraseOnly) {
    Schedule(kMassErase, pacing().eraseListDelayMs);
  } else {
    Schedule(kGlobalErase, pacing().eraseListDelayMs);
  }
  ArmReply(EraseTimeoutMs());
}

// ---- Writing ----

unsigned McuUpdate::EraseTimeoutMs() const {
  if (!acknowledged()) return pacing().eraseTimeoutMs;
  const uint32_t kib =
      facts_.flashKib == 0 || facts_.flashKib == 0xFFFF ? kLargestFlashKib : facts_.flashKib;
  return std::max(pacing().eraseTimeoutMs, kib * kEraseMsPerKib);
}

uint64_t McuUpdate::VerifyTotal() const {
  uint64_t total = 0;
  for (const McuRange& r : checked_blocks_) total += r.end - r.begin;
  for (const McuRange& r : vector_checked_) total += r.end - r.begin;
  return total;
}

void McuUpdate::StartWrites() {
  const McuPlanRules rules = {.blockBytes = static_cast<uint32_t>(pacing().blockBytes),
                              .wordAligned = acknowledged(),
                              .skipErasedBlocks = acknowledged()};
  const std::span<const uint8_t> image(window_.m_pImage.data(), window_.m_imageSize);
  McuWritePlan plan = PlanMcuWrites(image, image_ranges_, rules);
  blocks_ = std::move(plan.writes);
  checked_blocks_ = std::move(plan.checked);
  vector_write_.reset();
  vector_checked_.clear();
  bytes_written_ = 0;
  // The written pacing keeps its ascending order; the acknowledged one writes and checks the
  // vector table's block after all the others.
  vector_phase_ = !acknowledged();
  if (acknowledged()) {
    const auto inVectorBlock = [](const McuRange& r) { return r.begin < kStm32MaxTransferBytes; };
    if (!blocks_.empty() && inVectorBlock(blocks_.front())) {
      vector_write_ = blocks_.front();
      blocks_.erase(blocks_.begin());
    }
    while (!checked_blocks_.empty() && inVectorBlock(checked_blocks_.front())) {
      vector_checked_.push_back(checked_blocks_.front());
      checked_blocks_.erase(checked_blocks_.begin());
    }
  }
  write_total_ = vector_write_ ? vector_write_->end - vector_write_->begin : 0;
  for (const McuRange& block : blocks_) write_total_ += block.end - block.begin;
  block_index_ = 0;
  window_.m_imagePos = 0;
  attempts_ = 1;
  window_.m_stm32State = kStateWrite;
  g_nStm32SubStep = 0;
  if (blocks_.empty()) {  // every byte is 0xFF, or the vector table is all there is
    FinishWrites();
    return;
  }
  block_start_ = blocks_[0].begin;
  window_.m_stm32Address = kMcuFlashBase + blocks_[0].begin;
  ScheduleWriteCommand(pacing().firstWriteDelayMs, pacing().firstWriteTimeoutMs);
}

void McuUpdate::StartVectorPhase() {
  vector_phase_ = true;
  if (!vector_write_) {
    if (options_.verify && !vector_checked_.empty()) {
      StartVerify();
    } else {
      FinishImage();
    }
    return;
  }
  blocks_ = {*vector_write_};
  block_index_ = 0;
  block_start_ = vector_write_->begin;
  window_.m_imagePos = static_cast<int>(block_start_);
  window_.m_stm32Address = kMcuFlashBase + vector_write_->begin;
  attempts_ = 1;
  window_.m_stm32State = kStateWrite;
  g_nStm32SubStep = 0;
  ScheduleWriteCommand(pacing().nextWriteDelayMs, pacing().stepTimeoutMs);
}

void McuUpdate::WriteStep(uint8_t byte, bool substitute) {
  if (byte == kStm32Nack && !substitute) {
    RetryBlock(true);  // the command, its address or its data was refused
    return;
  }
  if (byte != kStm32Ack) return;
  switch (g_nStm32SubStep) {
    case 0:  // Write Memory accepted: the block's address next
      g_nStm32SubStep = 1;
      Schedule(AddressBytes(window_.m_stm32Address), pacing().blockPartDelayMs);
      ArmReply(pacing().stepTimeoutMs);
      break;
    case 1:  // address accepted: the data next
      g_nStm32SubStep = 2;
      BuildAndScheduleDataBlock();
      break;
    default:  // the data: written only if the MCU itself said so
      FinishBlock(!substitute);
      break;
  }
}

void McuUpdate::BuildAndScheduleDataBlock() {
  const McuRange& block = blocks_[block_index_];
  const int length = static_cast<int>(block.end - block.begin);
  const uint32_t imageSize = window_.m_imageSize;
  auto& tx = window_.m_stm32Tx;
  tx[0] = static_cast<uint8_t>(length - 1);
  for (int i = 0; i < length; ++i) {
    const uint32_t offset = block.begin + static_cast<uint32_t>(i);
    tx[static_cast<std::size_t>(1 + i)] = offset < imageSize ? window_.m_pImage[offset] : 0xFF;
  }
  window_.m_imagePos = static_cast<int>(std::min(block.end, imageSize));
  uint8_t checksum = 0;
  for (int i = 0; i <= length; ++i) checksum ^= tx[static_cast<std::size_t>(i)];
  tx[static_cast<std::size_t>(length + 1)] = checksum;
  window_.m_stm32TxLen = length + 2;
  SendTx(pacing().blockPartDelayMs);
  // The final block's data gets its time-out like every other step, so the end always comes.
  ArmReply(pacing().stepTimeoutMs);
  if (acknowledged()) {
    // The vector table goes last, so the image offset does not grow with the blocks.
    const uint64_t done = bytes_written_ + static_cast<uint64_t>(length);
    const uint64_t total = write_total_;
    if (done >= total) return;
    window_.m_fProgress = static_cast<float>(100.0 * static_cast<double>(done) / total);
    window_.UpdateData(false);
    ReportProgress(ProgressPhase::kWriting, done, total);
    return;
  }
  if (block_index_ + 1 < blocks_.size()) {
    window_.m_fProgress = static_cast<float>(100.0 * window_.m_imagePos / imageSize);
    window_.UpdateData(false);
    ReportProgress(ProgressPhase::kWriting, static_cast<uint64_t>(window_.m_imagePos), imageSize);
  }
}

void McuUpdate::RetryBlock(bool answered) {
  if (attempts_ >= kStm32MaxBlockAttempts) {
    FinishBlock(false);
    return;
  }
  ++attempts_;
  window_.m_imagePos = static_cast<int>(block_start_);
  g_nStm32SubStep = 0;
  if (!answered && acknowledged()) {
    // A byte of the block may have been lost on the line: the bootloader would take the next
    // Write Memory as the rest of this one.
    BeginCheck(CheckPurpose::kResyncBlock);
    return;
  }
  ScheduleWriteCommand(pacing().nextWriteDelayMs, pacing().stepTimeoutMs);
}

void McuUpdate::FinishBlock(bool accepted) {
  if (!accepted) {
    if (failed_blocks_++ == 0) first_failed_address_ = window_.m_stm32Address;
    if (acknowledged()) {
      const uint32_t address = window_.m_stm32Address;
      Fail(FailureKind::kUnitRefused,
           "the MCU did not take the block at flash address " + Hex32(address) + " in " +
               std::to_string(kStm32MaxBlockAttempts) + " tries.",
           address);
      return;
    }
  }
  const McuRange& done = blocks_[block_index_];
  bytes_written_ += done.end - done.begin;
  if (++block_index_ >= blocks_.size()) {
    FinishWrites();
    return;
  }
  const McuRange& next = blocks_[block_index_];
  block_start_ = next.begin;
  window_.m_imagePos = static_cast<int>(block_start_);
  window_.m_stm32Address = kMcuFlashBase + next.begin;
  attempts_ = 1;
  g_nStm32SubStep = 0;
  ScheduleWriteCommand(pacing().nextWriteDelayMs, pacing().stepTimeoutMs);
}

void McuUpdate::FinishWrites() {
  if (failed_blocks_ != 0) {
    Fail(FailureKind::kNoAnswer,
         std::to_string(failed_blocks_) + " block(s) were not written, the first at flash " +
             "address " + Hex32(first_failed_address_) + ".",
         first_failed_address_);
  } else if (options_.verify) {
    StartVerify();
  } else if (!vector_phase_) {
    StartVectorPhase();
  } else {
    FinishImage();
  }
}

// ---- Reading back ----

void McuUpdate::StartVerify() {
  // The blocks left to the erase are read too: a page the erase did not clear keeps its old
  // bytes.
  const bool first = !vector_phase_ || !acknowledged();
  verify_reads_ = PlanMcuVerifyReads(
      vector_phase_ && acknowledged() ? vector_checked_ : checked_blocks_, kStm32MaxTransferBytes);
  verify_index_ = 0;
  verify_reads_done_ = 0;
  verify_draining_ = false;
  window_.m_stm32State = kStateVerify;
  g_nStm32SubStep = 0;
  if (first) {
    verified_bytes_ = 0;
    window_.m_strWait = kVerifyingWait;
    window_.UpdateData(false);
    window_.m_fProgress = 0;
    ReportProgress(ProgressPhase::kVerifying, 0, VerifyTotal());
  }
  SendVerifyRead();
}

void McuUpdate::SendVerifyRead() {
  if (verify_index_ >= verify_reads_.size()) {
    if (!vector_phase_) {
      StartVectorPhase();
      return;
    }
    verified_ = true;
    FinishImage();
    return;
  }
  g_nStm32SubStep = 0;
  SendCommand(Stm32Command::kReadMemory, 0);
  ArmReply(kVerifyReplyTimeoutMs);
}

void McuUpdate::BadVerifyPiece(FailureKind kind, const std::string& why, uint32_t address) {
  // On a line that loses or damages bytes a piece may come back short or wrong: it is read
  // again once the line is quiet. A write-protected page reads wrong every time.
  if (acknowledged() && ++verify_reads_done_ < kMaxPieceReads) {
    verify_draining_ = true;
    ArmReply(kPieceQuietMs);
    return;
  }
  Fail(kind, why, address);
}

void McuUpdate::VerifyStep(uint8_t byte) {
  if (verify_draining_) {
    ArmReply(kPieceQuietMs);  // the rest of a bad piece is let pass
    return;
  }
  const McuRange& read = verify_reads_[verify_index_];
  const uint32_t length = read.end - read.begin;
  const ReadMemoryStep step = StepReadMemory(g_nStm32SubStep, byte, length);
  switch (step.action) {
    case ReadMemoryAction::kNone:
    case ReadMemoryAction::kRefused: {
      const uint32_t address = kMcuFlashBase + read.begin;
      BadVerifyPiece(FailureKind::kUnitRefused,
                     "the MCU refused to read its flash at " + Hex32(address) + ".", address);
      return;
    }
    case ReadMemoryAction::kSendAddress:
      Schedule(AddressBytes(kMcuFlashBase + read.begin), 0);
      break;
    case ReadMemoryAction::kSendLength:
      SendAfter(0, ReadLengthBytes(length));
      break;
    case ReadMemoryAction::kDataFollows:
      break;
    case ReadMemoryAction::kData:
    case ReadMemoryAction::kLastData: {
      const uint32_t offset =
          read.begin + static_cast<uint32_t>(g_nStm32SubStep - kReadMemoryDataSubStep);
      const uint8_t expected = offset < window_.m_imageSize ? window_.m_pImage[offset] : 0xFF;
      if (byte != expected) {
        // The bootloader acknowledges writes to protected pages without programming them.
        const uint32_t address = kMcuFlashBase + offset;
        BadVerifyPiece(FailureKind::kVerifyMismatch,
                       "the flash at " + Hex32(address) +
                           " does not hold the image after writing (is the page "
                           "write-protected?).",
                       address);
        return;
      }
      break;
    }
  }
  g_nStm32SubStep = step.nextSubStep;
  if (step.action != ReadMemoryAction::kLastData) {
    if (step.action != ReadMemoryAction::kData) ArmReply(kVerifyReplyTimeoutMs);
    return;
  }
  verified_bytes_ += length;
  const uint64_t total = VerifyTotal();
  window_.m_fProgress = static_cast<float>(100.0 * verified_bytes_ / total);
  window_.UpdateData(false);
  ReportProgress(ProgressPhase::kVerifying, verified_bytes_, total);
  ++verify_index_;
  verify_reads_done_ = 0;
  SendVerifyRead();
}

// ---- Starting the new firmware ----

void McuUpdate::FinishImage() {
  // Go only for an image read back and found whole: a part that starts half a firmware may
  // never return to its bootloader.
  if (!options_.start || !acknowledged() || !verified_) {
    Succeed();
    return;
  }
  window_.m_stm32State = kStateGo;
  g_nStm32SubStep = 0;
  SendCommand(Stm32Command::kGo, 0);
  ArmReply(pacing().replyTimeoutMs);
}

void McuUpdate::GoStep(uint8_t byte) {
  if (byte != kStm32Ack) {
    Succeed();  // refused: the new firmware starts at the next power-up
    return;
  }
  if (g_nStm32SubStep == 0) {
    g_nStm32SubStep = 1;
    SendAfter(0, AddressBytes(kMcuFlashBase));
    ArmReply(pacing().replyTimeoutMs);
    return;
  }
  go_accepted_ = true;
  Succeed();
}

// ---- The end ----

void McuUpdate::LeaveConversation() {
  window_.m_bStm32Mode = 0;
  window_.m_cParity = 'N';  // the next port opened speaks 8N1; the next update reopens with 8E1
  g_nStm32SubStep = 0;
  send_pending_ = false;
  services_.StopTimer(kTimerStm32Send);
  services_.StopTimer(kTimerStm32Sync);
  services_.StopTimer(kTimerMcuCheck);
  services_.StopTimer(kTimerMcuStub);
  EndStubStream();  // a stub still running returns to the ROM bootloader on its own
  stub_may_run_ = false;
  port_rate_ = 0;  // the window's next open is at its own rate
}

void McuUpdate::Abandon() {
  window_.m_bStm32Mode = 0;
  waiting_for_banner_ = false;
  if (running_) {
    LeaveConversation();
    running_ = false;
    port_reopened_ = false;
  }
  send_pending_ = false;
  for (int timer :
       {kTimerStm32Sync, kTimerStm32Send, kTimerStm32Reply, kTimerMcuCheck, kTimerMcuStub}) {
    services_.StopTimer(timer);
  }
  EndStubStream();
  stub_may_run_ = false;
}

void McuUpdate::Succeed() {
  OperationResult result{.event = OperationEvent::kMcuUpdateSucceeded, .mcu = facts_};
  if (options_.verify) result.verified = verified_;
  if (options_.start && acknowledged()) result.goAccepted = go_accepted_;
  End(std::move(result), {});
}

void McuUpdate::Fail(FailureKind kind, const std::string& why, std::optional<uint32_t> address) {
  // While the unit waits in its bootloader the whole conversation can start again from a
  // fresh sync: a cut line, a lost or damaged byte, or a block the part did not take need not
  // end the update.
  if (acknowledged() && write_attempts_ < kMaxWriteAttempts && kind != FailureKind::kPort &&
      kind != FailureKind::kNoBootloader) {
    ++write_attempts_;
    last_failure_ = {kind, why, address};
    if (stub_may_run_) {
      AwaitStubExit(CheckPurpose::kRetry);
    } else {
      BeginCheck(CheckPurpose::kRetry);
    }
    return;
  }
  FailFinally(kind, why, address);
}

void McuUpdate::FailFinally(FailureKind kind, const std::string& why,
                            std::optional<uint32_t> address) {
  OperationResult result{.event = OperationEvent::kMcuUpdateFailed,
                         .failure = kind,
                         .failedAddress = address,
                         .flashIncomplete = !firmware_whole_};
  End(std::move(result), FailureText(why, !firmware_whole_));
}

void McuUpdate::Refuse(FailureKind kind, const std::string& wholeText) {
  End({.event = OperationEvent::kMcuUpdateFailed, .failure = kind}, wholeText);
}

void McuUpdate::End(OperationResult result, const std::string& boxText) {
  LeaveConversation();
  if (acknowledged()) {
    // The conversation is over with its last answer: no fixed wait before the close.
    services_.StopTimer(kTimerStm32Reply);
    running_ = false;
    port_reopened_ = false;
    window_.SetPortClosedUi();
  } else {
    // Timer 10 finds the conversation ended and shows the port closed.
    services_.StartTimer(kTimerStm32Reply, kEndCloseMs);
  }
  window_.m_strWait = " ";
  if (!result.failed()) {
    window_.m_fProgress = 100.0f;
    window_.m_strNote = kSucceededNote;
    window_.UpdateData(false);
    const uint32_t size = window_.m_imageSize;
    if (result.verified) {
      ReportProgress(ProgressPhase::kVerifying, verified_bytes_, verified_bytes_);
    } else {
      ReportProgress(ProgressPhase::kWriting, size, size);
    }
    services_.OperationEnded(result);
    return;
  }
  window_.m_strNote = result.flashIncomplete ? kMcuUnfinishedNote : kMcuFailedNote;
  window_.UpdateData(false);
  services_.MessageBox(boxText, kCaptionIsp);
  result.text = boxText;
  if (identified_) result.mcu = facts_;
  if (options_.verify) result.verified = false;
  services_.OperationEnded(result);
}

}  // namespace korvelt
