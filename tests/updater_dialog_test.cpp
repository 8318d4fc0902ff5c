#include <gtest/gtest.h>

#include "app/data_exchange.h"
#include "app/message_table.h"
#include "app/updater_app.h"
#include "resources/dialog_layout.h"
#include "tests/support/dialog_harness.h"

namespace korvelt {
namespace {

using testing::DialogHarness;
using testing::FakeWindowServices;

TEST(UpdaterDialogStart, MembersAfterInitDialog) {
  DialogHarness h;
  const UpdaterDialog& d = h.dialog;
  EXPECT_EQ(d.m_nBaudRate, 115200);
  EXPECT_EQ(d.m_nPortNumber, 1);
  EXPECT_EQ(d.m_cParity, 'N');
  EXPECT_EQ(d.m_nDataBits, 8);
  EXPECT_EQ(d.m_nStopBits, 1);
  EXPECT_EQ(d.m_dwCommEvents, 3u);
  EXPECT_EQ(d.m_bPortOpen, 0);
  EXPECT_EQ(d.m_parserState, -1);
  EXPECT_EQ(d.m_strStatus, " ");
  EXPECT_EQ(d.m_strNote, "Note: Only for KORVELT \r\n desk version firmware\r\n updating !");
  EXPECT_EQ(d.m_pImage.size(), 10u);
  EXPECT_EQ(d.m_imageSize, 0u);
  EXPECT_EQ(h.services.portIcon, PortIcon::kOff);
  EXPECT_EQ(h.services.GetComboSelection(IDC_PORT_LIST), 0);
  // The command table: 35 codes, every handler a no-op but slot 34.
  EXPECT_EQ(d.m_commandCodes[0], 0xB838);
  EXPECT_EQ(d.m_commandCodes[34], 0xFFFF);
  for (int slot = 0; slot < 34; ++slot) {
    EXPECT_EQ(d.m_commandHandlers[slot], &UpdaterDialog::OnNoAction) << slot;
  }
  EXPECT_EQ(d.m_commandHandlers[34], &UpdaterDialog::OnBlockAck);
  EXPECT_TRUE(h.port.opens.empty()) << "the port is not opened at start";
}

TEST(UpdaterDialogStart, ControlsShowConstructionTextUntilFirstRefresh) {
  DialogHarness h;
  EXPECT_EQ(h.services.controlTexts[IDC_NOTE],
            "Note: Only for KORVELT desk version firmware updating !");
  EXPECT_EQ(h.services.controlTexts[IDC_PROGRESS], "0");
  EXPECT_EQ(h.services.controlTexts[IDC_STATUS], "");
  EXPECT_EQ(h.services.controlTexts[IDC_WAIT], "");
  h.dialog.UpdateData(false);
  EXPECT_EQ(h.services.controlTexts[IDC_NOTE], h.dialog.m_strNote);
  EXPECT_EQ(h.services.controlTexts[IDC_STATUS], " ");
}

TEST(DataExchange, ProgressFormatting) {
  struct Case {
    float value;
    const char* text;
  } cases[] = {{0.0f, "0"},    {100.0f, "100"},         {85.33334f, "85.3333"},
               {50.0f, "50"},  {0.390625f, "0.390625"}, {99.99999f, "100"},
               {12.5f, "12.5"}};
  for (const auto& c : cases) EXPECT_EQ(FormatProgress(c.value), c.text) << c.value;
}

TEST(DataExchange, ReadBackAcceptsAndRejects) {
  struct Case {
    std::string progress;
    std::string number;
    bool ok;
    const char* message;  // nullptr: none
  } cases[] = {
      {"85.3333", "3716", true, nullptr},
      {" 12 ", " -7\t", true, nullptr},
      {"", "0", true, nullptr},  // an empty number field reads as 0
      {"abc", "1", false, kParseRealMessage},
      {"1.5x", "1", false, kParseRealMessage},
      {"1", "", false, kParseIntMessage},
      {"1", "12a", false, kParseIntMessage},
      {"1", "99999999999", false, kParseIntMessage},
  };
  for (const auto& c : cases) {
    DialogHarness h;
    h.services.controlTexts[IDC_PROGRESS] = c.progress;
    h.services.controlTexts[IDC_DATA_FLASH_NO] = c.number;
    h.services.controlTexts[IDC_NOTE] = "typed note";
    EXPECT_EQ(h.dialog.UpdateData(true), c.ok) << c.progress << " / " << c.number;
    if (c.message) {
      ASSERT_EQ(h.Boxes().size(), 1u);
      EXPECT_EQ(h.Boxes()[0].text, c.message);
      EXPECT_EQ(h.Boxes()[0].kind, FakeWindowServices::BoxKind::kApplication);
      EXPECT_NE(h.dialog.m_strNote, "typed note") << "the exchange stops at the failure";
    } else {
      EXPECT_TRUE(h.Boxes().empty());
      EXPECT_EQ(h.dialog.m_strNote, "typed note");
    }
  }
}

TEST(UpdaterDialogSystem, AboutBoxOnlyForItsCommandRange) {
  DialogHarness h;
  for (unsigned command : {0x10u, 0x11u, 0x1Fu}) {
    EXPECT_TRUE(h.dialog.Dispatch(WM_SYSCOMMAND, command, 0));
  }
  EXPECT_EQ(h.services.aboutBoxes, 3);
  h.dialog.Dispatch(WM_SYSCOMMAND, 0x20, 0);
  h.dialog.Dispatch(WM_SYSCOMMAND, 0xF060, 0);  // the framework's close command
  EXPECT_EQ(h.services.aboutBoxes, 3);
}

TEST(UpdaterDialogSystem, CloseReleasesImageEscapeDoesNot) {
  DialogHarness closeBox;
  closeBox.dialog.Dispatch(WM_CLOSE, 0, 0);
  EXPECT_TRUE(closeBox.dialog.m_pImage.empty());
  EXPECT_EQ(closeBox.services.endResult, IDCANCEL);

  DialogHarness escape;
  escape.dialog.OnCancel();
  EXPECT_EQ(escape.dialog.m_pImage.size(), 10u) << "Escape does not pass OnClose";
  EXPECT_EQ(escape.services.endResult, IDCANCEL);

  DialogHarness enter;
  enter.services.controlTexts[IDC_DATA_FLASH_NO] = "x";
  enter.dialog.OnOK();
  EXPECT_FALSE(enter.services.endResult.has_value()) << "a failed read-back keeps it open";
  enter.services.controlTexts[IDC_DATA_FLASH_NO] = "5";
  enter.dialog.OnOK();
  EXPECT_EQ(enter.services.endResult, IDOK);
}

TEST(UpdaterDialogSystem, MessageTableBindsEveryButtonOnce) {
  std::map<int, int> bound;
  for (const auto& entry : UpdaterDialogMessageTable()) {
    if (entry.message == WM_COMMAND) ++bound[entry.controlId];
  }
  for (const auto& control : MainDialogTemplate().controls) {
    if (control.kind == ControlKind::kPushButton || control.kind == ControlKind::kMultiLineButton) {
      EXPECT_EQ(bound[control.id], 1) << control.id;
    }
  }
  EXPECT_EQ(bound[IDC_PORT_LIST], 1);
  EXPECT_EQ(bound[IDC_SUB_MCU_LIST], 1);
  EXPECT_EQ(UpdaterDialogMessageTable().size(), 31u);
}

TEST(UpdaterDialogSystem, SerialNotificationsOutsideTheTableAreIgnored) {
  DialogHarness h;
  for (uint32_t message :
       {WM_SERIAL_BREAK, WM_SERIAL_CTS, WM_SERIAL_ERR, WM_SERIAL_RING, WM_SERIAL_RXFLAG}) {
    EXPECT_FALSE(h.dialog.Dispatch(message, 0, 1));
  }
  h.dialog.HandleSerialNotification({WM_SERIAL_COMM_ERROR, 0, 3, "WARNING:  x"});
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_EQ(h.Boxes()[0].kind, FakeWindowServices::BoxKind::kError);
  EXPECT_EQ(h.Boxes()[0].caption, "Application Error");
}

struct ScriptedPlatform : AppPlatform {
  bool socketsOk = true;
  std::vector<std::string> boxes;
  int dialogsRun = 0;
  bool InitializeSockets() override { return socketsOk; }
  void ShowAppMessageBox(const std::string& text) override { boxes.push_back(text); }
  int RunMainDialog() override { return ++dialogsRun; }
};

TEST(UpdaterAppStart, SocketFailureEndsWithoutWindow) {
  ScriptedPlatform failing;
  failing.socketsOk = false;
  UpdaterApp app;
  EXPECT_FALSE(app.InitInstance(failing));
  EXPECT_EQ(failing.dialogsRun, 0);
  ASSERT_EQ(failing.boxes.size(), 1u);
  EXPECT_EQ(failing.boxes[0], "Windows sockets initialization failed.");

  ScriptedPlatform working;
  EXPECT_FALSE(app.InitInstance(working));
  EXPECT_EQ(working.dialogsRun, 1);
  EXPECT_TRUE(working.boxes.empty());
}

}  // namespace
}  // namespace korvelt
