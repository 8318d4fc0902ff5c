#include <gtest/gtest.h>

#include "resources/dialog_layout.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/temp_workdir.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kIspRequest = {0x0D, 0x0A, 'I', 'S', 'P', ' ', '3', '2', ' ', '1', 0x0D, 0x0A};

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

struct EntryHarness : testing::DialogHarness {
  EntryHarness() {
    port.presentPorts = {1};
    dialog.Click(IDC_PORT_BUTTON);
    work.Write("data/GENERATOR_MCU(rack).bin", Bytes(100, 0x11));
    work.Write("data/ANALYZER_MCU(rack).bin", Bytes(200, 0x22));
  }
  void Feed(const Bytes& bytes) {
    for (uint8_t b : bytes) dialog.Dispatch(WM_SERIAL_RXCHAR, b, 1);
  }
  testing::TempWorkDir work;
};

struct BannerCase {
  const char* name;
  std::string text;
  int isp, sub, input;
  uint8_t deviceType = 0;
  int dataFlashNo = 0;
  // What follows.
  bool stm32Starts = false;
  uint32_t imageSize = 0;  // the MCU image loaded
  bool launches = false;
  Bytes written = {};  // bytes written after the banner
  std::vector<unsigned> pauses = {};
  bool loaderMode = false;
  int ispAfter = -1, subAfter = -1, inputAfter = -1;  // -1: as before
  bool portShownClosed = false;
};

