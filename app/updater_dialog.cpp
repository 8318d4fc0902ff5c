#include "app/updater_dialog.h"

#include "app/data_exchange.h"
#include "app/message_table.h"
#include "protocol/command_table.h"
#include "resources/dialog_layout.h"
#include "serial/comm_error.h"

namespace korvelt {

namespace {

constexpr const char* kInitialNote =
    "Note: Only for KORVELT \r\n desk version firmware\r\n updating !";
constexpr std::size_t kPlaceholderImageBytes = 10;

}  // namespace

UpdaterDialog::UpdaterDialog(WindowServices& services, PortOperations& port,
                             NotificationChannel* channel)
    : m_services(services),
      m_port(port),
      m_channel(channel),
      mcu_update_(*this, services, port, channel) {
  m_commandHandlers.fill(&UpdaterDialog::OnNoAction);
}

UpdaterDialog::~UpdaterDialog() = default;

bool UpdaterDialog::OnInitDialog() {
  // The framework fills the lists from the template, then shows the members as they were
  // constructed: the note still reads the construction text here.
  UpdateData(false);

  m_strNote = kInitialNote;
  m_groupAddress = 0;
  m_machineAddress = 0;
  m_pImage.assign(kPlaceholderImageBytes, 0);

  m_commandCodes = kReplyCommandCodes;
  m_commandHandlers.fill(&UpdaterDialog::OnNoAction);
  m_commandHandlers[kBlockAckSlot] = &UpdaterDialog::OnBlockAck;

  m_bPortOpen = 0;
  m_nBaudRate = 115200;
  m_nPortNumber = 1;
  m_cParity = 'N';
  m_nDataBits = 8;
  m_nStopBits = 1;
  m_dwCommEvents = kEvRxChar | kEvRxFlag;

  m_services.SetPortIcon(PortIcon::kOff);
  m_services.SetComboSelection(IDC_PORT_LIST, m_nPortNumber - 1);

  m_strStatus = " ";
  m_parserState = -1;

  m_bLoaderMode = 0;
  m_loaderState = 0;
  m_bLoaderStreaming = 0;
  m_bStm32Mode = 0;
  return true;  // focus goes to the first control that takes it, button 1006
}

bool UpdaterDialog::UpdateData(bool saveAndValidate) {
  if (!saveAndValidate) {
    m_services.SetControlText(IDC_STATUS, m_strStatus);
    m_services.SetControlText(IDC_PROGRESS, FormatProgress(m_fProgress));
    m_services.SetControlText(IDC_DATA_FLASH_NO, FormatInteger(m_nDataFlashNo));
    m_services.SetControlText(IDC_WAIT, m_strWait);
    m_services.SetControlText(IDC_NOTE, m_strNote);
    return true;
  }
  // Read back in exchange order; the first malformed number stops the exchange.
  m_strStatus = m_services.GetControlText(IDC_STATUS);
  auto progress = ParseFloatText(m_services.GetControlText(IDC_PROGRESS));
  if (!progress) {
    m_services.AppMessageBox(kParseRealMessage);
    return false;
  }
  m_fProgress = *progress;
  auto number = ParseIntegerText(m_services.GetControlText(IDC_DATA_FLASH_NO));
  if (!number) {
    m_services.AppMessageBox(kParseIntMessage);
    return false;
  }
  m_nDataFlashNo = *number;
  m_strWait = m_services.GetControlText(IDC_WAIT);
  m_strNote = m_services.GetControlText(IDC_NOTE);
  return true;
}

bool UpdaterDialog::Dispatch(uint32_t message, uint32_t wParam, int32_t lParam) {
  const int controlId = static_cast<int>(wParam & 0xFFFF);
  const auto notification = static_cast<uint16_t>(wParam >> 16);
  for (const MessageTableEntry& entry : UpdaterDialogMessageTable()) {
    if (entry.message != message) continue;
    if (message == WM_COMMAND &&
        (entry.controlId != controlId || entry.notification != notification)) {
      continue;
    }
    entry.invoke(*this, wParam, lParam);
    return true;
  }
  return false;
}

void UpdaterDialog::HandleSerialNotification(const SerialNotification& notification) {
  if (notification.message == WM_SERIAL_COMM_ERROR) {
    m_services.ErrorBox(notification.text, kCommErrorCaption);
    const bool gone = notification.wParam == kCommErrorDeviceGone;
    m_services.OperationEnded({.event = OperationEvent::kPortFailed,
                               .failure = gone ? FailureKind::kDeviceGone : FailureKind::kPort,
                               .text = notification.text});
    return;
  }
  // Break, CTS, error, ring and flag notifications have no entry and are ignored.
  Dispatch(notification.message, notification.wParam, notification.lParam);
}

void UpdaterDialog::OnCancel() {
  m_services.EndDialog(IDCANCEL);
}

void UpdaterDialog::OnOK() {
  if (UpdateData(true)) m_services.EndDialog(IDOK);
}

bool UpdaterDialog::OnSysCommand(unsigned commandId) {
  if ((commandId & 0xFFF0) == IDM_ABOUTBOX) {
    m_services.ShowAboutBox();
    return true;
  }
  return false;
}

int UpdaterDialog::OnQueryDragIcon() const {
  return IDR_MAINFRAME;
}

void UpdaterDialog::OnTimer(int timerId) {
  switch (timerId) {
    case kTimerSearchStep:
      if (m_bSearching == 1) SearchStep();  // the uploads' 7000 ms starts have no effect here
      break;
    case kTimerAutoClose:
      OnAutoCloseTimer();
      break;
    case kTimerStm32Sync:
      mcu_update_.OnSyncTimer();
      break;
    case kTimerStm32Send:
      mcu_update_.OnSendTimer();
      break;
    case kTimerStm32Reply:
      mcu_update_.OnReplyTimer();
      break;
    case kTimerMcuCheck:
      mcu_update_.OnCheckTimer();
      break;
    case kTimerMcuStub:
      mcu_update_.OnStubTimer();
      break;
    case kTimerAnswerQuiet:
      OnAnswerQuietTimer();
      break;
    default:
      break;  // timers of later subsystems have their cases in their own files
  }
}

void UpdaterDialog::OnClose() {
  // Nothing may pack from the freed buffer if a notification still comes before the end.
  EndBlockUpload();
  AbandonBootloaderConversation();
  m_imageSize = 0;
  m_pImage.clear();
  m_pImage.shrink_to_fit();
  m_services.EndDialog(IDCANCEL);
}

}  // namespace korvelt
