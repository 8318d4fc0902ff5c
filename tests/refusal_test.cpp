// A start that is refused touches nothing: not the image buffer an outstanding request will
// stream, not the auto-close of the update before. Files too large for their use are refused
// from their size, before anything is read, and no count can turn a large image into "done".
#include <gtest/gtest.h>

#include <chrono>

#include "resources/dialog_layout.h"
#include "sim/input_board_model.h"
#include "sim/instrument_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_workdir.h"
#include "update/block_upload.h"
#include "update/loader_client.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;

struct UnitHarness : testing::DialogHarness {
  UnitHarness() : unit({.deviceType = 0}), link(clock, port) {
    link.Attach(1, &unit);
    dialog.Click(IDC_PORT_BUTTON);
    g_bUploadFinished = 0;
  }
  bool Happened(OperationEvent event) const {
    return std::find(services.events.begin(), services.events.end(), event) !=
           services.events.end();
  }
  // A file of `size` bytes that takes no room on the disk.
  std::string Sparse(const std::string& name, uint64_t size) {
    const std::string path = work.Write(name, {});
    std::filesystem::resize_file(path, size);
    return path;
  }
  testing::TempWorkDir work;
  sim::InstrumentModel unit;
  testing::SimLink link;
};

TEST(Refusal, AStartRefusedForAnyReasonLeavesTheAutoCloseRunning) {
  struct Case {
    const char* name;
    std::function<void(UnitHarness&)> press;
  } cases[] = {
      {"the other unit's FPGA", [](UnitHarness& h) { h.dialog.Click(IDC_ANALYZER_FPGA); }},
      {"the image gone",
       [](UnitHarness& h) {
         std::filesystem::remove(h.work.path() / "data/GENERATOR_FPGA.bin");
         h.dialog.Click(IDC_GENERATOR_FPGA);
       }},
      {"the MCU image missing", [](UnitHarness& h) { h.dialog.Click(IDC_UPDATE_GENERATOR_MCU); }},
      {"a file dialog cancelled",
       [](UnitHarness& h) {
         h.services.fileAnswers.push_back(std::nullopt);
         h.dialog.Click(IDC_NAND_FLASH);
       }},
      {"an empty board image",
       [](UnitHarness& h) {
         h.services.fileAnswers.push_back(h.work.Write("empty.bin", {}));
         h.dialog.Click(IDC_UPDATE_IN1);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UnitHarness h;
    h.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(600, 1));
    h.dialog.Click(IDC_GENERATOR_FPGA);
    ASSERT_TRUE(
        h.clock.RunUntil([&] { return h.Happened(OperationEvent::kUploadFinished); }, 10000));
    ASSERT_EQ(h.dialog.m_bPortOpen, 1) << "the port stays open for a second";
    c.press(h);
    h.clock.RunFor(1500);
    EXPECT_EQ(h.dialog.m_bPortOpen, 0) << "the finished update still closes its port";
    EXPECT_FALSE(h.port.HoldsPort());
  }
}

TEST(Refusal, ARefusedMcuImageLeavesTheBoardItsImage) {
  // The input board's request is out; before its banner comes, the MCU button is pressed with
  // an image that is refused. The board must still get the file chosen for it.
  const Bytes board = testing::PatternImage(9000, 2);
  struct Case {
    const char* name;
    Bytes mcuFile;
  } cases[] = {
      {"empty", {}},
      {"a HEX file that does not parse", {':', '0', '0', 'Z', 'Z', '\n'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UnitHarness h;
    h.services.fileAnswers.push_back(h.work.Write("board.bin", board));
    h.dialog.OnUpdateInputBoard1();
    ASSERT_EQ(h.dialog.m_bInputBoardRequested, 1);
    h.dialog.mcuUpdate().Configure({.imageFile = h.work.Write("fw.hex", c.mcuFile)});
    h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
    ASSERT_TRUE(h.services.results.back().failed()) << "the MCU start is refused";
    EXPECT_EQ(h.dialog.m_pImage, board) << "a refusal touches nothing";
    ASSERT_TRUE(h.clock.RunUntil([&] { return h.dialog.m_bPortOpen == 0; }, 60000));
    EXPECT_TRUE(h.Happened(OperationEvent::kInputBoardFinished));
    EXPECT_EQ(h.unit.inputBoard().boardImage(), board);
  }
}

TEST(Refusal, ABoardImageOfTwoGibibytesOrMoreIsNeverReportedSent) {
  // The count of bytes left must not turn negative and read as "nothing left".
  UnitHarness h;
  h.services.fileAnswers.push_back(h.work.Write("board.bin", testing::PatternImage(1000, 3)));
  h.dialog.OnUpdateInputBoard1();
  h.dialog.m_imageSize = 0x80000005u;  // as a 2 GiB image leaves it; the buffer holds 1000
  h.clock.RunFor(60000);
  EXPECT_FALSE(h.Happened(OperationEvent::kInputBoardFinished));
  EXPECT_TRUE(h.unit.inputBoard().boardImage().empty());
}

TEST(Refusal, AFileTooLargeForItsUseIsRefusedBeforeItIsRead) {
  // Sparse files: reading them whole would take seconds and gigabytes.
  struct Case {
    const char* name;
    uint64_t size;
    std::function<void(UnitHarness&, const std::string&)> press;
    const char* says;
  } cases[] = {
      {"a 3 GiB FPGA image", 3ull << 30,
       [](UnitHarness& h, const std::string& path) {
         std::filesystem::rename(path, h.work.path() / "data/GENERATOR_FPGA.bin");
         h.dialog.Click(IDC_GENERATOR_FPGA);
       },
       "at most 16777216 bytes"},
      {"a NAND image one byte over", kMaxUploadBytes + 1,
       [](UnitHarness& h, const std::string& path) {
         h.services.fileAnswers.push_back(path);
         h.dialog.Click(IDC_NAND_FLASH);
       },
       "at most 16777216 bytes"},
      {"a raw MCU image larger than any flash", (2u << 20) + 1,
       [](UnitHarness& h, const std::string& path) {
         std::filesystem::rename(path, h.work.path() / "data/GENERATOR_MCU(rack).bin");
         h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
       },
       "at most 2097152 bytes"},
      {"an MCU image file no image can come from", 41ull << 20,
       [](UnitHarness& h, const std::string& path) {
         h.dialog.mcuUpdate().Configure({.imageFile = path});
         h.dialog.Click(IDC_UPDATE_GENERATOR_MCU);
       },
       "at most 41943040 bytes"},
      {"a board image the loader cannot address", kMaxBoardImageBytes + 1,
       [](UnitHarness& h, const std::string& path) {
         h.services.fileAnswers.push_back(path);
         h.dialog.Click(IDC_UPDATE_IN1);
       },
       "the board's loader addresses no more"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UnitHarness h;
    const Bytes before = h.dialog.m_pImage;
    const std::string path = h.Sparse("big.bin", c.size);
    const auto start = std::chrono::steady_clock::now();
    c.press(h, path);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_FALSE(h.services.results.empty());
    EXPECT_EQ(h.services.results.back().failure, FailureKind::kImageTooLarge);
    ASSERT_FALSE(h.Boxes().empty());
    EXPECT_NE(h.Boxes().back().text.find(c.says), std::string::npos) << h.Boxes().back().text;
    EXPECT_EQ(h.dialog.m_pImage, before);
    EXPECT_TRUE(h.port.writes.empty()) << "nothing reached the unit";
  }
}

}  // namespace
}  // namespace korvelt
