// The STM32 bootloader client: synchronises with the MCU's serial bootloader, erases its flash
// and writes the image from 0x08000000 in 128-byte blocks, paced by timers 8 (sync), 9 (deferred
// send) and 10 (reply time-out).
#include "update/stm32_boot_client.h"

#include <algorithm>
#include <cstdio>

#include "app/updater_dialog.h"
#include "update/operator_texts.h"

namespace korvelt {

int g_nStm32SubStep = 0;

namespace {

constexpr int kWriteSlotBytes = 512;
constexpr unsigned kGetPauseMs = 100;
constexpr unsigned kCommandPauseMs = 50;
constexpr unsigned kShortPauseMs = 10;
constexpr unsigned kGlobalEraseDelayMs = 10;
constexpr unsigned kGlobalEraseTimeoutMs = 200;  // a missing erase answer stands as an ACK
constexpr unsigned kFirstWriteDelayMs = 2000;    // the erase of the whole flash must be over
constexpr unsigned kFirstWriteTimeoutMs = 3500;
constexpr unsigned kBlockPartDelayMs = 15;
constexpr unsigned kNextWriteDelayMs = 50;
constexpr unsigned kStepTimeoutMs = 225;
constexpr unsigned kEndCloseMs = 225;  // the port is shown closed this long after the end

constexpr const char* kSucceededNote =
    "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";

// Read Memory: after the length is acknowledged, the sub-step counts the data bytes from here.
constexpr int kReadDataSubStep = 3;
constexpr int kFlashStartReadBytes = 4;
constexpr int kFlashSizeReadBytes = 2;

enum Stm32State { kStateSync = 0, kGet, kGetId, kReadFlashStart, kReadFlashSize, kErase, kWrite };

std::string FailureText(const std::string& what) {
  return "Failed to update MCU firmware: " + what +
         "\r\nRe-power the unit (disconnect the USB cable) and try again.";
}

}  // namespace

void UpdaterDialog::SendAfter(unsigned pauseMs, std::initializer_list<uint8_t> bytes) {
  m_services.Pause(pauseMs);
  m_port.QueueWrite(bytes.begin(), static_cast<int>(bytes.size()));
}

void UpdaterDialog::Schedule(const uint8_t* bytes, int length, unsigned delayMs) {
  std::copy(bytes, bytes + length, m_stm32Tx.begin());
  m_stm32TxLen = length;
  m_bStm32SendPending = 1;
  m_services.StartTimer(kTimerStm32Send, delayMs);
}

void UpdaterDialog::Schedule(std::initializer_list<uint8_t> bytes, unsigned delayMs) {
  Schedule(bytes.begin(), static_cast<int>(bytes.size()), delayMs);
}

void UpdaterDialog::OnStm32SyncTimer() {
  static constexpr uint8_t kSyncByte = 0x7F;
  if (m_bStm32Mode == 1) {
    m_port.QueueWrite(&kSyncByte, 1);
  } else if (m_bStm32PortReopened == 0) {
    // First tick of this update: the bootloader speaks 8E1, whatever the port spoke before.
    m_cParity = 'E';
    m_bStm32PortReopened = 1;
    if (m_port.OpenPort(m_channel, m_nPortNumber, m_nBaudRate, 'E', m_nDataBits, m_nStopBits,
                        m_dwCommEvents, kWriteSlotBytes)) {
      m_port.StartMonitor();
    } else {
      // Sync bytes into a closed port would tick for ever.
      EndStm32Update(false, "the port could not be opened again for the bootloader.");
    }
  } else {
    m_port.QueueWrite(&kSyncByte, 1);
    m_bStm32Mode = 1;
    m_stm32State = kStateSync;
    g_nStm32SubStep = 0;
    m_bStm32SendPending = 0;
    m_nStm32FailedBlocks = 0;
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
    Stm32Step(kStm32Ack, true);  // a missing answer stands as an acknowledgement
  } else {
    m_bMcuUpdateRunning = 0;  // the update ends when the window shows the port closed
    m_bStm32PortReopened = 0;
    SetPortClosedUi();
  }
}

void UpdaterDialog::OnStm32Byte(uint8_t byte) {
  // An answer can only be to bytes that went out: while the next send still waits for timer
  // 9, a stray or repeated 0x79 must not count as the MCU taking bytes it never got.
  if (m_bStm32SendPending == 1 && (m_stm32State == kErase || m_stm32State == kWrite)) return;
  Stm32Step(byte, false);
}

void UpdaterDialog::Stm32Step(uint8_t byte, bool substitute) {
  const bool ack = byte == kStm32Ack;
  auto enter = [&](int state) {
    m_stm32State = state;
    g_nStm32SubStep = 0;
  };
  switch (m_stm32State) {
    case kStateSync:
      if (ack || byte == kStm32Nack) {
        SendAfter(kGetPauseMs, {0x00, 0xFF});
        m_services.StopTimer(kTimerStm32Sync);
        enter(kGet);
      }
      break;
    case kGet:
    case kGetId:
      // Two acknowledgements: the command's, then the one that ends the reply.
      if (!ack) break;
      if (g_nStm32SubStep == 0) {
        g_nStm32SubStep = 1;
      } else if (m_stm32State == kGet) {
        SendAfter(kCommandPauseMs, {0x02, 0xFD});
        enter(kGetId);
      } else {
        SendAfter(kCommandPauseMs, {0x11, 0xEE});
        enter(kReadFlashStart);
      }
      break;
    case kReadFlashStart:
      // Read 4 bytes at 0x08000000; the data bytes are counted, not kept.
      if (g_nStm32SubStep >= kReadDataSubStep) {
        // Data, whatever its value: old firmware may well hold 0x79 in its first word.
        if (++g_nStm32SubStep < kReadDataSubStep + kFlashStartReadBytes) break;
        SendAfter(kCommandPauseMs, {0x11, 0xEE});
        enter(kReadFlashSize);
      } else if (ack && g_nStm32SubStep == 0) {
        g_nStm32SubStep = 1;
        SendAfter(kCommandPauseMs, {0x08, 0x00, 0x00, 0x00, 0x08});
      } else if (ack && g_nStm32SubStep == 1) {
        g_nStm32SubStep = 2;
        SendAfter(kCommandPauseMs, {0x03, 0xFC});
      } else if (ack) {
        g_nStm32SubStep = kReadDataSubStep;  // the length is taken: the data follows
      }
      break;
    case kReadFlashSize:
      // Read 2 bytes at 0x1FFFF7E0, the flash size.
      if (g_nStm32SubStep >= kReadDataSubStep) {
        if (++g_nStm32SubStep < kReadDataSubStep + kFlashSizeReadBytes) break;
        SendAfter(kShortPauseMs, {0x43, 0xBC});
        enter(kErase);
      } else if (ack && g_nStm32SubStep == 0) {
        g_nStm32SubStep = 1;
        SendAfter(kCommandPauseMs, {0x1F, 0xFF, 0xF7, 0xE0, 0xF7});
      } else if (ack && g_nStm32SubStep == 1) {
        g_nStm32SubStep = 2;
        SendAfter(kShortPauseMs, {0x01, 0xFE});
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
        Schedule({0xFF, 0x00}, kGlobalEraseDelayMs);
        m_services.StartTimer(kTimerStm32Reply, kGlobalEraseTimeoutMs);
      } else {
        m_stm32Address = kStm32FlashStart;
        m_imagePos = 0;
        m_stm32BlockStart = 0;
        m_stm32Attempts = 1;
        enter(kWrite);
        ScheduleWriteCommand(kFirstWriteDelayMs, kFirstWriteTimeoutMs);
      }
      break;
    case kWrite:
      Stm32WriteStep(byte, substitute);
      break;
    default:
      break;
  }
}

void UpdaterDialog::ScheduleWriteCommand(unsigned delayMs, unsigned replyTimeoutMs) {
  Schedule({0x31, 0xCE}, delayMs);
  m_services.StartTimer(kTimerStm32Reply, replyTimeoutMs);
}

void UpdaterDialog::Stm32WriteStep(uint8_t byte, bool substitute) {
  if (byte == kStm32Nack && !substitute) {
    RetryStm32Block();  // the command, its address or its data was refused
    return;
  }
  if (byte != kStm32Ack) return;
  switch (g_nStm32SubStep) {
    case 0: {  // Write Memory accepted: the block's address next
      g_nStm32SubStep = 1;
      const uint32_t a = m_stm32Address;
      const uint8_t address[5] = {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                                  static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                                  static_cast<uint8_t>((a >> 24) ^ (a >> 16) ^ (a >> 8) ^ a)};
      Schedule(address, sizeof address, kBlockPartDelayMs);
      m_services.StartTimer(kTimerStm32Reply, kStepTimeoutMs);
      break;
    }
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
  m_stm32Tx[0] = kStm32BlockBytes - 1;
  m_imagePos = m_stm32BlockStart;
  int filled = 0;
  while (filled < kStm32BlockBytes && static_cast<uint32_t>(m_imagePos) < m_imageSize) {
    m_stm32Tx[static_cast<std::size_t>(1 + filled)] =
        m_pImage[static_cast<std::size_t>(m_imagePos)];
    ++filled;
    ++m_imagePos;
  }
  std::fill(m_stm32Tx.begin() + 1 + filled, m_stm32Tx.begin() + 1 + kStm32BlockBytes, 0xFF);
  uint8_t checksum = 0;
  for (int i = 0; i <= kStm32BlockBytes; ++i) checksum ^= m_stm32Tx[static_cast<std::size_t>(i)];
  m_stm32Tx[kStm32BlockBytes + 1] = checksum;
  m_stm32TxLen = kStm32BlockBytes + 2;
  m_bStm32SendPending = 1;
  m_services.StartTimer(kTimerStm32Send, kBlockPartDelayMs);
  // The final block's data gets its time-out like every other step, so the end always comes.
  m_services.StartTimer(kTimerStm32Reply, kStepTimeoutMs);
  if (static_cast<uint32_t>(m_imagePos) < m_imageSize) {
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
  ScheduleWriteCommand(kNextWriteDelayMs, kStepTimeoutMs);
}

void UpdaterDialog::FinishStm32Block(bool accepted) {
  if (!accepted && m_nStm32FailedBlocks++ == 0) m_stm32FirstFailedAddress = m_stm32Address;
  const uint32_t blockEnd = static_cast<uint32_t>(m_stm32BlockStart) + kStm32BlockBytes;
  if (blockEnd >= m_imageSize) {
    if (m_nStm32FailedBlocks == 0) {
      EndStm32Update(true, {});
    } else {
      char address[16];
      std::snprintf(address, sizeof address, "0x%08X", m_stm32FirstFailedAddress);
      EndStm32Update(false, std::to_string(m_nStm32FailedBlocks) + " block(s) were not written, " +
                                "the first at flash address " + address + ".");
    }
    return;
  }
  m_stm32BlockStart = static_cast<int>(blockEnd);
  m_imagePos = m_stm32BlockStart;
  m_stm32Address += kStm32BlockBytes;
  m_stm32Attempts = 1;
  g_nStm32SubStep = 0;
  ScheduleWriteCommand(kNextWriteDelayMs, kStepTimeoutMs);
}

void UpdaterDialog::EndStm32Update(bool succeeded, const std::string& failure) {
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
    m_strNote = kSucceededNote;
    UpdateData(false);
    m_services.OperationEnded(OperationEvent::kMcuUpdateSucceeded);
    return;
  }
  m_strWait = " ";
  m_strNote = kMcuFailedNote;
  UpdateData(false);
  m_services.MessageBox(FailureText(failure), kCaptionIsp);
  m_services.OperationEnded(OperationEvent::kMcuUpdateFailed);
}

}  // namespace korvelt
