// The MCU update's way to its bootloader: the ISP request and the wait for its banner, and the
// check for a bootloader that already waits on the line (an update cut before, the unit left
// powered): a sync byte, a second one on silence, and filler that completes a command the
// bootloader was cut in; whatever answers leaves it waiting for a command.
#include "app/updater_dialog.h"
#include "update/hex_text.h"
#include "update/mcu_update.h"
#include "update/mcu_update_states.h"

namespace korvelt {

using namespace mcu_state;

namespace {

// A bootloader answers a sync byte within a millisecond; a USB adapter adds up to 16 ms each
// way.
constexpr unsigned kCheckAnswerMs = 100;
// The answers to a check (a NACK for each pair of filler bytes) are over once the line has
// been quiet this long; only then may a command go out.
constexpr unsigned kDrainQuietMs = 30;
// The firmware answers its ISP request within milliseconds; after this long without a banner
// the unit may already wait in its bootloader.
constexpr unsigned kBannerWaitMs = 2000;
// A bootloader cut in the middle of a command waits for the rest of it: at most a Write
// Memory's length, 256 data bytes and its checksum. 0xFF fills: a block of 0xFF that happened
// to complete programs nothing.
constexpr int kFillerBytes = 258;
constexpr uint8_t kFillerByte = 0xFF;

}  // namespace

void McuUpdate::Request() {
  firmware_whole_ = false;  // a bootloader found waiting may hold half an image
  write_attempts_ = 1;
  read_refusals_ = 0;
  stub_refused_ = false;
  if (acknowledged()) {
    BeginCheck(CheckPurpose::kBeforeRequest);
    return;
  }
  window_.SendIspRequest();
  waiting_for_banner_ = true;
  services_.StartTimer(kTimerMcuCheck, kBannerWaitMs);
}

void McuUpdate::RequestRepeated() {
  if (waiting_for_banner_) services_.StartTimer(kTimerMcuCheck, kBannerWaitMs);
}

void McuUpdate::ForgetRequest() {
  if (!waiting_for_banner_) return;
  waiting_for_banner_ = false;
  services_.StopTimer(kTimerMcuCheck);
}

void McuUpdate::Begin() {
  ForgetRequest();
  running_ = true;
  port_reopened_ = false;
  firmware_whole_ = true;  // the firmware restarted in its bootloader: nothing is erased yet
  write_attempts_ = 1;
  read_refusals_ = 0;
  window_.m_strWait = "Please wait...";
  window_.UpdateData(false);
  if (acknowledged()) {
    // No fixed wait: the bootloader is there as soon as the banner is.
    OnSyncTimer();
    if (running_) services_.StartTimer(kTimerStm32Sync, pacing().syncResendMs);
    return;
  }
  services_.StartTimer(kTimerStm32Sync, kStm32SyncTickMs);
}

void McuUpdate::BeginCheck(CheckPurpose purpose) {
  check_purpose_ = purpose;
  filler_sent_ = false;
  for (int timer : {kTimerStm32Sync, kTimerStm32Send, kTimerStm32Reply}) {
    services_.StopTimer(timer);
  }
  send_pending_ = false;
  running_ = true;
  if (window_.m_cParity != 'E' || !port_.HoldsPort() || port_rate_ != 0) {
    // The bootloader speaks 8E1 at the window's rate; the window keeps showing the port open.
    if (!ReopenPort('E')) {
      FailFinally(FailureKind::kPort, "the port could not be opened again for the bootloader.", {});
      return;
    }
  }
  window_.m_bStm32Mode = 1;
  window_.m_stm32State = kStateCheck;
  if (purpose == CheckPurpose::kResyncBlock) {
    SendFiller();  // the bootloader is synced; it may wait for the rest of a block
    return;
  }
  g_nStm32SubStep = 0;
  port_.QueueWrite(&kStm32Sync, 1);
  services_.StartTimer(kTimerMcuCheck, kCheckAnswerMs);
}

void McuUpdate::SendFiller() {
  g_nStm32SubStep = 2;
  filler_sent_ = true;
  static const std::vector<uint8_t> kFiller(kFillerBytes, kFillerByte);
  port_.QueueWrite(kFiller.data(), kFillerBytes);
  services_.StartTimer(kTimerMcuCheck, 2 * kCheckAnswerMs);
}

void McuUpdate::CheckStep(uint8_t byte) {
  if (window_.m_stm32State == kStateDrain) {
    // Every byte that still comes restarts the wait for a quiet line.
    services_.StartTimer(kTimerMcuCheck, kDrainQuietMs);
    return;
  }
  // A bootloader waiting for its first byte answers the sync byte with ACK; a synced one takes
  // it as a command and refuses the second byte with NACK; one cut in the middle of a command
  // refuses the filler that completes it.
  if (byte != kStm32Ack && byte != kStm32Nack) return;
  window_.m_stm32State = kStateDrain;
  services_.StartTimer(kTimerMcuCheck, kDrainQuietMs);
}

void McuUpdate::OnCheckTimer() {
  if (waiting_for_banner_) {
    waiting_for_banner_ = false;
    services_.StopTimer(kTimerMcuCheck);
    BeginCheck(CheckPurpose::kAfterNoBanner);
    return;
  }
  if (window_.m_bStm32Mode != 1) {
    services_.StopTimer(kTimerMcuCheck);
    return;
  }
  if (window_.m_stm32State == kStateDrain) {
    if (!filler_sent_) {
      Synced();
      return;
    }
    // The filler came in pairs the bootloader refused; an odd one may still wait for its
    // complement. One sync byte more (and a second one if that is not answered) ends where
    // the last byte sent is the one refused: the bootloader then waits for a command.
    filler_sent_ = false;
    window_.m_stm32State = kStateCheck;
    g_nStm32SubStep = 0;
    port_.QueueWrite(&kStm32Sync, 1);
    services_.StartTimer(kTimerMcuCheck, kCheckAnswerMs);
    return;
  }
  if (window_.m_stm32State != kStateCheck) {
    services_.StopTimer(kTimerMcuCheck);
    return;
  }
  switch (g_nStm32SubStep) {
    case 0:
      g_nStm32SubStep = 1;
      port_.QueueWrite(&kStm32Sync, 1);
      return;
    case 1:
      if (check_purpose_ == CheckPurpose::kBeforeRequest) break;
      SendFiller();
      return;
    default:
      break;
  }
  NobodyAnswered();
}

void McuUpdate::NobodyAnswered() {
  services_.StopTimer(kTimerMcuCheck);
  switch (check_purpose_) {
    case CheckPurpose::kBeforeRequest:
      // No bootloader waits: the firmware runs and is asked to start it.
      window_.m_bStm32Mode = 0;
      running_ = false;
      if (!ReopenPort('N')) {
        FailFinally(FailureKind::kPort, "the port could not be opened again for the firmware.", {});
        return;
      }
      window_.SendIspRequest();
      waiting_for_banner_ = true;
      services_.StartTimer(kTimerMcuCheck, kBannerWaitMs);
      return;
    case CheckPurpose::kAfterNoBanner:
      if (acknowledged()) {
        window_.ClearBootloaderRequests();
        firmware_whole_ = true;  // nothing was sent to the flash
        Refuse(FailureKind::kNoBootloader,
               "Failed to update MCU firmware: neither the unit's firmware nor its bootloader "
               "answered on this port. Nothing was sent. Check the cable and that the unit is "
               "powered.");
        return;
      }
      // The written pacing keeps waiting for its banner, as the dialog always has.
      window_.m_bStm32Mode = 0;
      running_ = false;
      if (!ReopenPort('N')) window_.SetPortClosedUi();
      return;
    case CheckPurpose::kRetry:
      FailFinally(last_failure_.kind, last_failure_.why, last_failure_.address);
      return;
    case CheckPurpose::kResyncBlock:
      Fail(FailureKind::kNoAnswer,
           "the MCU's bootloader stopped answering while it wrote the "
           "block at flash address " +
               Hex32(window_.m_stm32Address) + ".",
           window_.m_stm32Address);
      return;
    case CheckPurpose::kStubFallback:
      FailFinally(FailureKind::kNoAnswer,
                  "the MCU's bootloader did not answer again after the flashing stub stopped.", {});
      return;
    case CheckPurpose::kAfterStub:
      Succeed();  // the flash is verified; the new firmware starts at the next power-up
      return;
  }
}

void McuUpdate::ResetConversation() {
  send_pending_ = false;
  failed_blocks_ = 0;
  sync_ticks_ = 0;
  verified_ = false;
  facts_ = {};
  identified_ = false;
  go_accepted_ = false;
}

void McuUpdate::Synced() {
  services_.StopTimer(kTimerMcuCheck);
  if (check_purpose_ == CheckPurpose::kAfterStub) {
    FinishImage();  // the stub left the part in its ROM bootloader: Go goes out from here
    return;
  }
  if (check_purpose_ == CheckPurpose::kResyncBlock) {
    // The bootloader waits for a command again: the block goes from its Write Memory.
    window_.m_stm32State = kStateWrite;
    g_nStm32SubStep = 0;
    ScheduleWriteCommand(0, pacing().stepTimeoutMs);
    return;
  }
  // Whatever came before, the bootloader now waits for a command: the conversation goes on as
  // after an answered sync byte. What its flash holds is not known (a stub that never erased
  // left it as it was).
  if (check_purpose_ != CheckPurpose::kRetry && check_purpose_ != CheckPurpose::kStubFallback) {
    firmware_whole_ = false;
  }
  window_.ClearBootloaderRequests();  // a banner that comes late finds nobody
  ResetConversation();
  window_.m_stm32State = kStateSync;
  g_nStm32SubStep = 0;
  Step(kStm32Ack, false);
}

}  // namespace korvelt
