// One operation at a time: while an update is in flight every other start is refused, and the
// operator's ways out (Close Port, a search, a port-list choice) end it without a success.
// Without this a second start pairs the unit's acknowledgements with the wrong blocks.
#include "app/updater_dialog.h"
#include "update/block_upload.h"
#include "update/operator_texts.h"

namespace korvelt {

bool UpdaterDialog::UpdateInFlight() const {
  return upload_flight_.blocks || upload_flight_.settling || mcu_update_.running() ||
         m_bLoaderMode == 1 || m_bLoaderStreaming == 1;
}

bool UpdaterDialog::RefuseWhileUpdating() {
  if (UpdateInFlight()) {
    Refuse(kUpdateRunning, kCaptionIsp);
    return true;
  }
  return false;
}

void UpdaterDialog::TakePortOver() {
  m_services.StopTimer(kTimerAutoClose);
}

void UpdaterDialog::ClearBootloaderRequests() {
  m_bIspRequested = 0;
  m_bSubMcuRequested = 0;
  m_bInputBoardRequested = 0;
  request_retries_.fallbackLines = 0;
  mcu_update_.ForgetRequest();
}

void UpdaterDialog::AbandonOperation() {
  const bool wasRunning = UpdateInFlight();
  ClearBootloaderRequests();
  // A search left running would close the port chosen now when its timer steps on.
  if (m_bSearching == 1) {
    m_bSearching = 0;
    m_services.StopTimer(kTimerSearchStep);
    m_strStatus = " ";
    UpdateData(false);
  }
  // A block upload's state stays armed otherwise, and a stray acknowledgement continues it.
  EndBlockUpload();
  AbandonBootloaderConversation();
  // The auto-close of a finished update would otherwise close the port of what comes next.
  m_services.StopTimer(kTimerAutoClose);
  if (!wasRunning) return;
  m_strWait = " ";
  m_strNote = kStoppedNote;
  UpdateData(false);
}

void UpdaterDialog::Refuse(const std::string& text, const char* caption, FailureKind kind) {
  m_services.MessageBox(text, caption);
  m_services.OperationEnded({.event = OperationEvent::kRefused, .failure = kind, .text = text});
}

void UpdaterDialog::RefuseWithAppBox(const std::string& text, FailureKind kind) {
  m_services.AppMessageBox(text);
  m_services.OperationEnded({.event = OperationEvent::kRefused, .failure = kind, .text = text});
}

}  // namespace korvelt
