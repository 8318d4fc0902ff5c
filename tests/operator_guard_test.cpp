// What operators do between and during operations: second presses, ways out, a second unit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "resources/dialog_layout.h"
#include "sim/image_digest.h"
#include "sim/instrument_model.h"
#include "sim/stm32_bootloader_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_workdir.h"
#include "update/block_upload.h"
#include "update/operator_texts.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;

struct TwoUnits : testing::DialogHarness {
  TwoUnits() : generator({.deviceType = 0}), analyzer({.deviceType = 1}), link(clock, port) {
    link.Attach(1, &generator);
    link.Attach(2, &analyzer);
    g_bUploadFinished = 0;
  }
  bool Search(int button) {
    dialog.Click(button);
    return clock.RunUntil([&] { return dialog.m_bSearching == 0; }, 60000) &&
           dialog.m_bPortOpen == 1;
  }
  bool McuUpdate(int button) {
    dialog.Click(button);
    clock.RunFor(10);
    return clock.RunUntil(
        [&] { return !dialog.mcuUpdate().running() && dialog.m_bIspRequested == 0; }, 600000);
  }
  int BoxesSaying(const std::string& text) const {
    int n = 0;
    for (const auto& box : services.boxes) n += box.text == text;
    return n;
  }
  testing::TempWorkDir work;
  sim::InstrumentModel generator, analyzer;
  testing::SimLink link;
};

Bytes Padded(Bytes image, std::size_t block, uint8_t fill) {
  return sim::PaddedToBlocks(std::move(image), block, fill);
}

TEST(OperatorGuard, SecondStartsDuringAnUploadAreRefused) {
  // A double click, another upload, the MCU and input-board requests: each refused with a box,
  // and the running upload ends with the unit holding its image. An oversized image chosen
  // meanwhile does not replace the buffer being sent.
  TwoUnits h;
  const Bytes image = testing::PatternImage(5000, 3);
  h.work.Write("data/GENERATOR_FPGA.bin", image);
  h.work.Write("data/GENERATOR_MCU(rack).bin", testing::PatternImage(300, 4));
  const std::string big = h.work.Write("big.bin", Bytes(kMaxUploadBytes + 1, 0x11));
  ASSERT_TRUE(h.Search(IDC_SEARCH_GENERATOR));
  h.dialog.Click(IDC_GENERATOR_FPGA);
  h.dialog.Click(IDC_GENERATOR_FPGA);
  h.services.fileAnswers.push_back(big);
  h.dialog.Click(IDC_NAND_FLASH);
  h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  h.dialog.Click(IDC_UPDATE_IN1);
  h.dialog.Click(IDC_GENERATOR_DATA_FLASH);
  EXPECT_EQ(h.BoxesSaying(kUpdateRunning), 5);
  EXPECT_EQ(h.dialog.m_deviceType, 0) << "a refused data-flash start touches nothing";
  EXPECT_EQ(h.dialog.m_imageSize, image.size());
  ASSERT_TRUE(h.clock.RunUntil([&] { return g_bUploadFinished == 1; }, 60000));
  EXPECT_EQ(h.generator.uploads().at(kKindFpga).bytes, Padded(image, 256, 0));
  EXPECT_EQ(h.dialog.m_bIspRequested, 0);
}

TEST(OperatorGuard, WaysOutEndTheUploadWithoutSuccess) {
  for (int way : {0, 1, 2}) {
    SCOPED_TRACE(way);
    TwoUnits h;
    h.generator.config().blockFault = [](const sim::BlockSeen& b) {
      return b.number >= 3 ? sim::BlockAnswer::kNoAnswer : sim::BlockAnswer::kAccept;
    };
    h.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(4000, 5));
    ASSERT_TRUE(h.Search(IDC_SEARCH_GENERATOR));
    h.dialog.Click(IDC_GENERATOR_FPGA);
    h.clock.RunFor(2000);
    ASSERT_TRUE(h.dialog.uploadFlight().blocks);
    if (way == 0) h.dialog.Click(IDC_PORT_BUTTON);
    if (way == 1) h.dialog.Click(IDC_SEARCH_ANALYZER);
    if (way == 2) {
      h.services.comboSelections[IDC_PORT_LIST] = 0;
      h.dialog.SelectionMade(IDC_PORT_LIST);
    }
    EXPECT_FALSE(h.dialog.uploadFlight().blocks);
    EXPECT_EQ(h.dialog.m_strNote, kStoppedNote);
    // A stray acknowledgement afterwards continues nothing.
    const std::size_t writes = h.port.writes.size();
    h.dialog.m_replyLength = 8;
    h.dialog.m_replyBuf[9] = 0x78;
    h.dialog.m_replyBuf[10] = 0x78;
    h.dialog.m_replyBuf[11] = 0;
    h.dialog.OnBlockAck();
    EXPECT_EQ(h.port.writes.size(), writes);
  }
}

