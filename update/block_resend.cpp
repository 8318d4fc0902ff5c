// korvelt-cli's acknowledged mode of the block upload: a block whose acknowledgement does not
// come is sent again. A line that loses or damages one byte in ten thousand loses about one
// block or acknowledgement in forty; the dialog, as designed, would wait for it for ever.
//
// Acknowledgements carry no block number. A block is sent again only after the line has been
// quiet for the whole time-out, and the next block goes out only when every send of this one
// is answered (or the line was quiet for the whole time-out again), so a late acknowledgement
// of an earlier send is never counted for the next block. One that no send is waiting for
// ends the upload: nothing reads an FPGA image back, and a block counted as taken that the
// unit never took would be a damaged image reported as written.
#include <string>

#include "app/updater_dialog.h"
#include "protocol/frame.h"
#include "update/block_upload.h"
#include "update/operator_texts.h"

namespace korvelt {

namespace {

constexpr const char* kStrayAcknowledgement =
    "The unit acknowledged a block that was not sent: it may not hold the image. The upload "
    "was stopped; start it again.";

}  // namespace

void UpdaterDialog::NoteBlockSent() {
  if (!options_.resendBlocks) return;
  upload_flight_.ledger.FirstSend();
  m_services.StartTimer(kTimerAnswerQuiet, kBlockAnswerTimeoutMs);
}

void UpdaterDialog::WatchLineQuiet() {
  // Every byte from the unit restarts the wait: a block is sent again only into a quiet line.
  if (upload_flight_.blocks && !g_bUploadFinished) {
    m_services.StartTimer(kTimerAnswerQuiet, kBlockAnswerTimeoutMs);
  } else if (chunk_flight_.awaiting) {
    m_services.StartTimer(kTimerAnswerQuiet, kChunkAnswerTimeoutMs);
  }
}

bool UpdaterDialog::SendBlockAgain() {
  if (!upload_flight_.bulkBlock) {
    return SendCommandFrame(kBlockCommand, m_blockPacket.data(),
                            static_cast<int>(m_blockPacket.size()));
  }
  if (m_bPortOpen != 1) {
    Refuse(kPortNotOnYet, kCaptionConsole);
    return false;
  }
  m_port.QueueWrite(m_bulkFrame.data(), static_cast<int>(kBulkFrameBytes));
  return true;
}

void UpdaterDialog::OnBlockAnswer(uint8_t status) {
  if (upload_flight_.settling) {
    FailUpload(FailureKind::kStrayAnswer, kStrayAcknowledgement);
    return;
  }
  if (g_bUploadFinished || !upload_flight_.blocks) return;
  ResendLedger& ledger = upload_flight_.ledger;
  switch (ledger.Answer()) {
    case ResendLedger::Verdict::kStray:
      FailUpload(FailureKind::kStrayAnswer, kStrayAcknowledgement);
      return;
    case ResendLedger::Verdict::kLate:
      return;
    case ResendLedger::Verdict::kSettled:
      AdvanceAfterBlock();
      return;
    case ResendLedger::Verdict::kCurrent:
      break;
  }
  if (status != 0) {
    // Refused: the same bytes once more, as the dialog does. A refusal is an answer, so it
    // does not count against the resends.
    if (!SendBlockAgain()) {
      EndBlockUpload();
      return;
    }
    ledger.SentAgain();
    m_services.StartTimer(kTimerAnswerQuiet, kBlockAnswerTimeoutMs);
    return;
  }
  ledger.Take();
  upload_flight_.bulkBlock = false;
  // Answers to the block's repeats may still come: the next block waits for them, or for the
  // line to stay quiet for the whole time-out.
  if (ledger.settled()) {
    AdvanceAfterBlock();
    return;
  }
  const auto taken = static_cast<uint64_t>(m_imagePos);
  m_services.ProgressChanged(
      {.phase = ProgressPhase::kSending, .done = taken, .total = m_imageSize, .confirmed = taken});
}

void UpdaterDialog::AdvanceAfterBlock() {
  if (m_bMoreBlocks == 0) {
    m_services.StopTimer(kTimerAnswerQuiet);
    FinishUpload();
    return;
  }
  SendNextBlock();
}

void UpdaterDialog::FailUpload(FailureKind kind, const std::string& text) {
  m_services.StopTimer(kTimerAnswerQuiet);
  EndBlockUpload();
  m_strWait = " ";
  m_strNote = kStoppedNote;
  UpdateData(false);
  m_services.MessageBox(text, kCaptionIsp);
  m_services.OperationEnded(
      {.event = OperationEvent::kUploadFailed, .failure = kind, .text = text});
}

void UpdaterDialog::OnAnswerQuietTimer() {
  m_services.StopTimer(kTimerAnswerQuiet);
  if (!options_.resendBlocks) return;
  if (chunk_flight_.awaiting) {
    OnChunkQuiet();
    return;
  }
  if (!upload_flight_.blocks || g_bUploadFinished) return;
  switch (upload_flight_.ledger.Quiet()) {
    case ResendLedger::QuietAction::kNone:
      return;
    case ResendLedger::QuietAction::kAdvance:
      AdvanceAfterBlock();
      return;
    case ResendLedger::QuietAction::kGiveUp: {
      const uint64_t first = static_cast<uint64_t>(m_blockCount - 1) * kBlockDataBytes;
      FailUpload(FailureKind::kNoAnswer,
                 "The unit did not acknowledge block " + std::to_string(m_blockCount - 1) +
                     " (image bytes from " + std::to_string(first) + ") in " +
                     std::to_string(kMaxBlockResends + 1) + " sends of " +
                     std::to_string(kBlockAnswerTimeoutMs / 1000) +
                     " s each. The upload was stopped; check the cable and start it again.");
      return;
    }
    case ResendLedger::QuietAction::kResend:
      // A reply cut short by a lost byte is dead after a quiet second; the parser starts
      // afresh with the answer to the repeat.
      m_parserState = -1;
      if (!SendBlockAgain()) {
        EndBlockUpload();
        return;
      }
      m_services.StartTimer(kTimerAnswerQuiet, kBlockAnswerTimeoutMs);
      return;
  }
}

}  // namespace korvelt
