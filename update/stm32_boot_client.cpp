// The STM32 bootloader client's window side: the received bytes and timers 8, 9 and 10 go to
// the window's MCU update; and the two pacings' tables.
#include "update/stm32_boot_client.h"

#include "app/updater_dialog.h"

namespace korvelt {

int g_nStm32SubStep = 0;

namespace {

// The acknowledged pacing's time-outs. A command's reply comes within ms; 1 s covers adapters.
constexpr unsigned kReplyTimeoutMs = 1000;
// Mass erase takes 20-40 ms on an F1 and up to seconds on larger parts.
constexpr unsigned kEraseTimeoutMs = 5000;
// A 256-byte block programs in 5-9 ms (16-bit writes of 40-70 us): 1 s covers any part.
constexpr unsigned kBlockTimeoutMs = 1000;
// The bootloader starts within ms of the reset; 5 s of sync bytes means it is not there.
constexpr unsigned kSyncGiveUpMs = 5000;
// Longer than a bootloader's answer takes through a USB adapter (up to 16 ms each way): a
// second sync byte before the first one's answer would be taken as a command.
constexpr unsigned kSyncResendMs = 100;

constexpr Stm32PacingTable kWrittenPacing = {
    .getPauseMs = 100,
    .commandPauseMs = 50,
    .shortPauseMs = 10,
    .eraseListDelayMs = 10,
    .firstWriteDelayMs = 2000,  // the erase of the whole flash must be over
    .blockPartDelayMs = 15,
    .nextWriteDelayMs = 50,
    .replyTimeoutMs = 0,
    .eraseCommandTimeoutMs = 0,
    .eraseTimeoutMs = 200,  // a missing erase answer stands as an ACK
    .firstWriteTimeoutMs = 3500,
    .stepTimeoutMs = 225,
    .syncGiveUpMs = 0,
    .syncResendMs = kStm32SyncTickMs,
    .blockBytes = kStm32BlockBytes,
};

constexpr Stm32PacingTable kAcknowledgedPacing = {
    .getPauseMs = 0,
    .commandPauseMs = 0,
    .shortPauseMs = 0,
    .eraseListDelayMs = 0,
    .firstWriteDelayMs = 0,
    .blockPartDelayMs = 0,
    .nextWriteDelayMs = 0,
    .replyTimeoutMs = kReplyTimeoutMs,
    .eraseCommandTimeoutMs = kReplyTimeoutMs,
    .eraseTimeoutMs = kEraseTimeoutMs,
    .firstWriteTimeoutMs = kBlockTimeoutMs,
    .stepTimeoutMs = kBlockTimeoutMs,
    .syncGiveUpMs = kSyncGiveUpMs,
    .syncResendMs = kSyncResendMs,
    .blockBytes = kStm32MaxTransferBytes,
};

}  // namespace

const Stm32PacingTable& PacingTable(Stm32Pacing pacing) {
  return pacing == Stm32Pacing::kAcknowledged ? kAcknowledgedPacing : kWrittenPacing;
}

void UpdaterDialog::OnStm32Byte(uint8_t byte) {
  mcu_update_.OnByte(byte);
}

}  // namespace korvelt
