// Block upload: an image cut into 256-byte blocks, each sent in command 0x7878 and paced by
// the unit's acknowledgements (command 0xFFFF): status 0 sends the next block, anything else
// the same block again.
#include "update/block_upload.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "app/updater_dialog.h"
#include "protocol/frame.h"
#include "update/operator_texts.h"

namespace korvelt {

uint8_t g_bUploadFinished = 0;

namespace {

constexpr const char* kUploadSucceededNote =
    "Note: Succeed to update \rFPGA firmware. Disconnect\r\n USB cable and re-power!";
constexpr unsigned kBulkStartTimerMs = 7000;
constexpr std::size_t kPacketDataOffset = 4;
constexpr std::size_t kBulkHeaderBytes = 9;
constexpr std::size_t kBulkDataOffset = 13;
constexpr int kBlockPacketPayload = 260;

float Percent(uint64_t done, uint64_t total) {
  return static_cast<float>(static_cast<double>(done) / static_cast<double>(total) * 100.0);
}

}  // namespace

void UpdaterDialog::SetUploadKind(UploadKind kind) {
  m_bFpgaUpload = kind == UploadKind::kFpga;
  m_bAuxFpgaUpload = kind == UploadKind::kAuxFpga;
  m_bNandUpload = kind == UploadKind::kNand;
  m_bDataFlashUpload = kind == UploadKind::kDataFlash;
}

bool UpdaterDialog::ImageFitsBlockNumbers() {
  if (m_imageSize <= kMaxUploadBytes) return true;
  Refuse("The image has " + std::to_string(m_imageSize) +
             " bytes, but at most 16777216 bytes (65536 blocks of 256 bytes) can be written: "
             "larger images would overwrite their own beginning on the unit. Nothing was sent.",
         kCaptionIsp, FailureKind::kImageTooLarge);
  return false;
}

std::size_t UpdaterDialog::PackBlock(uint8_t* data) {
  const std::size_t position = static_cast<std::size_t>(m_imagePos);
  const std::size_t count =
      position < m_imageSize ? std::min<std::size_t>(kBlockDataBytes, m_imageSize - position) : 0;
  if (count > 0) std::memcpy(data, m_pImage.data() + position, count);
  std::memset(data + count, 0x00, kBlockDataBytes - count);  // a short final block is padded
  return count;
}

void UpdaterDialog::OnGeneratorFpga() {
  StartFpgaUpload(0, kConfirmGenerator, kGeneratorFpgaImage);
}

void UpdaterDialog::OnAnalyzerFpga() {
  StartFpgaUpload(1, kConfirmAnalyzer, kAnalyzerFpgaImage);
}

void UpdaterDialog::StartFpgaUpload(uint8_t deviceType, const char* confirmText,
                                    const char* imagePath) {
  if (RefuseWhileUpdating()) return;
  if (m_bPortOpen == 0) {
    Refuse(kTurnOnPortFirst, kCaptionIsp);
    return;
  }
  if (m_deviceType != deviceType) {
    Refuse(confirmText, kCaptionIspBlank);
    return;
  }
  ClearBootloaderRequests();
  UpdateData(true);
  m_strNote = kUpdatingNote;
  UpdateData(false);
  if (LoadImageFile(imagePath) == 0) return;
  SetUploadKind(UploadKind::kFpga);
  SendFirstBlock(kKindFpga,
                 deviceType == 1 ? ImageOperation::kAnalyzerFpga : ImageOperation::kGeneratorFpga);
}

void UpdaterDialog::OnAuxFpga() {
  if (RefuseWhileUpdating()) return;
  ClearBootloaderRequests();
  UpdateData(true);
  m_fProgress = 0;
  if (ChooseAndLoadImage() != ImageLoadResult::Loaded) return;
  SetUploadKind(UploadKind::kAuxFpga);
  SendFirstBlock(kKindAuxFpga, ImageOperation::kAuxFpga);
}

void UpdaterDialog::OnGeneratorDataFlash() {
  StartDataFlashUpload(0);
}

void UpdaterDialog::OnAnalyzerDataFlash() {
  StartDataFlashUpload(1);
}

void UpdaterDialog::StartDataFlashUpload(uint8_t deviceType) {
  if (RefuseWhileUpdating()) return;
  // The target is set first, even when the port test then stops the upload.
  m_deviceType = deviceType;
  m_deviceSubType = 0;
  if (m_bPortOpen == 0) {
    Refuse(kTurnOnPortFirst, kCaptionIsp);
    return;
  }
  ClearBootloaderRequests();
  UpdateData(true);
  m_fProgress = 0;
  if (ChooseAndLoadImage() != ImageLoadResult::Loaded) return;
  StartBulkUpload(
      kKindDataFlash, UploadKind::kDataFlash,
      deviceType == 1 ? ImageOperation::kAnalyzerDataFlash : ImageOperation::kGeneratorDataFlash);
}

void UpdaterDialog::OnNandFlash() {
  if (RefuseWhileUpdating()) return;
  ClearBootloaderRequests();
  UpdateData(true);
  m_fProgress = 0;
  if (ChooseAndLoadImage() != ImageLoadResult::Loaded) return;
  StartBulkUpload(kKindNand, UploadKind::kNand, ImageOperation::kNandFlash);
}

void UpdaterDialog::SendFirstBlock(uint8_t kindByte, ImageOperation operation) {
  if (!ImageFitsBlockNumbers()) return;
  m_blockPacket[0] = kindByte;
  m_blockPacket[3] = 0x00;
  m_bMoreBlocks = 1;
  m_blockCount = 0;
  m_imagePos = 0;
  if (m_imageSize == 0) return;
  // An image shorter than a block goes out as one padded final block.
  const std::size_t packed = PackBlock(&m_blockPacket[kPacketDataOffset]);
  const bool final = packed == m_imageSize;
  if (final) {
    m_blockPacket[3] = kLastBlockFlag;
    m_services.StopTimer(kTimerSearchStep);
    m_bMoreBlocks = 0;
  }
  m_blockPacket[1] = 0;
  m_blockPacket[2] = 0;
  // A block that never went out leaves nothing in flight to wait for.
  if (!SendCommandFrame(kBlockCommand, m_blockPacket.data(), kBlockPacketPayload)) return;
  TakePortOver();
  TellOperationStarted({.operation = operation, .deviceType = m_deviceType});
  g_bUploadFinished = 0;
  upload_flight_ = {.blocks = true, .bulkBlock = false};
  NoteBlockSent();
  m_blockCount = 1;
  m_imagePos = static_cast<int>(packed);
  // The upload is done only when the unit accepts the final block.
  if (!final) m_fProgress = Percent(packed, m_imageSize);
  UpdateData(false);
  if (!final) m_services.ProgressChanged({ProgressPhase::kSending, packed, m_imageSize});
}

void UpdaterDialog::StartBulkUpload(uint8_t kindByte, UploadKind kind, ImageOperation operation) {
  if (!ImageFitsBlockNumbers()) return;
  SetUploadKind(kind);
  static constexpr uint8_t kBulkHeader[kBulkHeaderBytes] = {0xAA, 0x00, 0x00, 0x09, 0x01,
                                                            0x00, 0x00, 0x78, 0x78};
  std::memcpy(m_bulkFrame.data(), kBulkHeader, kBulkHeaderBytes);
  m_bulkFrame[9] = kindByte;
  m_bulkFrame[12] = 0x00;
  m_bMoreBlocks = 1;
  m_blockCount = 0;
  m_imagePos = 0;
  if (m_imageSize == 0) return;
  const std::size_t packed = PackBlock(&m_bulkFrame[kBulkDataOffset]);
  const bool final = packed == m_imageSize;
  if (final) {
    m_bulkFrame[12] = kLastBlockFlag;
    m_services.StopTimer(kTimerSearchStep);
    m_bMoreBlocks = 0;
  }
  m_bulkFrame[10] = 0;
  m_bulkFrame[11] = 0;
  m_bulkFrame[kBulkFrameBytes - 1] = ZeroSumChecksum(m_bulkFrame.data(), kBulkFrameBytes - 1);
  if (m_bPortOpen == 0) {
    // Written into a closed port the frame is lost, and the upload would wait for ever.
    Refuse(kPortNotOnYet, kCaptionConsole);
    return;
  }
  m_port.QueueWrite(m_bulkFrame.data(), static_cast<int>(kBulkFrameBytes));
  TakePortOver();
  TellOperationStarted({.operation = operation, .deviceType = m_deviceType});
  g_bUploadFinished = 0;
  upload_flight_ = {.blocks = true, .bulkBlock = true};
  NoteBlockSent();
  m_blockCount = 1;
  m_imagePos = static_cast<int>(packed);
  if (!final) m_fProgress = Percent(packed, m_imageSize);
  UpdateData(false);
  if (!final) m_services.ProgressChanged({ProgressPhase::kSending, packed, m_imageSize});
  m_services.StartTimer(kTimerSearchStep, kBulkStartTimerMs);
}

void UpdaterDialog::OnBlockAck() {
  // Bytes 9 to 11 are the acknowledgement only in a frame long enough to hold them.
  if (m_replyLength < 8) return;
  if (m_replyBuf[9] != 0x78 || m_replyBuf[10] != 0x78) return;
  if (options_.resendBlocks) {
    OnBlockAnswer(m_replyBuf[11]);
    return;
  }
  if (g_bUploadFinished) return;
  if (!upload_flight_.blocks) return;  // nothing was sent that this could acknowledge
  const uint8_t status = m_replyBuf[11];
  if (status != 0) {
    // The unit refused the block: the same bytes once more, with no limit.
    if (upload_flight_.bulkBlock && m_bPortOpen == 1) {
      m_port.QueueWrite(m_bulkFrame.data(), static_cast<int>(kBulkFrameBytes));
      return;
    }
    if (upload_flight_.bulkBlock) Refuse(kPortNotOnYet, kCaptionConsole);
    // A block that cannot go out again ends the upload: a later acknowledgement must not
    // count the unsent block as accepted.
    if (upload_flight_.bulkBlock ||
        !SendCommandFrame(kBlockCommand, m_blockPacket.data(), kBlockPacketPayload)) {
      EndBlockUpload();
    }
    return;
  }
  upload_flight_.bulkBlock = false;
  if (m_bMoreBlocks == 0) {
    FinishUpload();
    return;
  }
  SendNextBlock();
}

void UpdaterDialog::SendNextBlock() {
  if (m_bFpgaUpload == 1) {
    m_blockPacket[0] = kKindFpga;
  } else if (m_bAuxFpgaUpload == 1) {
    m_blockPacket[0] = kKindAuxFpga;
  } else if (m_bNandUpload == 1) {
    m_blockPacket[0] = kKindNand;
  } else if (m_bDataFlashUpload == 1) {
    m_blockPacket[0] = kKindDataFlash;
  }
  m_blockPacket[3] = 0x00;
  if (static_cast<uint32_t>(m_imagePos) >= m_imageSize) return;  // nothing is packed past the image
  const std::size_t packed = PackBlock(&m_blockPacket[kPacketDataOffset]);
  const bool final = m_imagePos + packed >= m_imageSize;
  if (final) m_blockPacket[3] = kLastBlockFlag;
  m_blockPacket[1] = static_cast<uint8_t>(m_blockCount % 256);
  m_blockPacket[2] = static_cast<uint8_t>((m_blockCount / 256) % 256);
  if (!SendCommandFrame(kBlockCommand, m_blockPacket.data(), kBlockPacketPayload)) {
    // The port closed under the upload: the block was never sent, so it ends here rather than
    // let a late acknowledgement step past the block and report the image written.
    EndBlockUpload();
    return;
  }
  if (final) m_bMoreBlocks = 0;
  NoteBlockSent();
  ++m_blockCount;
  m_imagePos += static_cast<int>(packed);
  if (!final) {
    m_fProgress = Percent(static_cast<uint64_t>(m_imagePos), m_imageSize);
    UpdateData(false);
    m_services.ProgressChanged(
        {ProgressPhase::kSending, static_cast<uint64_t>(m_imagePos), m_imageSize});
  }
}

void UpdaterDialog::FinishUpload() {
  g_bUploadFinished = 1;
  upload_flight_.blocks = false;
  m_fProgress = 100.0f;
  m_strNote = kUploadSucceededNote;
  UpdateData(false);
  m_services.ProgressChanged({ProgressPhase::kSending, m_imageSize, m_imageSize});
  StartAutoClose();
  // The acknowledged mode tells the success at the auto-close, when no stray acknowledgement
  // has come meanwhile.
  if (options_.resendBlocks) {
    upload_flight_.settling = true;
    return;
  }
  m_services.OperationEnded({.event = OperationEvent::kUploadFinished});
}

void UpdaterDialog::EndBlockUpload() {
  upload_flight_.settling = false;  // an upload not yet confirmed is not confirmed now
  if (!upload_flight_.blocks) return;
  if (options_.resendBlocks) m_services.StopTimer(kTimerAnswerQuiet);
  g_bUploadFinished = 1;
  upload_flight_ = {};
  m_bMoreBlocks = 0;
  if (m_bSearching == 0) m_services.StopTimer(kTimerSearchStep);  // the bulk start's timer
}

}  // namespace korvelt
