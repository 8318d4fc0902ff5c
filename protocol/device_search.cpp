// The device search: probes COM1 to COM99 in turn, stepped by timer 4, and leaves the port of
// the unit that answers open.
#include "protocol/device_search.h"

#include "app/updater_dialog.h"
#include "protocol/frame.h"
#include "protocol/search_reply.h"
#include "resources/dialog_layout.h"

namespace korvelt {

int g_nSavedPortNumber = 0;

namespace {

constexpr const char* kNoDeviceFound =
    "Can not find available device for this console(from com1 to com99)\r Or COM port is used "
    "by other application!";
constexpr unsigned kFirstPortMs = 300;  // the first port gets 300 ms to answer
constexpr unsigned kNextPortMs = 400;   // every later port 400 ms
constexpr unsigned kReplyByteMs = 200;  // once a reply has started, 200 ms after each byte
constexpr int kHighestPort = 99;
constexpr std::size_t kProbeBytes = 10;

}  // namespace

void UpdaterDialog::OnSearchGenerator() {
  StartSearch(0, true);
}
void UpdaterDialog::OnSearchAnalyzer() {
  StartSearch(1, false);
}
void UpdaterDialog::OnSearchType2() {
  StartSearch(2, false);
}
void UpdaterDialog::OnSearchType3() {
  StartSearch(3, false);
}
void UpdaterDialog::OnSearchType4() {
  StartSearch(4, false);
}
void UpdaterDialog::OnSearchType5() {
  StartSearch(5, false);
}
void UpdaterDialog::OnSearchType6() {
  StartSearch(6, false);
}
void UpdaterDialog::OnSearchType7() {
  StartSearch(7, false);
}

bool UpdaterDialog::OpenNextSearchPort() {
  for (; m_nPortNumber <= kHighestPort; ++m_nPortNumber) {
    if (!m_port.OpenPort(m_channel, m_nPortNumber, m_nBaudRate, m_cParity, m_nDataBits, m_nStopBits,
                         m_dwCommEvents, kWriteSlotBytes)) {
      continue;
    }
    m_port.StartMonitor();
    m_port.QueueWrite(m_blockPacket.data(), kProbeBytes);
    m_bSearching = 1;
    return true;
  }
  return false;
}

void UpdaterDialog::StartSearch(uint8_t deviceType, bool resetParity) {
  BuildFrame(kCommandStart, {deviceType, 0, m_groupAddress, m_machineAddress}, kSearchCommand,
             nullptr, 0, m_blockPacket.data());
  m_deviceType = deviceType;
  m_deviceSubType = 0;
  AbandonOperation();
  SetPortClosedUi();
  m_parserState = -1;  // the reply parser may have stopped mid-frame
  m_bDeviceFound = 0;
  g_nSavedPortNumber = m_nPortNumber;
  if (resetParity) m_cParity = 'N';

  m_nPortNumber = 1;
  if (OpenNextSearchPort()) {
    m_strStatus = "Please wait.....";
    UpdateData(false);
    m_services.StartTimer(kTimerSearchStep, kFirstPortMs);
    return;
  }
  // No port opens at all. A search that was still running when the button was pressed ends
  // here too, so its timer cannot go on to report the same failure a second time.
  m_bSearching = 0;
  m_services.StopTimer(kTimerSearchStep);
  m_nPortNumber = 1;
  m_strStatus = " ";
  UpdateData(false);
  m_services.MessageBox(kNoDeviceFound, kCaptionIsp);
  m_services.OperationEnded({.event = OperationEvent::kSearchNotFound,
                             .failure = FailureKind::kRefused,
                             .text = kNoDeviceFound});
}

void UpdaterDialog::OnSearchReplyByte(uint8_t byte) {
  // The state is shared with the reply parser: anything outside the search's own states is
  // idle here, or the 0xAB that starts a reply would be lost.
  if (m_parserState < -1 || m_parserState > 9) m_parserState = -1;
  if (m_parserState != -1) m_services.StartTimer(kTimerSearchStep, kReplyByteMs);
  const SearchReplyStep step = StepSearchReply(m_parserState, byte, m_deviceType, m_deviceSubType);
  if (step.found) m_bDeviceFound = 1;
  m_parserState = step.nextState;
}

void UpdaterDialog::SearchStep() {
  if (m_bDeviceFound == 1) {
    m_services.SetPortIcon(PortIcon::kOn);
    m_bPortOpen = 1;
    m_services.SetControlText(IDC_PORT_BUTTON, "Close Port");
    m_services.SetComboSelection(IDC_PORT_LIST, m_nPortNumber - 1);
    m_strStatus = " ";
    m_bSearching = 0;
    UpdateData(false);
    m_services.StopTimer(kTimerSearchStep);
    m_services.OperationEnded({.event = OperationEvent::kSearchFound});
    return;
  }
  m_port.RequestClose();
  ++m_nPortNumber;
  if (OpenNextSearchPort()) {
    m_services.StartTimer(kTimerSearchStep, kNextPortMs);
    return;
  }
  m_bSearching = 0;
  m_services.StopTimer(kTimerSearchStep);
  m_nPortNumber = g_nSavedPortNumber;
  m_strStatus = " ";
  UpdateData(false);
  m_services.MessageBox(kNoDeviceFound, kCaptionIsp);
  m_services.OperationEnded({.event = OperationEvent::kSearchNotFound,
                             .failure = FailureKind::kRefused,
                             .text = kNoDeviceFound});
}

}  // namespace korvelt
