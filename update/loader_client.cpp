// The input-board loader client: downloads the loader into the board (states 0 to 5, one frame
// per byte the board answers), then streams the image in CRC-protected chunks, each written in
// pieces that the port's write-completed notifications pace.
#include "update/loader_client.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "app/updater_dialog.h"
#include "update/crc16.h"
#include "update/hex_text.h"
#include "update/operator_texts.h"

namespace korvelt {

int g_bLoaderPiecePending = 0;
int g_nLoaderBytesLeft = 0;
int g_nLoaderFrameEnd = 0;

namespace {

constexpr uint8_t kBoardReady = 0xF1;
constexpr uint8_t kBoardStubReady = 0x2E;
constexpr uint8_t kBoardJumped = 0xEF;
constexpr uint8_t kBoardErased = 0xDF;
constexpr uint8_t kOpenFrame[] = {0x04, 0x20, 0x00, 0xDC};
// Address 0x0500, then a stub that clears the stack segment and jumps to 0000:0510.
constexpr uint8_t kStubFrame[] = {0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E,
                                  0xD0, 0xEA, 0x10, 0x05, 0x00, 0x00, 0x8A};
constexpr uint8_t kRunStubFrame[] = {0x05, 0x1D, 0x05, 0x00, 0xD9};
constexpr uint8_t kEraseFrame[] = {0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xBC};
constexpr uint8_t kStreamFrame[] = {0x05, 0x19, 0xFF, 0xFF, 0xE4};
constexpr uint8_t kNextChunkFrame[] = {0x03, 0x10, 0xED};
constexpr unsigned kAfterOpenPauseMs = 100;
constexpr unsigned kBeforeChunkPauseMs = 1;

void PutBigEndian32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

}  // namespace

bool IsPlaceholderLoader(std::span<const uint8_t> loader) {
  const std::string_view marker = kPlaceholderLoaderMarker;
  constexpr std::size_t kHalt = sizeof kPlaceholderLoaderHalt;
  if (loader.size() < kHalt + marker.size()) return false;
  return std::equal(std::begin(kPlaceholderLoaderHalt), std::end(kPlaceholderLoaderHalt),
                    loader.begin()) &&
         std::equal(marker.begin(), marker.end(), loader.begin() + kHalt);
}

bool InputBoardLoaderIsPlaceholder() {
  return IsPlaceholderLoader(g_inputBoardLoader);
}

void UpdaterDialog::OnLoaderByte(uint8_t byte) {
  switch (m_loaderState) {
    case 0:
      if (byte != kBoardReady) return;
      m_port.QueueWrite(kOpenFrame, sizeof kOpenFrame);
      m_services.Pause(kAfterOpenPauseMs);
      m_loaderState = 1;
      return;
    case 1:
      if (byte != kBoardStubReady) return;
      m_port.QueueWrite(kStubFrame, sizeof kStubFrame);
      m_loaderTotal = kInputBoardLoaderBytes;
      m_loaderRemaining = m_loaderTotal;
      m_loaderAddress = kLoaderLoadAddress;
      m_loaderState = 2;
      return;
    case 2: {
      if (byte != kBoardReady || m_loaderRemaining == 0) return;
      const int n = static_cast<int>(std::min<uint64_t>(m_loaderRemaining, kLoaderFrameData));
      uint8_t* frame = m_loaderTx.data();
      frame[0] = static_cast<uint8_t>(n + 5);
      frame[1] = 0x13;
      frame[2] = static_cast<uint8_t>(m_loaderAddress >> 8);
      frame[3] = static_cast<uint8_t>(m_loaderAddress);
      std::memcpy(frame + 4, g_inputBoardLoader + (m_loaderTotal - m_loaderRemaining),
                  static_cast<std::size_t>(n));
      uint8_t sum = 0;
      for (int i = 0; i < n + 4; ++i) sum = static_cast<uint8_t>(sum + frame[i]);
      frame[n + 4] = static_cast<uint8_t>(-sum);
      m_port.QueueWrite(frame, n + 5);
      m_loaderRemaining -= static_cast<uint64_t>(n);
      m_loaderAddress += static_cast<uint32_t>(n);
      if (m_loaderRemaining == 0) m_loaderState = 3;
      return;
    }
    case 3:
      if (byte != kBoardReady) return;
      m_port.QueueWrite(kRunStubFrame, sizeof kRunStubFrame);
      m_loaderState = 4;
      return;
    case 4:
      if (byte != kBoardJumped) return;
      m_port.QueueWrite(kEraseFrame, sizeof kEraseFrame);
      m_loaderState = 5;
      return;
    case 5:
      if (byte != kBoardErased) return;
      m_port.QueueWrite(kStreamFrame, sizeof kStreamFrame);
      m_loaderAddress = kBoardImageAddress;
      m_loaderRemaining = m_imageSize;
      m_loaderState = 6;
      return;
    case 6:
      // A ready byte while a chunk is still going out would put 03 10 ED in the middle of it
      // (or replace a piece not yet written): only the first one counts.
      if (byte != kBoardReady || m_bLoaderStreaming == 1) return;
      if (chunk_flight_.awaiting) {
        OnChunkAnswer();
        return;
      }
      m_port.QueueWrite(kNextChunkFrame, sizeof kNextChunkFrame);
      m_bLoaderStreaming = 1;
      return;
    default:
      return;
  }
}

void UpdaterDialog::OnSerialTxDone() {
  if (m_bStm32Mode == 1) mcu_update_.OnTxDone();  // the flashing stub's stream goes on
  if (m_bLoaderStreaming != 1) return;
  if (g_bLoaderPiecePending == 0) m_services.Pause(kBeforeChunkPauseMs);
  SendLoaderChunk();
}

void UpdaterDialog::SendLoaderChunk() {
  if (g_bLoaderPiecePending == 1) {
    const int piece = std::min(g_nLoaderBytesLeft, kLoaderPieceBytes);
    if (g_nLoaderBytesLeft <= kLoaderPieceBytes) {
      g_bLoaderPiecePending = 0;
      m_bLoaderStreaming = 0;  // the board's next ready byte starts the next chunk
      NoteChunkSent();
    }
    m_port.QueueWrite(m_loaderTx.data() + (g_nLoaderFrameEnd - g_nLoaderBytesLeft), piece);
    g_nLoaderBytesLeft -= piece;
    return;
  }
  if (m_loaderRemaining == 0 && m_loaderAddress == kBoardImageAddress) {
    // Nothing was streamed: an empty buffer is no image, and the board is not updated.
    FailInputBoard(FailureKind::kImage,
                   "There was no image to send to the input board. Re-power the unit and start "
                   "the update again.");
    return;
  }
  if (m_loaderRemaining == 0) {
    m_bLoaderStreaming = 0;
    m_bLoaderMode = 0;
    m_loaderState = 0;
    g_bLoaderPiecePending = 0;
    StartAutoClose();
    m_services.OperationEnded({.event = OperationEvent::kInputBoardFinished});
    return;
  }
  const int n = static_cast<int>(std::min<uint64_t>(m_loaderRemaining, kLoaderChunkBytes));
  // The chunk must lie inside the image in the buffer, whatever happened to the buffer.
  if (m_loaderRemaining > m_imageSize ||
      m_imageSize - m_loaderRemaining + static_cast<uint64_t>(n) > m_pImage.size()) {
    AbandonBootloaderConversation();
    m_strNote = kStoppedNote;
    UpdateData(false);
    return;
  }
  const std::size_t offset = static_cast<std::size_t>(m_imageSize - m_loaderRemaining);
  uint8_t* frame = m_loaderTx.data();
  PutBigEndian32(frame, m_loaderAddress);
  PutBigEndian32(frame + 4, static_cast<uint32_t>(n));
  std::memcpy(frame + 8, m_pImage.data() + offset, static_cast<std::size_t>(n));
  PutBigEndian32(frame + 8 + n, ComputeCrc16(frame + 8, static_cast<std::size_t>(n)));
  m_loaderRemaining -= static_cast<uint64_t>(n);
  m_loaderAddress += static_cast<uint32_t>(n);

  const int frameLength = n + kLoaderChunkOverhead;
  const int piece = std::min(frameLength, kLoaderPieceBytes);
  g_bLoaderPiecePending = frameLength > kLoaderPieceBytes ? 1 : 0;
  g_nLoaderFrameEnd = frameLength;
  m_port.QueueWrite(frame, piece);
  g_nLoaderBytesLeft = frameLength - piece;

  const uint64_t sent = m_imageSize - m_loaderRemaining;
  m_fProgress = static_cast<float>(100.0 * sent / m_imageSize);
  UpdateData(false);
  m_services.ProgressChanged({ProgressPhase::kSending, sent, m_imageSize});
}

// ---- korvelt-cli's acknowledged mode: a chunk the board does not confirm is sent again ----

void UpdaterDialog::NoteChunkSent() {
  if (!options_.resendBlocks) return;
  // A repeat was counted as a send when it was decided; a new chunk is counted here.
  if (!chunk_flight_.repeat) chunk_flight_.ledger.FirstSend();
  chunk_flight_.repeat = false;
  chunk_flight_.awaiting = true;
  m_services.StartTimer(kTimerAnswerQuiet, kChunkAnswerTimeoutMs);
}

void UpdaterDialog::OnChunkAnswer() {
  ResendLedger& ledger = chunk_flight_.ledger;
  switch (ledger.Answer()) {
    case ResendLedger::Verdict::kStray:
      FailInputBoard(FailureKind::kStrayAnswer,
                     "The input board confirmed a chunk that was not sent: it may not hold the "
                     "image. Re-power the unit and start the update again.");
      return;
    case ResendLedger::Verdict::kLate:
      return;
    case ResendLedger::Verdict::kCurrent:
      ledger.Take();
      if (!ledger.settled()) {
        // The repeats' ready bytes may still come; the chunk's taking is progress meanwhile.
        const uint64_t taken = m_imageSize - m_loaderRemaining;
        m_services.ProgressChanged({.phase = ProgressPhase::kSending,
                                    .done = taken,
                                    .total = m_imageSize,
                                    .confirmed = taken});
        return;
      }
      break;
    case ResendLedger::Verdict::kSettled:
      break;
  }
  AdvanceAfterChunk();
}

void UpdaterDialog::AdvanceAfterChunk() {
  m_services.StopTimer(kTimerAnswerQuiet);
  chunk_flight_.awaiting = false;
  m_port.QueueWrite(kNextChunkFrame, sizeof kNextChunkFrame);
  m_bLoaderStreaming = 1;
}

void UpdaterDialog::OnChunkQuiet() {
  switch (chunk_flight_.ledger.Quiet()) {
    case ResendLedger::QuietAction::kNone:
      return;
    case ResendLedger::QuietAction::kAdvance:
      AdvanceAfterChunk();
      return;
    case ResendLedger::QuietAction::kGiveUp:
      FailInputBoard(FailureKind::kNoAnswer,
                     "The input board did not confirm the chunk at " +
                         Hex32(m_loaderAddress -
                               static_cast<uint32_t>(g_nLoaderFrameEnd - kLoaderChunkOverhead)) +
                         " in " + std::to_string(kMaxChunkResends + 1) +
                         " sends. Re-power the unit and start the update again.");
      return;
    case ResendLedger::QuietAction::kResend:
      // The same chunk frame again, announced as every chunk is; the board writes it to the
      // same address.
      // Ready bytes are not awaited while it goes out.
      chunk_flight_.awaiting = false;
      chunk_flight_.repeat = true;
      g_bLoaderPiecePending = 1;
      g_nLoaderBytesLeft = g_nLoaderFrameEnd;
      m_port.QueueWrite(kNextChunkFrame, sizeof kNextChunkFrame);
      m_bLoaderStreaming = 1;
      return;
  }
}

void UpdaterDialog::FailInputBoard(FailureKind kind, const std::string& text) {
  AbandonBootloaderConversation();
  m_strNote = kStoppedNote;
  UpdateData(false);
  m_services.MessageBox(text, kCaptionIsp);
  m_services.OperationEnded(
      {.event = OperationEvent::kInputBoardFailed, .failure = kind, .text = text});
}

}  // namespace korvelt
