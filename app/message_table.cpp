#include "app/message_table.h"

#include "app/updater_dialog.h"
#include "resources/dialog_layout.h"

namespace korvelt {

namespace {

template <void (UpdaterDialog::*Handler)()>
intptr_t Call(UpdaterDialog& dialog, uint32_t, int32_t) {
  (dialog.*Handler)();
  return 0;
}

intptr_t RouteReceivedByte(UpdaterDialog& dialog, uint32_t wParam, int32_t lParam) {
  return dialog.ReceiveRouter(static_cast<uint8_t>(wParam & 0xFF), lParam);
}
intptr_t SysCommand(UpdaterDialog& dialog, uint32_t wParam, int32_t) {
  return dialog.OnSysCommand(wParam) ? 1 : 0;
}
intptr_t QueryDragIcon(UpdaterDialog& dialog, uint32_t, int32_t) {
  return dialog.OnQueryDragIcon();
}
intptr_t Timer(UpdaterDialog& dialog, uint32_t wParam, int32_t) {
  dialog.OnTimer(static_cast<int>(wParam));
  return 0;
}

#define KV_MESSAGE(msg, fn) \
  { msg, 0, 0, #fn, fn }
#define KV_HANDLER(msg, name) \
  { msg, 0, 0, #name, Call<&UpdaterDialog::name> }
#define KV_CLICK(id, name) \
  { WM_COMMAND, id, BN_CLICKED, #name, Call<&UpdaterDialog::name> }
#define KV_SELECT(id, name) \
  { WM_COMMAND, id, CBN_SELENDOK, #name, Call<&UpdaterDialog::name> }

constexpr MessageTableEntry kMessageTable[] = {
    KV_MESSAGE(WM_SERIAL_RXCHAR, RouteReceivedByte),
    KV_HANDLER(WM_SERIAL_TXDONE, OnSerialTxDone),
    KV_MESSAGE(WM_SYSCOMMAND, SysCommand),
    KV_HANDLER(WM_PAINT, OnPaint),
    KV_MESSAGE(WM_QUERYDRAGICON, QueryDragIcon),
    KV_CLICK(IDC_PORT_BUTTON, OnTogglePort),
    KV_MESSAGE(WM_TIMER, Timer),
    KV_SELECT(IDC_PORT_LIST, OnSelectPort),
    KV_CLICK(IDC_SEARCH_GENERATOR, OnSearchGenerator),
    KV_CLICK(IDC_GENERATOR_FPGA, OnGeneratorFpga),
    KV_CLICK(IDC_UPDATE_GENERATOR_MCU, OnUpdateGeneratorMcu),
    KV_CLICK(IDC_UPDATE_SUB_MCU, OnUpdateSubMcu),
    KV_CLICK(IDC_UPDATE_IN1, OnUpdateInputBoard1),
    KV_CLICK(IDC_UPDATE_IN2, OnUpdateInputBoard2),
    KV_CLICK(IDC_UPDATE_IN3, OnUpdateInputBoard3),
    KV_CLICK(IDC_UPDATE_IN4, OnUpdateInputBoard4),
    KV_CLICK(IDC_SEARCH_ANALYZER, OnSearchAnalyzer),
    KV_CLICK(IDC_SEARCH_TYPE2, OnSearchType2),
    KV_CLICK(IDC_SEARCH_TYPE3, OnSearchType3),
    KV_CLICK(IDC_SEARCH_TYPE6, OnSearchType6),
    KV_CLICK(IDC_AUX_FPGA, OnAuxFpga),
    KV_CLICK(IDC_SEARCH_TYPE4, OnSearchType4),
    KV_CLICK(IDC_GENERATOR_DATA_FLASH, OnGeneratorDataFlash),
    KV_SELECT(IDC_SUB_MCU_LIST, OnNoAction),
    KV_CLICK(IDC_SEARCH_TYPE7, OnSearchType7),
    KV_CLICK(IDC_SEARCH_TYPE5, OnSearchType5),
    KV_CLICK(IDC_NAND_FLASH, OnNandFlash),
    KV_HANDLER(WM_CLOSE, OnClose),
    KV_CLICK(IDC_UPDATE_ANALYZER_MCU, OnUpdateAnalyzerMcu),
    KV_CLICK(IDC_ANALYZER_FPGA, OnAnalyzerFpga),
    KV_CLICK(IDC_ANALYZER_DATA_FLASH, OnAnalyzerDataFlash),
};

#undef KV_MESSAGE
#undef KV_HANDLER
#undef KV_CLICK
#undef KV_SELECT

}  // namespace

std::span<const MessageTableEntry> UpdaterDialogMessageTable() {
  return kMessageTable;
}

}  // namespace korvelt