TEST(BannerRecogniser, Table) {
  const BannerCase cases[] = {
      // A banner answers its request: a second one later must not start a second update.
      {"ISP banner, generator",
       "KVT ISP MODE...\r",
       1,
       0,
       0,
       0,
       0,
       true,
       100,
       false,
       {},
       {},
       false,
       0},
      {"ISP banner, analyzer",
       "KVT ISP MODE...\r",
       1,
       0,
       0,
       1,
       0,
       true,
       200,
       false,
       {},
       {},
       false,
       0},
      {"ISP banner, type 5 loads the generator image",
       "x ISP MODE...\r",
       1,
       0,
       0,
       5,
       0,
       true,
       100,
       false,
       {},
       {},
       false,
       0},
      // The fallback line is recognised from 3 matching positions on, newest first.
      {"fallback matching in 3 positions re-sends",
       "xyz 00\r",
       1,
       0,
       0,
       0,
       0,
       false,
       0,
       false,
       kIspRequest,
       {400}},
      {"fallback matching in 2 positions does not", "xyzw00\r", 1, 0, 0},
      {"two full stops", "KVT ISP MODE..\r", 1, 0, 0},
      {"line feed before the return", "KVT ISP MODE...\n\r", 1, 0, 0},
      {"fallback line re-sends the request",
       "UBD 07\r",
       1,
       0,
       0,
       0,
       0,
       false,
       0,
       false,
       kIspRequest,
       {400}},
      {"fallback line while an input board is asked", "UBD 07\r", 0, 0, 1},
      {"input board banner hands over to the loader",
       "UBD 03\r",
       1,
       1,
       1,
       0,
       0,
       false,
       0,
       false,
       {0x03, 0x09, 0xF4},
       {500},
       true,
       0,
       0,
       0},
      {"ISP banner for a sub-MCU starts the outside tool",
       "A ISP MODE...\r",
       1,
       1,
       0,
       0,
       0,
       false,
       0,
       true,
       {},
       {},
       false,
       0,
       0,
       -1,
       true},
      {"service number takes the sub-MCU path",
       "UBD 00\r",
       1,
       0,
       0,
       0,
       3716,
       false,
       0,
       true,
       {},
       {400},
       false,
       0,
       0,
       -1,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EntryHarness h;
    h.dialog.m_bIspRequested = c.isp;
    h.dialog.m_bSubMcuRequested = c.sub;
    h.dialog.m_bInputBoardRequested = c.input;
    h.dialog.m_deviceType = c.deviceType;
    h.services.controlTexts[IDC_DATA_FLASH_NO] = std::to_string(c.dataFlashNo);
    h.Feed(Text(c.text));
    EXPECT_EQ(h.services.TimerRunning(kTimerStm32Sync), c.stm32Starts);
    if (c.stm32Starts) {
      EXPECT_EQ(h.services.TimerPeriod(kTimerStm32Sync), 300u);
      EXPECT_EQ(h.dialog.m_imageSize, c.imageSize);
      EXPECT_EQ(h.dialog.m_strWait, "Please wait...");
      EXPECT_FALSE(h.port.HoldsPort()) << "closed; timer 8 reopens it";
      EXPECT_EQ(h.dialog.m_bPortOpen, 1) << "the controls still show it open";
    }
    EXPECT_EQ(h.services.launches.size(), c.launches ? 1u : 0u);
    if (c.launches) {
      EXPECT_EQ(h.services.launches[0].first, ".\\FlyMcu\\FlyMcu.exe");
      EXPECT_EQ(h.services.launches[0].second, 5);
    }
    EXPECT_EQ(h.port.BytesWrittenTo(1), c.written);
    EXPECT_EQ(h.services.pauses, c.pauses);
    EXPECT_EQ(h.dialog.m_bLoaderMode, c.loaderMode ? 1 : 0);
    EXPECT_EQ(h.dialog.m_bIspRequested, c.ispAfter < 0 ? c.isp : c.ispAfter);
    EXPECT_EQ(h.dialog.m_bSubMcuRequested, c.subAfter < 0 ? c.sub : c.subAfter);
    EXPECT_EQ(h.dialog.m_bInputBoardRequested, c.inputAfter < 0 ? c.input : c.inputAfter);
    if (c.portShownClosed) EXPECT_EQ(h.dialog.m_bPortOpen, 0);
    if (c.dataFlashNo == 3716) {
      ASSERT_EQ(h.Boxes().size(), 1u);
      EXPECT_EQ(h.Boxes()[0].text,
                "Next step is to update SUB MCU firmware! Be sure to load the firmware which is "
                "for  KEY BOARD");
      EXPECT_EQ(h.dialog.m_nDataFlashNo, 0);
    }
  }
}

TEST(BannerRecogniser, NoRequestLeavesTheRingAlone) {
  EntryHarness h;
  h.Feed(Text("KVT ISP MODE...\r"));
  EXPECT_EQ(h.dialog.m_bannerPos, 0);
  EXPECT_FALSE(h.services.TimerRunning(kTimerStm32Sync));
}

TEST(BannerRecogniser, MissingMcuImage) {
  EntryHarness h;
  std::filesystem::remove(h.work.path() / "data/GENERATOR_MCU(rack).bin");
  h.dialog.m_bIspRequested = 1;
  h.Feed(Text(" ISP MODE...\r"));
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_EQ(h.Boxes()[0].text, "Can not find GENERATOR_MCU.bin !");
  EXPECT_FALSE(h.services.TimerRunning(kTimerStm32Sync));
  // The banner closed the port for the bootloader: the window says so, and waits for nothing.
  EXPECT_EQ(h.dialog.m_bPortOpen, 0);
  EXPECT_EQ(h.dialog.m_bIspRequested, 0);
  EXPECT_FALSE(h.dialog.mcuUpdate().running());
}

TEST(BannerRecogniser, FailedLaunchOfTheOutsideToolIsSaid) {
  EntryHarness h;
  h.services.launchSucceeds = false;
  h.dialog.m_bSubMcuRequested = 1;
  h.Feed(Text(" ISP MODE...\r"));
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_NE(h.Boxes()[0].text.find(".\\FlyMcu\\FlyMcu.exe"), std::string::npos);
}

TEST(BootloaderRequests, BytesAndRefusals) {
  EntryHarness h;
  h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  EXPECT_EQ(h.port.BytesWrittenTo(1), kIspRequest);
  EXPECT_EQ(h.dialog.m_bIspRequested, 1);
  EXPECT_EQ(h.dialog.m_strNote,
            "Note: While updating \r\n firmware ,please \r\n do not press any button!");

  struct SubCase {
    int selection;
    Bytes request;
  } subCases[] = {
      {0, Text("UBP 32 2  0\r\n")}, {3, Text("UBP 32 2  3\r\n")}, {10, Text("UBP 32 2 20\r\n")}};
  for (const auto& c : subCases) {
    EntryHarness s;
    s.services.comboSelections[IDC_SUB_MCU_LIST] = c.selection;
    s.dialog.OnUpdateSubMcu();
    ASSERT_EQ(s.port.writes.size(), 2u);
    EXPECT_EQ(s.port.writes[0].bytes, (Bytes{0x0D, 0x0A}));
    EXPECT_EQ(s.port.writes[1].bytes, c.request);
    EXPECT_EQ(s.port.writes[1].atMs - s.port.writes[0].atMs, 100u);
    EXPECT_EQ(s.dialog.m_bSubMcuRequested, 1);
  }

  EntryHarness board;
  board.services.fileAnswers.push_back(board.work.Write("in2.bin", Bytes(20, 1)));
  board.dialog.OnUpdateInputBoard2();
  EXPECT_EQ(board.port.BytesWrittenTo(1), Text("\r\nUBP 32 2 2\r\n"));
  EXPECT_EQ(board.dialog.m_bInputBoardRequested, 1);

  struct Refusal {
    const char* name;
    std::function<void(EntryHarness&)> act;
    const char* text;
    const char* caption;
  } refusals[] = {
      {"analyzer MCU on generator",
       [](EntryHarness& e) { e.dialog.Click(IDC_UPDATE_ANALYZER_MCU); },
       "Please confirm the device is Signal Analyzer!", " ISP"},
      {"generator MCU, port closed",
       [](EntryHarness& e) {
         e.dialog.Click(IDC_PORT_BUTTON);
         e.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
       },
       "Please turn on the COM port first!", "ISP"},
      {"analyzer MCU, port closed",
       [](EntryHarness& e) {
         e.dialog.Click(IDC_PORT_BUTTON);
         e.dialog.m_deviceType = 1;
         e.dialog.Click(IDC_UPDATE_ANALYZER_MCU);
       },
       "Please turn on the COM port first!", " ISP"},
      {"sub-MCU without a choice", [](EntryHarness& e) { e.dialog.OnUpdateSubMcu(); },
       "Please select a MCU first!", "ISP"},
      {"input board, port closed",
       [](EntryHarness& e) {
         e.dialog.Click(IDC_PORT_BUTTON);
         e.dialog.OnUpdateInputBoard1();
       },
       "Please turn on the COM port first!", " ISP"},
  };
  for (const auto& r : refusals) {
    EntryHarness e;
    r.act(e);
    ASSERT_EQ(e.Boxes().size(), 1u) << r.name;
    EXPECT_EQ(e.Boxes()[0].text, r.text) << r.name;
    EXPECT_EQ(e.Boxes()[0].caption, r.caption) << r.name;
    EXPECT_TRUE(e.port.writes.empty()) << r.name;
  }
}

TEST(BootloaderRequests, CancelledInputBoardDialogSendsNothing) {
  EntryHarness h;
  h.dialog.m_pImage = Bytes(5000, 0xEE);  // an older image that must never reach the board
  h.dialog.m_imageSize = 5000;
  h.services.fileAnswers.push_back(std::nullopt);
  h.dialog.OnUpdateInputBoard3();
  EXPECT_TRUE(h.port.writes.empty());
  EXPECT_EQ(h.dialog.m_bInputBoardRequested, 0);
}

}  // namespace
}  // namespace korvelt
