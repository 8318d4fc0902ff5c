// Bootloader entry: the text commands that make the running firmware start a bootloader, and
// the recogniser of the banner it answers with.
#include <cstring>

#include "update/bootloader_entry.h"

#include "app/updater_dialog.h"
#include "resources/dialog_layout.h"
#include "update/loader_client.h"
#include "update/operator_texts.h"
#include "update/stm32_boot_client.h"

namespace korvelt {

namespace {

constexpr uint8_t kIspRequest[] = {'\r', '\n', 'I', 'S', 'P', ' ', '3', '2', ' ', '1', '\r', '\n'};
constexpr uint8_t kLineBreak[] = {'\r', '\n'};
constexpr uint8_t kLoaderHandOver[] = {0x03, 0x09, 0xF4};
constexpr std::string_view kIspBanner = " ISP MODE...";
constexpr std::string_view kFallbackLine = "UBD 00";
constexpr int kFallbackMatchesNeeded = 3;
// A firmware that keeps answering with its fallback line will not start its bootloader.
constexpr int kMaxFallbackLines = 5;
constexpr int kSubMcuServiceNumber = 3716;  // the data-flash number that selects the service path
constexpr unsigned kSubMcuRequestPauseMs = 100;
constexpr unsigned kFallbackPauseMs = 400;
constexpr unsigned kLoaderHandOverPauseMs = 500;
constexpr int kShowNormal = 5;

constexpr const char* kSelectMcuFirst = "Please select a MCU first!";
constexpr const char* kSubMcuNext =
    "Next step is to update SUB MCU firmware! Be sure to load the firmware which is for  KEY "
    "BOARD";
constexpr const char* kOutsideTool = ".\\FlyMcu\\FlyMcu.exe";
constexpr const char* kNoBootloader =
    "The unit did not enter its bootloader: its firmware answered the request 5 times "
    "without starting it. Nothing was written. Re-power the unit and try again.";

ImageOperation McuOperation(uint8_t deviceType) {
  return deviceType == 1 ? ImageOperation::kAnalyzerMcu : ImageOperation::kGeneratorMcu;
}

}  // namespace

void UpdaterDialog::OnUpdateGeneratorMcu() {
  RequestMcuUpdate(0, kCaptionIsp, kConfirmGenerator);
}

void UpdaterDialog::OnUpdateAnalyzerMcu() {
  RequestMcuUpdate(1, kCaptionIspBlank, kConfirmAnalyzer);
}

void UpdaterDialog::RequestMcuUpdate(uint8_t deviceType, const char* portCaption,
                                     const char* confirmText) {
  if (RefuseWhileUpdating()) return;
  if (m_bPortOpen == 0) {
    Refuse(kTurnOnPortFirst, portCaption);
    return;
  }
  if (m_deviceType != deviceType) {
    Refuse(confirmText, kCaptionIspBlank);
    return;
  }
  // Without an image the unit must stay in its firmware: from its bootloader only a re-power
  // brings it back. The image is loaded again at the banner.
  if (LoadMcuImage(deviceType) == 0) return;
  ClearBootloaderRequests();
  TellOperationStarted({.operation = McuOperation(deviceType), .deviceType = deviceType});
  m_strNote = kUpdatingNote;
  UpdateData(false);
  mcu_update_.Request();
}

void UpdaterDialog::SendIspRequest() {
  m_port.QueueWrite(kIspRequest, sizeof kIspRequest);
  TakePortOver();
  m_bIspRequested = 1;
}

void UpdaterDialog::OnUpdateSubMcu() {
  if (RefuseWhileUpdating()) return;
  if (m_bPortOpen == 0) {
    Refuse(kTurnOnPortFirst, kCaptionIspBlank);
    return;
  }
  const int selection = m_services.GetComboSelection(IDC_SUB_MCU_LIST);
  if (selection < 0) {
    Refuse(kSelectMcuFirst, kCaptionIsp);
    return;
  }
  m_port.QueueWrite(kLineBreak, sizeof kLineBreak);
  // Keyboard " 0", input1..9 MCU " 1".." 9", LAN MCU "20".
  uint8_t request[] = {'U', 'B', 'P', ' ', '3', '2', ' ', '2', ' ', ' ', '0', '\r', '\n'};
  if (selection >= 10) {
    request[9] = '2';
    request[10] = '0';
  } else {
    request[10] = static_cast<uint8_t>('0' + selection);
  }
  m_services.Pause(kSubMcuRequestPauseMs);
  m_port.QueueWrite(request, sizeof request);
  TakePortOver();
  ClearBootloaderRequests();
  m_bSubMcuRequested = 1;
}

void UpdaterDialog::OnUpdateInputBoard1() {
  RequestInputBoardUpdate(1);
}
void UpdaterDialog::OnUpdateInputBoard2() {
  RequestInputBoardUpdate(2);
}
void UpdaterDialog::OnUpdateInputBoard3() {
  RequestInputBoardUpdate(3);
}
void UpdaterDialog::OnUpdateInputBoard4() {
  RequestInputBoardUpdate(4);
}

void UpdaterDialog::RequestInputBoardUpdate(int board) {
  if (RefuseWhileUpdating()) return;
  if (m_bPortOpen == 0) {
    Refuse(kTurnOnPortFirst, kCaptionIspBlank);
    return;
  }
  // The placeholder would only halt the board; it is sent only where the operator says so.
  if (InputBoardLoaderIsPlaceholder() && !options_.allowPlaceholderLoader) {
    Refuse(kNoInputBoardLoader, kCaptionIspBlank);
    return;
  }
  m_fProgress = 0;
  // Only a file actually read may go to the board: a cancelled dialog sends nothing, or the
  // loader would later stream whatever image the buffer still held.
  if (ChooseAndLoadImage(ImageUse::kInputBoard) != ImageLoadResult::Loaded) return;
  uint8_t request[] = {'\r', '\n', 'U', 'B', 'P', ' ', '3', '2', ' ', '2', ' ', '1', '\r', '\n'};
  request[11] = static_cast<uint8_t>('0' + board);
  m_port.QueueWrite(request, sizeof request);
  TakePortOver();
  ClearBootloaderRequests();
  TellOperationStarted({.operation = ImageOperation::kInputBoard, .inputBoard = board});
  m_bInputBoardRequested = 1;
}

void UpdaterDialog::StartOutsideTool() {
  if (m_services.LaunchProcess(kOutsideTool, kShowNormal)) {
    m_services.OperationEnded({.event = OperationEvent::kOutsideToolStarted});
    return;
  }
  Refuse(std::string("Could not start the outside flashing tool ") + kOutsideTool +
             ". Check that it is installed there.",
         kCaptionIsp, FailureKind::kOutsideTool);
}

int UpdaterDialog::BannerMatches(std::string_view banner) const {
  // Position k is the k-th byte before the carriage return, newest first, compared with the
  // k-th character from the banner's end.
  const int ringSize = static_cast<int>(m_bannerRing.size());
  int matches = 0;
  for (std::size_t k = 0; k < banner.size(); ++k) {
    const int index = ((m_bannerPos - 1 - static_cast<int>(k)) % ringSize + ringSize) % ringSize;
    if (m_bannerRing[static_cast<std::size_t>(index)] ==
        static_cast<uint8_t>(banner[banner.size() - 1 - k])) {
      ++matches;
    }
  }
  return matches;
}

void UpdaterDialog::OnBannerByte(uint8_t byte) {
  if (m_bIspRequested != 1 && m_bSubMcuRequested != 1 && m_bInputBoardRequested != 1) return;
  m_bannerPos = (m_bannerPos + 1) % static_cast<int>(m_bannerRing.size());
  m_bannerRing[static_cast<std::size_t>(m_bannerPos)] = byte;
  if (byte != '\r') return;

  if (m_bInputBoardRequested == 1) {
    for (std::string_view banner : {"UBD 01", "UBD 02", "UBD 03", "UBD 04"}) {
      if (BannerMatches(banner) != static_cast<int>(banner.size())) continue;
      m_bLoaderMode = 1;
      m_services.Pause(kLoaderHandOverPauseMs);
      m_port.QueueWrite(kLoaderHandOver, sizeof kLoaderHandOver);
      ClearBootloaderRequests();
      return;
    }
    return;
  }

  if (BannerMatches(kIspBanner) == static_cast<int>(kIspBanner.size())) {
    if (m_bSubMcuRequested == 1) {
      StartOutsideTool();
      ClearBootloaderRequests();
      SetPortClosedUi();
      UpdateData(false);
      return;
    }
    // The request is answered: a second banner later must not start a second update.
    ClearBootloaderRequests();
    // The MCU restarts in its bootloader: timer 8 reopens the port with even parity.
    m_port.RequestClose();
    if (LoadMcuImage(m_deviceType) == 0) {
      SetPortClosedUi();  // the port is closed already; the window must not say otherwise
      m_strNote = kMcuFailedNote;
      UpdateData(false);
      m_services.OperationEnded(
          {.event = OperationEvent::kMcuUpdateFailed, .failure = FailureKind::kImage});
      return;
    }
    TellOperationStarted(
        {.operation = McuOperation(m_deviceType), .deviceType = m_deviceType, .reread = true});
    mcu_update_.Begin();
    return;
  }

  if (BannerMatches(kFallbackLine) < kFallbackMatchesNeeded) return;
  m_services.Pause(kFallbackPauseMs);
  UpdateData(true);
  if (m_nDataFlashNo != kSubMcuServiceNumber) {
    if (++request_retries_.fallbackLines < kMaxFallbackLines) {
      m_port.QueueWrite(kIspRequest, sizeof kIspRequest);
      mcu_update_.RequestRepeated();
      return;
    }
    const bool mcuUpdate = m_bIspRequested == 1;
    ClearBootloaderRequests();
    m_strNote = kNoBootloaderNote;
    UpdateData(false);
    m_services.MessageBox(kNoBootloader, kCaptionIsp);
    m_services.OperationEnded(
        {.event = mcuUpdate ? OperationEvent::kMcuUpdateFailed : OperationEvent::kRefused,
         .failure = FailureKind::kNoBootloader,
         .text = kNoBootloader});
    return;
  }
  m_services.MessageBox(kSubMcuNext, kCaptionIsp);
  StartOutsideTool();
  ClearBootloaderRequests();
  m_nDataFlashNo = 0;
  SetPortClosedUi();
  UpdateData(false);
}

void UpdaterDialog::AbandonBootloaderConversation() {
  if (m_bStm32Mode == 1 || m_bLoaderMode == 1 || m_bLoaderStreaming == 1) {
    m_bStm32Mode = 0;
    m_bLoaderMode = 0;
    m_bLoaderStreaming = 0;
    m_loaderState = 0;
    g_bLoaderPiecePending = 0;
  }
  if (chunk_flight_.awaiting || chunk_flight_.repeat) m_services.StopTimer(kTimerAnswerQuiet);
  chunk_flight_ = {};
  mcu_update_.Abandon();
}

}  // namespace korvelt
