// The port controls: button 1006, the port list 1106, the port icon 1007 and the automatic
// close of timer 5.
#include "app/updater_dialog.h"
#include "resources/dialog_layout.h"
#include "update/block_upload.h"
#include "update/operator_texts.h"

namespace korvelt {

namespace {

constexpr const char* kCaptionTurnOn = "Turn on Port";
constexpr const char* kCaptionClose = "Close Port";
constexpr unsigned kAutoClosePauseMs = 50;
constexpr unsigned kAutoCloseMs = 1000;  // a finished update leaves the port open this long

}  // namespace

void UpdaterDialog::SetPortOpenUi() {
  m_services.SetPortIcon(PortIcon::kOn);
  m_bPortOpen = 1;
  m_services.SetControlText(IDC_PORT_BUTTON, kCaptionClose);
}

void UpdaterDialog::SetPortClosedUi() {
  m_bPortOpen = 0;
  m_services.SetControlText(IDC_PORT_BUTTON, kCaptionTurnOn);
  m_port.RequestClose();
  m_services.SetPortIcon(PortIcon::kOff);
}

bool UpdaterDialog::OpenCurrentPort(char parity) {
  return m_port.OpenPort(m_channel, m_nPortNumber, m_nBaudRate, parity, m_nDataBits, m_nStopBits,
                         m_dwCommEvents, kWriteSlotBytes);
}

void UpdaterDialog::OnTogglePort() {
  // The button is the operator's way out: a stalled bootloader must not keep every byte, and
  // an upload in flight must not go on from a stray acknowledgement.
  AbandonOperation();
  if (m_bPortOpen == 1) {
    SetPortClosedUi();
    return;
  }
  m_cParity = 'N';
  if (OpenCurrentPort('N')) {
    m_port.StartMonitor();
    SetPortOpenUi();
    return;
  }
  m_bPortOpen = 0;
  RefuseWithAppBox(kPortUnavailable, FailureKind::kPortUnavailable);
  m_services.SetPortIcon(PortIcon::kOff);
  m_services.SetControlText(IDC_PORT_BUTTON, kCaptionTurnOn);
}

void UpdaterDialog::OnSelectPort() {
  AbandonOperation();  // the conversation in flight belongs to the port left behind
  if (m_port.HoldsPort()) m_port.RequestClose();
  m_nPortNumber = m_services.GetComboSelection(IDC_PORT_LIST) + 1;
  // The list opens with the parity in use: 'N' once every bootloader conversation has ended.
  if (OpenCurrentPort(m_cParity)) {
    m_port.StartMonitor();
    SetPortOpenUi();
    return;
  }
  m_services.SetPortIcon(PortIcon::kOff);
  RefuseWithAppBox(kPortUnavailable, FailureKind::kPortUnavailable);
  m_bPortOpen = 0;
  m_services.SetControlText(IDC_PORT_BUTTON, kCaptionTurnOn);
}

void UpdaterDialog::StartAutoClose() {
  m_services.StartTimer(kTimerAutoClose, kAutoCloseMs);
}

void UpdaterDialog::OnAutoCloseTimer() {
  // The acknowledged mode's upload is confirmed now: no stray acknowledgement came meanwhile.
  if (upload_flight_.settling) {
    upload_flight_.settling = false;
    m_services.OperationEnded({.event = OperationEvent::kUploadFinished});
  }
  SetPortClosedUi();
  m_services.Pause(kAutoClosePauseMs);
  m_services.StopTimer(kTimerAutoClose);
}

}  // namespace korvelt
