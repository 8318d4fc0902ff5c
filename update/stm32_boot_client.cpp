// The STM32 bootloader client: synchronises with the MCU's serial bootloader, erases its flash,
// writes the image from 0x08000000 and may read it back, paced by timers 8 (sync), 9 (deferred
// send) and 10 (reply time-out). Two pacings share the states: the written one (128-byte
// blocks, fixed pauses) and the acknowledged one (256-byte blocks, each step on its answer).
#include "update/stm32_boot_client.h"

#include <algorithm>
#include <cstdio>

#include "app/updater_dialog.h"
#include "update/operator_texts.h"

namespace korvelt {

int g_nStm32SubStep = 0;

namespace {

constexpr int kWriteSlotBytes = 512;
constexpr unsigned kEndCloseMs = 225;  // the port is shown closed this long after the end

// The acknowledged pacing's time-outs. A command's reply comes within ms; 1 s covers adapters.
constexpr unsigned kReplyTimeoutMs = 1000;
// Mass erase takes 20-40 ms on an F1 and up to seconds on larger parts.
constexpr unsigned kEraseTimeoutMs = 5000;
// A 256-byte block programs in 5-9 ms (16-bit writes of 40-70 us): 1 s covers any part.
constexpr unsigned kBlockTimeoutMs = 1000;
// The bootloader starts within ms of the reset; 5 s of sync bytes means it is not there.
constexpr unsigned kSyncGiveUpMs = 5000;

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
    .blockBytes = kStm32BlockBytes,
    .timeoutIsFailure = false,
    .refusalIsFailure = false,
    .syncOnReopenTick = false,
    .skipErasedBlocks = false,
    .stopAtFailedBlock = false,
    .alignBlocksToWords = false,
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
    .blockBytes = kStm32MaxWriteBytes,
    .timeoutIsFailure = true,
    .refusalIsFailure = true,
    .syncOnReopenTick = true,
    .skipErasedBlocks = true,
    .stopAtFailedBlock = true,
    .alignBlocksToWords = true,
};

constexpr const char* kSucceededNote =
    "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";
constexpr const char* kVerifyingWait = "Verifying...";

// Read Memory: after the length is acknowledged, the sub-step counts the data bytes from here.
constexpr int kReadDataSubStep = 3;
constexpr int kFlashStartReadBytes = 4;
constexpr int kFlashSizeReadBytes = 2;
// The Get reply lists at most a few dozen commands; anything longer is not a reply.
constexpr std::size_t kMaxReplyBytes = 64;
constexpr uint8_t kEraseCommand = 0x43;
constexpr uint8_t kExtendedEraseCommand = 0x44;

enum Stm32State {
  kStateSync = 0,
  kGet,
  kGetId,
  kReadFlashStart,
  kReadFlashSize,
  kErase,
  kWrite,
  kVerify
};

std::string FailureText(const std::string& what) {
  return "Failed to update MCU firmware: " + what +
         "\r\nRe-power the unit (disconnect the USB cable) and try again.";
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace

const Stm32PacingTable& PacingTable(Stm32Pacing pacing) {
  return pacing == Stm32Pacing::kAcknowledged ? kAcknowledgedPacing : kWrittenPacing;
}

void UpdaterDialog::SendAfter(unsigned pauseMs, std::initializer_list<uint8_t> bytes) {
  if (pauseMs > 0) m_services.Pause(pauseMs);
  m_port.QueueWrite(bytes.begin(), static_cast<int>(bytes.size()));
}

void UpdaterDialog::Schedule(const uint8_t* bytes, int length, unsigned delayMs) {
  std::copy(bytes, bytes + length, m_stm32Tx.begin());
  m_stm32TxLen = length;
  SendStm32Tx(delayMs);
}

void UpdaterDialog::Schedule(std::initializer_list<uint8_t> bytes, unsigned delayMs) {
  Schedule(bytes.begin(), static_cast<int>(bytes.size()), delayMs);
}

void UpdaterDialog::SendStm32Tx(unsigned delayMs) {
  if (delayMs == 0) {
    m_port.QueueWrite(m_stm32Tx.data(), m_stm32TxLen);
    return;
  }
  m_bStm32SendPending = 1;
  m_services.StartTimer(kTimerStm32Send, delayMs);
}

void UpdaterDialog::ArmStm32Reply(unsigned timeoutMs) {
  if (timeoutMs > 0) m_services.StartTimer(kTimerStm32Reply, timeoutMs);
}

void UpdaterDialog::EnterStm32Sync() {
  static constexpr uint8_t kSyncByte = 0x7F;
  m_port.QueueWrite(&kSyncByte, 1);
  m_bStm32Mode = 1;
  m_stm32State = kStateSync;
  g_nStm32SubStep = 0;
  m_bStm32SendPending = 0;
  m_nStm32FailedBlocks = 0;
  m_nStm32SyncTicks = 0;
  m_bStm32Verified = 0;
  m_bStm32ExtendedErase = 0;
  m_stm32BootloaderVersion = 0;
  m_stm32ProductId = 0;
  m_stm32FlashKib = 0;
}

void UpdaterDialog::OnStm32SyncTimer() {
  static constexpr uint8_t kSyncByte = 0x7F;
  if (m_bStm32Mode == 1) {
    const unsigned giveUp = Pacing().syncGiveUpMs;
    if (giveUp > 0 && ++m_nStm32SyncTicks * kStm32SyncTickMs >= giveUp) {
      EndStm32Update(false, "the MCU's bootloader did not answer its synchronisation byte for " +
                                std::to_string(giveUp / 1000) + " s.");
      return;
    }
    m_port.QueueWrite(&kSyncByte, 1);
  } else if (m_bStm32PortReopened == 0) {
    // First tick of this update: the bootloader speaks 8E1, whatever the port spoke before.
    m_cParity = 'E';
    m_bStm32PortReopened = 1;
    if (m_port.OpenPort(m_channel, m_nPortNumber, m_nBaudRate, 'E', m_nDataBits, m_nStopBits,
                        m_dwCommEvents, kWriteSlotBytes)) {
      m_port.StartMonitor();
      if (Pacing().syncOnReopenTick) EnterStm32Sync();
    } else {
      // Sync bytes into a closed port would tick for ever.
      EndStm32Update(false, "the port could not be opened again for the bootloader.");
    }
  } else {
    EnterStm32Sync();
  }
}

void UpdaterDialog::OnStm32SendTimer() {
  m_bStm32SendPending = 0;
  m_port.QueueWrite(m_stm32Tx.data(), m_stm32TxLen);
  m_services.StopTimer(kTimerStm32Send);
}

void UpdaterDialog::OnStm32ReplyTimer() {
  m_services.StopTimer(kTimerStm32Reply);
  if (m_bStm32Mode == 1) {
    if (Pacing().timeoutIsFailure || m_stm32State == kVerify) {
      Stm32TimedOut();
    } else {
      Stm32Step(kStm32Ack, true);  // a missing answer stands as an acknowledgement
    }
  } else {
    m_bMcuUpdateRunning = 0;  // the update ends when the window shows the port closed
    m_bStm32PortReopened = 0;
    SetPortClosedUi();
  }
}

void UpdaterDialog::Stm32TimedOut() {
  switch (m_stm32State) {
    case kGet:
      EndStm32Update(false, "the MCU did not answer the Get command.");
      break;
    case kGetId:
      EndStm32Update(false, "the MCU did not answer the Get ID command.");
      break;
    case kReadFlashStart:
    case kReadFlashSize:
      EndStm32Update(false, "the MCU did not answer the Read Memory command.");
      break;
    case kErase:
      EndStm32Update(false, g_nStm32SubStep == 0
                                ? "the MCU did not answer the erase command."
                                : "the MCU did not finish erasing its flash within " +
                                      std::to_string(kEraseTimeoutMs / 1000) + " s.");
      break;
    case kWrite:
      RetryStm32Block();
      break;
    case kVerify:
      EndStm32Update(
          false, "the MCU did not answer a read of its flash at " +
                     Hex32(kStm32FlashStart + m_stm32VerifyReads[m_stm32VerifyIndex].begin) + ".");
      break;
    default:
      break;
  }
}

bool UpdaterDialog::Stm32Refused(uint8_t byte, const char* command) {
  if (byte != kStm32Nack || !Pacing().refusalIsFailure) return false;
  EndStm32Update(false, std::string("the MCU refused the ") + command + ".");
  return true;
}

void UpdaterDialog::OnStm32Byte(uint8_t byte) {
  // An answer can only be to bytes that went out: while the next send still waits for timer
  // 9, a stray or repeated 0x79 must not count as the MCU taking bytes it never got.
  if (m_bStm32SendPending == 1 && (m_stm32State == kErase || m_stm32State == kWrite)) return;
  Stm32Step(byte, false);
}

void UpdaterDialog::Stm32Step(uint8_t byte, bool substitute) {
  const bool ack = byte == kStm32Ack;
  const Stm32PacingTable& pacing = Pacing();
  auto enter = [&](int state) {
    m_stm32State = state;
    g_nStm32SubStep = 0;
  };
  switch (m_stm32State) {
    case kStateSync:
      if (ack || byte == kStm32Nack) {
        SendAfter(pacing.getPauseMs, {0x00, 0xFF});
        m_services.StopTimer(kTimerStm32Sync);
        enter(kGet);
        ArmStm32Reply(pacing.replyTimeoutMs);
      }
      break;
    case kGet:
    case kGetId:
      Stm32ReplyStep(byte, ack);
      break;
    case kReadFlashStart:
      // Read 4 bytes at 0x08000000; the data bytes are counted, not kept.
      if (g_nStm32SubStep >= kReadDataSubStep) {
        // Data, whatever its value: old firmware may well hold 0x79 in its first word.
        if (++g_nStm32SubStep < kReadDataSubStep + kFlashStartReadBytes) break;
        SendAfter(pacing.commandPauseMs, {0x11, 0xEE});
        enter(kReadFlashSize);
        ArmStm32Reply(pacing.replyTimeoutMs);
      } else if (Stm32Refused(byte, "Read Memory command")) {
      } else if (ack && g_nStm32SubStep == 0) {
        g_nStm32SubStep = 1;
        SendAfter(pacing.commandPauseMs, {0x08, 0x00, 0x00, 0x00, 0x08});
        ArmStm32Reply(pacing.replyTimeoutMs);
      } else if (ack && g_nStm32SubStep == 1) {
        g_nStm32SubStep = 2;
        SendAfter(pacing.commandPauseMs, {0x03, 0xFC});
        ArmStm32Reply(pacing.replyTimeoutMs);
      } else if (ack) {
        g_nStm32SubStep = kReadDataSubStep;  // the length is taken: the data follows
      }
      break;
    case kReadFlashSize:
      // Read 2 bytes at 0x1FFFF7E0: the flash size in KiB, low byte first.
      if (g_nStm32SubStep >= kReadDataSubStep) {
        const int index = g_nStm32SubStep - kReadDataSubStep;
        m_stm32FlashKib = index == 0 ? byte : m_stm32FlashKib | uint32_t{byte} << 8;
        if (++g_nStm32SubStep < kReadDataSubStep + kFlashSizeReadBytes) break;
        StartStm32Erase();
      } else if (Stm32Refused(byte, "Read Memory command")) {
      } else if (ack && g_nStm32SubStep == 0) {
        g_nStm32SubStep = 1;
        SendAfter(pacing.commandPauseMs, {0x1F, 0xFF, 0xF7, 0xE0, 0xF7});
        ArmStm32Reply(pacing.replyTimeoutMs);
      } else if (ack && g_nStm32SubStep == 1) {
        g_nStm32SubStep = 2;
        SendAfter(pacing.shortPauseMs, {0x01, 0xFE});
        ArmStm32Reply(pacing.replyTimeoutMs);
      } else if (ack) {
        g_nStm32SubStep = kReadDataSubStep;
      }
      break;
    case kErase:
      m_strWait = " ";
      if (byte == kStm32Nack && !substitute) {
        // The flash was not erased: writing now could only leave a broken image.
        EndStm32Update(false, g_nStm32SubStep == 0 ? "the MCU refused the erase command."
                                                   : "the MCU refused to erase its flash.");
        break;
      }
      if (!ack) break;
      if (g_nStm32SubStep == 0) {
        g_nStm32SubStep = 1;
        if (m_bStm32ExtendedErase == 1) {
          Schedule({0xFF, 0xFF, 0x00}, pacing.eraseListDelayMs);  // mass erase
        } else {
          Schedule({0xFF, 0x00}, pacing.eraseListDelayMs);  // global erase
        }
        ArmStm32Reply(pacing.eraseTimeoutMs);
      } else {
        StartStm32Writes();
      }
      break;
    case kWrite:
      Stm32WriteStep(byte, substitute);
      break;
    case kVerify:
      Stm32VerifyStep(byte);
      break;
    default:
      break;
  }
}

void UpdaterDialog::Stm32ReplyStep(uint8_t byte, bool ack) {
  const Stm32PacingTable& pacing = Pacing();
  const bool get = m_stm32State == kGet;
  if (g_nStm32SubStep == 0) {
    // The command's acknowledgement; the reply and its own acknowledgement follow.
    if (ack) {
      g_nStm32SubStep = 1;
      m_stm32Reply.clear();
    } else {
      Stm32Refused(byte, get ? "Get command" : "Get ID command");
    }
    return;
  }
  // The reply's first byte says how many follow (less one). With time-outs a 0x79 ends the
  // reply only after them (a product ID may hold 0x79); without, a lost byte would leave the
  // closing 0x79 taken as data and the wait never ending, so any 0x79 ends it.
  const bool complete = !m_stm32Reply.empty() && m_stm32Reply.size() >= m_stm32Reply[0] + 2u;
  if (!ack || (pacing.timeoutIsFailure && !complete)) {
    if (m_stm32Reply.size() < kMaxReplyBytes) m_stm32Reply.push_back(byte);
    return;
  }
  if (get) {
    const auto& r = m_stm32Reply;
    m_stm32BootloaderVersion = r.size() >= 2 ? r[1] : 0;
    // A short reply (a lost byte in the written pacing) offers no commands: Erase 0x43 stays.
    const auto commands = r.size() > 2 ? r.begin() + 2 : r.end();
    const bool erase = std::find(commands, r.end(), kEraseCommand) != r.end();
    const bool extended = std::find(commands, r.end(), kExtendedEraseCommand) != r.end();
    m_bStm32ExtendedErase = !erase && extended ? 1 : 0;
    SendAfter(pacing.commandPauseMs, {0x02, 0xFD});
  } else {
    if (m_stm32Reply.size() >= 3) {
      m_stm32ProductId = static_cast<uint16_t>(m_stm32Reply[1] << 8 | m_stm32Reply[2]);
    }
    SendAfter(pacing.commandPauseMs, {0x11, 0xEE});
  }
  m_stm32State = get ? kGetId : kReadFlashStart;
  g_nStm32SubStep = 0;
  ArmStm32Reply(pacing.replyTimeoutMs);
}

void UpdaterDialog::StartStm32Erase() {
  m_services.OperationEnded(OperationEvent::kMcuIdentified);
  // 0 and 0xFFFF: the part has no size register there, or it is blank; nothing to check.
  const bool sizeKnown = m_stm32FlashKib != 0 && m_stm32FlashKib != 0xFFFF;
  if (sizeKnown && uint64_t{m_imageSize} > uint64_t{m_stm32FlashKib} * 1024) {
    EndStm32Update(false,
                   "The image is " + std::to_string(m_imageSize) + " bytes; the MCU has " +
                       std::to_string(m_stm32FlashKib) + " KiB of flash. Nothing was erased.",
                   true);
    return;
  }
  if (m_bStm32ExtendedErase == 1) {
    SendAfter(Pacing().shortPauseMs, {kExtendedEraseCommand, 0xBB});
  } else {
    SendAfter(Pacing().shortPauseMs, {kEraseCommand, 0xBC});
  }
  m_stm32State = kErase;
  g_nStm32SubStep = 0;
  ArmStm32Reply(Pacing().eraseCommandTimeoutMs);
}

void UpdaterDialog::PlanStm32Blocks() {
  const Stm32PacingTable& pacing = Pacing();
  const uint32_t size = static_cast<uint32_t>(pacing.blockBytes);
  std::vector<McuRange> ranges = m_mcuRanges;
  if (ranges.empty() && m_imageSize > 0) ranges = {{0, m_imageSize}};
  m_stm32Blocks.clear();
  m_stm32CheckedBlocks.clear();
  std::size_t first = 0;
  for (uint64_t window = 0; window < m_imageSize; window += size) {
    const uint64_t windowEnd = window + size;
    while (first < ranges.size() && ranges[first].end <= window) ++first;
    uint64_t low = windowEnd, high = window;
    for (std::size_t k = first; k < ranges.size() && ranges[k].begin < windowEnd; ++k) {
      low = std::min<uint64_t>(low, std::max<uint64_t>(ranges[k].begin, window));
      high = std::max<uint64_t>(high, std::min<uint64_t>(ranges[k].end, windowEnd));
    }
    if (low >= high) continue;  // a gap: it stays as the erase left it
    McuRange block{static_cast<uint32_t>(window), static_cast<uint32_t>(windowEnd)};
    if (pacing.alignBlocksToWords) {
      // Write Memory wants word-aligned addresses and lengths; the tail is padded with 0xFF.
      block = {static_cast<uint32_t>(low & ~uint64_t{3}),
               static_cast<uint32_t>((high + 3) & ~uint64_t{3})};
    }
    m_stm32CheckedBlocks.push_back(block);
    if (pacing.skipErasedBlocks) {
      const auto begin = m_pImage.begin() + block.begin;
      const auto end = m_pImage.begin() + std::min(block.end, m_imageSize);
      if (std::all_of(begin, end, [](uint8_t b) { return b == 0xFF; })) continue;
    }
    m_stm32Blocks.push_back(block);
  }
}

void UpdaterDialog::StartStm32Writes() {
  PlanStm32Blocks();
  m_stm32BlockIndex = 0;
  m_imagePos = 0;
  m_stm32Attempts = 1;
  m_stm32State = kWrite;
  g_nStm32SubStep = 0;
  if (m_stm32Blocks.empty()) {  // every byte is 0xFF: the erase wrote the image
    FinishStm32Writes();
    return;
  }
  m_stm32BlockStart = static_cast<int>(m_stm32Blocks[0].begin);
  m_stm32Address = kStm32FlashStart + m_stm32Blocks[0].begin;
  ScheduleWriteCommand(Pacing().firstWriteDelayMs, Pacing().firstWriteTimeoutMs);
}

void UpdaterDialog::ScheduleWriteCommand(unsigned delayMs, unsigned replyTimeoutMs) {
  Schedule({0x31, 0xCE}, delayMs);
  ArmStm32Reply(replyTimeoutMs);
}

void UpdaterDialog::SendStm32Address(uint32_t a, unsigned delayMs) {
  const uint8_t address[5] = {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                              static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                              static_cast<uint8_t>((a >> 24) ^ (a >> 16) ^ (a >> 8) ^ a)};
  Schedule(address, sizeof address, delayMs);
}

void UpdaterDialog::Stm32WriteStep(uint8_t byte, bool substitute) {
  if (byte == kStm32Nack && !substitute) {
    RetryStm32Block();  // the command, its address or its data was refused
    return;
  }
  if (byte != kStm32Ack) return;
  switch (g_nStm32SubStep) {
    case 0:  // Write Memory accepted: the block's address next
      g_nStm32SubStep = 1;
      SendStm32Address(m_stm32Address, Pacing().blockPartDelayMs);
      ArmStm32Reply(Pacing().stepTimeoutMs);
      break;
    case 1:  // address accepted: the data next
      g_nStm32SubStep = 2;
      BuildAndScheduleDataBlock();
      break;
    default:  // the data: written only if the MCU itself said so
      FinishStm32Block(!substitute);
      break;
  }
}

void UpdaterDialog::BuildAndScheduleDataBlock() {
  const McuRange& block = m_stm32Blocks[m_stm32BlockIndex];
  const int length = static_cast<int>(block.end - block.begin);
  m_stm32Tx[0] = static_cast<uint8_t>(length - 1);
  for (int i = 0; i < length; ++i) {
    const uint32_t offset = block.begin + static_cast<uint32_t>(i);
    m_stm32Tx[static_cast<std::size_t>(1 + i)] = offset < m_imageSize ? m_pImage[offset] : 0xFF;
  }
  m_imagePos = static_cast<int>(std::min(block.end, m_imageSize));
  uint8_t checksum = 0;
  for (int i = 0; i <= length; ++i) checksum ^= m_stm32Tx[static_cast<std::size_t>(i)];
  m_stm32Tx[static_cast<std::size_t>(length + 1)] = checksum;
  m_stm32TxLen = length + 2;
  SendStm32Tx(Pacing().blockPartDelayMs);
  // The final block's data gets its time-out like every other step, so the end always comes.
  ArmStm32Reply(Pacing().stepTimeoutMs);
  if (m_stm32BlockIndex + 1 < m_stm32Blocks.size()) {
    m_fProgress = static_cast<float>(100.0 * m_imagePos / m_imageSize);
    UpdateData(false);
  }
}

void UpdaterDialog::RetryStm32Block() {
  if (m_stm32Attempts >= kStm32MaxBlockAttempts) {
    FinishStm32Block(false);
    return;
  }
  ++m_stm32Attempts;
  m_imagePos = m_stm32BlockStart;
  g_nStm32SubStep = 0;
  ScheduleWriteCommand(Pacing().nextWriteDelayMs, Pacing().stepTimeoutMs);
}

void UpdaterDialog::FinishStm32Block(bool accepted) {
  if (!accepted) {
    if (m_nStm32FailedBlocks++ == 0) m_stm32FirstFailedAddress = m_stm32Address;
    if (Pacing().stopAtFailedBlock) {
      EndStm32Update(false, "the MCU did not take the block at flash address " +
                                Hex32(m_stm32Address) + " in " +
                                std::to_string(kStm32MaxBlockAttempts) + " tries.");
      return;
    }
  }
  if (++m_stm32BlockIndex >= m_stm32Blocks.size()) {
    FinishStm32Writes();
    return;
  }
  const McuRange& next = m_stm32Blocks[m_stm32BlockIndex];
  m_stm32BlockStart = static_cast<int>(next.begin);
  m_imagePos = m_stm32BlockStart;
  m_stm32Address = kStm32FlashStart + next.begin;
  m_stm32Attempts = 1;
  g_nStm32SubStep = 0;
  ScheduleWriteCommand(Pacing().nextWriteDelayMs, Pacing().stepTimeoutMs);
}

void UpdaterDialog::FinishStm32Writes() {
  if (m_nStm32FailedBlocks != 0) {
    EndStm32Update(false, std::to_string(m_nStm32FailedBlocks) + " block(s) were not written, " +
                              "the first at flash address " + Hex32(m_stm32FirstFailedAddress) +
                              ".");
  } else if (m_bStm32Verify == 1) {
    StartStm32Verify();
  } else {
    EndStm32Update(true, {});
  }
}

void UpdaterDialog::StartStm32Verify() {
  // Blocks that touch are read as one range, in reads of at most 256 bytes. The blocks left
  // to the erase are read too: a page the erase did not clear keeps its old bytes.
  std::vector<McuRange> merged;
  for (const McuRange& block : m_stm32CheckedBlocks) {
    if (!merged.empty() && merged.back().end == block.begin) {
      merged.back().end = block.end;
    } else {
      merged.push_back(block);
    }
  }
  m_stm32VerifyReads.clear();
  for (const McuRange& range : merged) {
    for (uint32_t at = range.begin; at < range.end; at += kStm32MaxWriteBytes) {
      m_stm32VerifyReads.push_back({at, std::min<uint32_t>(at + kStm32MaxWriteBytes, range.end)});
    }
  }
  m_stm32VerifyIndex = 0;
  m_stm32VerifiedBytes = 0;
  m_stm32State = kVerify;
  g_nStm32SubStep = 0;
  // The wait text first: a front end that follows the progress knows what it counts now.
  m_strWait = kVerifyingWait;
  UpdateData(false);
  m_fProgress = 0;
  SendStm32VerifyRead();
}

void UpdaterDialog::SendStm32VerifyRead() {
  if (m_stm32VerifyIndex >= m_stm32VerifyReads.size()) {
    m_bStm32Verified = 1;
    EndStm32Update(true, {});
    return;
  }
  g_nStm32SubStep = 0;
  SendAfter(0, {0x11, 0xEE});
  ArmStm32Reply(kReplyTimeoutMs);
}

void UpdaterDialog::Stm32VerifyStep(uint8_t byte) {
  const McuRange& read = m_stm32VerifyReads[m_stm32VerifyIndex];
  const uint32_t length = read.end - read.begin;
  if (g_nStm32SubStep < kReadDataSubStep) {
    if (byte != kStm32Ack) {
      EndStm32Update(false, "the MCU refused to read its flash at " +
                                Hex32(kStm32FlashStart + read.begin) + ".");
      return;
    }
    if (g_nStm32SubStep == 0) {
      SendStm32Address(kStm32FlashStart + read.begin, 0);
    } else if (g_nStm32SubStep == 1) {
      const uint8_t count = static_cast<uint8_t>(length - 1);
      SendAfter(0, {count, static_cast<uint8_t>(count ^ 0xFF)});
    }
    ++g_nStm32SubStep;
    ArmStm32Reply(kReplyTimeoutMs);
    return;
  }
  const uint32_t offset = read.begin + static_cast<uint32_t>(g_nStm32SubStep - kReadDataSubStep);
  const uint8_t expected = offset < m_imageSize ? m_pImage[offset] : 0xFF;
  if (byte != expected) {
    // The bootloader acknowledges writes to protected pages without programming them.
    EndStm32Update(false, "the flash at " + Hex32(kStm32FlashStart + offset) +
                              " does not hold the image after writing (is the page "
                              "write-protected?).");
    return;
  }
  if (++g_nStm32SubStep < kReadDataSubStep + static_cast<int>(length)) return;
  m_stm32VerifiedBytes += length;
  uint32_t total = 0;
  for (const McuRange& r : m_stm32VerifyReads) total += r.end - r.begin;
  m_fProgress = static_cast<float>(100.0 * m_stm32VerifiedBytes / total);
  UpdateData(false);
  ++m_stm32VerifyIndex;
  SendStm32VerifyRead();
}

void UpdaterDialog::EndStm32Update(bool succeeded, const std::string& failure, bool wholeText) {
  m_bStm32Mode = 0;
  m_cParity = 'N';  // the next port opened speaks 8N1 again; the next update reopens with 8E1
  g_nStm32SubStep = 0;
  m_bStm32SendPending = 0;
  m_services.StopTimer(kTimerStm32Send);
  m_services.StopTimer(kTimerStm32Sync);
  // Timer 10 finds the client ended and shows the port closed.
  m_services.StartTimer(kTimerStm32Reply, kEndCloseMs);
  if (succeeded) {
    m_fProgress = 100.0f;
    m_strWait = " ";
    m_strNote = kSucceededNote;
    UpdateData(false);
    m_services.OperationEnded(OperationEvent::kMcuUpdateSucceeded);
    return;
  }
  m_strWait = " ";
  m_strNote = kMcuFailedNote;
  UpdateData(false);
  m_services.MessageBox(wholeText ? failure : FailureText(failure), kCaptionIsp);
  m_services.OperationEnded(OperationEvent::kMcuUpdateFailed);
}

}  // namespace korvelt