TEST(OperatorGuard, GeneratorThenAnalyzerMcuInOneSitting) {
  TwoUnits h;
  const Bytes first = testing::PatternImage(700, 6), second = testing::PatternImage(900, 7);
  h.work.Write("data/GENERATOR_MCU(rack).bin", first);
  h.work.Write("data/ANALYZER_MCU(rack).bin", second);
  ASSERT_TRUE(h.Search(IDC_SEARCH_GENERATOR));
  ASSERT_TRUE(h.McuUpdate(IDC_UPDATE_GENERATOR_MCU));
  EXPECT_EQ(h.dialog.m_cParity, 'N');
  h.generator.PowerCycle();
  ASSERT_TRUE(h.Search(IDC_SEARCH_ANALYZER)) << "the analyzer search opens its ports 8N1";
  EXPECT_EQ(h.port.opens.back().parity, 'N');
  ASSERT_TRUE(h.McuUpdate(IDC_UPDATE_ANALYZER_MCU));
  const Bytes a(h.generator.mcu().flash().begin(), h.generator.mcu().flash().begin() + 768);
  const Bytes b(h.analyzer.mcu().flash().begin(), h.analyzer.mcu().flash().begin() + 1024);
  EXPECT_EQ(a, Padded(first, 128, 0xFF));
  EXPECT_EQ(b, Padded(second, 128, 0xFF));
  EXPECT_EQ(h.services.boxes.size(), 0u);
}

TEST(OperatorGuard, McuRequestWithoutAnImageSendsNothing) {
  for (bool empty : {false, true}) {
    TwoUnits h;
    if (empty) h.work.Write("data/GENERATOR_MCU(rack).bin", {});
    ASSERT_TRUE(h.Search(IDC_SEARCH_GENERATOR));
    const std::size_t writes = h.port.writes.size();
    h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
    EXPECT_EQ(h.port.writes.size(), writes);
    EXPECT_EQ(h.dialog.m_bIspRequested, 0);
    ASSERT_EQ(h.services.boxes.size(), 1u);
    if (!empty) EXPECT_EQ(h.services.boxes[0].text, "Can not find GENERATOR_MCU.bin !");
  }
}

TEST(OperatorGuard, ListChoiceAbandonsAStalledBootloader) {
  TwoUnits h;
  h.generator.mcu().config().noSync = true;
  h.work.Write("data/GENERATOR_MCU(rack).bin", testing::PatternImage(300, 8));
  ASSERT_TRUE(h.Search(IDC_SEARCH_GENERATOR));
  h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  h.clock.RunFor(3000);
  ASSERT_EQ(h.dialog.m_bStm32Mode, 1);
  h.services.comboSelections[IDC_PORT_LIST] = 1;
  h.dialog.SelectionMade(IDC_PORT_LIST);
  EXPECT_FALSE(h.services.TimerRunning(kTimerStm32Sync));
  EXPECT_EQ(h.port.opens.back().parity, 'N');
  EXPECT_EQ(h.dialog.m_strWait, " ");
  EXPECT_EQ(h.dialog.m_strNote, kStoppedNote);
  h.clock.RunFor(3000);
  for (const auto& write : h.port.writes) {
    if (write.portNumber == 2) EXPECT_NE(write.bytes, Bytes{0x7F});
  }
}

TEST(OperatorGuard, FallbackLinesStopAfterFive) {
  TwoUnits h;
  h.generator.config().banner = sim::BannerVariant::kFallbackUbd07;
  h.work.Write("data/GENERATOR_MCU(rack).bin", testing::PatternImage(300, 9));
  ASSERT_TRUE(h.Search(IDC_SEARCH_GENERATOR));
  h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  h.clock.RunFor(20000);
  EXPECT_EQ(h.generator.textCommands().size(), 5u) << "the request and four resends";
  EXPECT_EQ(h.dialog.m_bIspRequested, 0);
  ASSERT_EQ(h.services.boxes.size(), 1u);
  EXPECT_NE(h.services.boxes[0].text.find("did not enter its bootloader"), std::string::npos);
  EXPECT_EQ(h.dialog.m_strNote, kNoBootloaderNote);
}

TEST(OperatorGuard, BannerDuringAnUploadTakesNothingOver) {
  TwoUnits h;
  const Bytes image = testing::PatternImage(3000, 10);
  h.work.Write("data/GENERATOR_FPGA.bin", image);
  h.work.Write("data/GENERATOR_MCU(rack).bin", testing::PatternImage(300, 11));
  h.generator.config().banner = sim::BannerVariant::kNone;
  ASSERT_TRUE(h.Search(IDC_SEARCH_GENERATOR));
  h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);  // the unit says nothing yet
  h.dialog.Click(IDC_GENERATOR_FPGA);
  for (char c : std::string(" ISP MODE...\r")) {
    h.dialog.Dispatch(WM_SERIAL_RXCHAR, static_cast<uint8_t>(c), 1);
  }
  EXPECT_FALSE(h.services.TimerRunning(kTimerStm32Sync));
  ASSERT_TRUE(h.clock.RunUntil([&] { return g_bUploadFinished == 1; }, 60000));
  EXPECT_EQ(h.generator.uploads().at(kKindFpga).bytes, Padded(image, 256, 0));
}

TEST(OperatorGuard, PipesAreNotReadAsImages) {
  TwoUnits h;
  const std::string fifo = (h.work.path() / "data/GENERATOR_FPGA.bin").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_TRUE(h.Search(IDC_SEARCH_GENERATOR));
  h.dialog.Click(IDC_GENERATOR_FPGA);  // would block for ever on a blocking open
  ASSERT_EQ(h.services.boxes.size(), 1u);
  EXPECT_NE(h.services.boxes[0].text.find("is not a regular file. Nothing was sent."),
            std::string::npos);
  EXPECT_FALSE(h.dialog.uploadFlight().blocks);
}

}  // namespace
}  // namespace korvelt
