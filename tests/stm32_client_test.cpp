// The MCU update on the virtual clock: the firmware's banner, the reopen with even parity and
// the whole bootloader conversation against the virtual MCU.
#include <gtest/gtest.h>

#include "resources/dialog_layout.h"
#include "sim/instrument_model.h"
#include "sim/stm32_bootloader_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_workdir.h"
#include "update/block_upload.h"
#include "update/stm32_boot_client.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::InstrumentModel;
using sim::Stm32Config;

const char* kSucceeded =
    "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";

struct McuHarness : testing::DialogHarness {
  explicit McuHarness(Stm32Config mcu = {}) : unit(Config(mcu)), link(clock, port) {
    link.Attach(1, &unit);
    dialog.Click(IDC_PORT_BUTTON);
  }
  static sim::InstrumentConfig Config(const Stm32Config& mcu) {
    sim::InstrumentConfig config;
    config.stm32 = std::make_shared<Stm32Config>(mcu);
    return config;
  }
  void Start(const Bytes& image) {
    work.Write("data/GENERATOR_MCU(rack).bin", image);
    dialog.Click(IDC_UPDATE_GENERATOR_MCU);
  }
  // Until the client has ended and timer 10 has shown the port closed.
  bool RunToEnd(uint64_t limitMs = 3600000) {
    return clock.RunUntil(
        [&] { return dialog.m_bStm32Mode == 0 && dialog.m_bPortOpen == 0 && clock.Now() > 0; },
        limitMs);
  }
  Bytes Flash(std::size_t bytes) {
    const auto& flash = unit.mcu().flash();
    return Bytes(flash.begin(), flash.begin() + static_cast<long>(bytes));
  }
  std::vector<Bytes> WritesOfLength(std::size_t length) {
    std::vector<Bytes> found;
    for (const auto& write : port.writes) {
      if (write.bytes.size() == length) found.push_back(write.bytes);
    }
    return found;
  }

  testing::TempWorkDir work;
  InstrumentModel unit;
  testing::SimLink link;
};

TEST(Stm32Client, ImagesOfEverySizeReachTheFlash) {
  for (std::size_t size : {1u, 128u, 130u, 256u, 4096u, 65536u}) {
    SCOPED_TRACE(size);
    McuHarness h;
    const Bytes image = testing::PatternImage(size, static_cast<uint32_t>(size));
    h.Start(image);
    ASSERT_TRUE(h.RunToEnd());
    EXPECT_EQ(h.Flash(size), image);
    EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
    EXPECT_EQ(h.services.controlTexts[IDC_PROGRESS], "100");
    EXPECT_EQ(h.dialog.m_strWait, " ");
    EXPECT_TRUE(h.Boxes().empty());
    // The port was reopened with even parity for the bootloader.
    ASSERT_GE(h.port.opens.size(), 2u);
    EXPECT_EQ(h.port.opens[1].parity, 'E');
    EXPECT_EQ(h.dialog.m_cParity, 'N') << "back to 8N1 for whatever comes next";
    EXPECT_FALSE(h.dialog.mcuUpdate().facts().uniqueId) << "no read the dialog never made";
    const auto blocks = h.WritesOfLength(130);
    ASSERT_EQ(blocks.size(), (size + 127) / 128);
    for (const auto& block : blocks) {
      EXPECT_EQ(block[0], 0x7F);
      uint8_t x = 0;
      for (int i = 0; i < 129; ++i) x ^= block[static_cast<std::size_t>(i)];
      EXPECT_EQ(block[129], x);
    }
  }
}

TEST(Stm32Client, LastBlockPaddingAndAddresses) {
  McuHarness h;
  const Bytes image = testing::PatternImage(130);
  h.Start(image);
  ASSERT_TRUE(h.RunToEnd());
  const auto blocks = h.WritesOfLength(130);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1][1], image[128]);
  EXPECT_EQ(blocks[1][2], image[129]);
  EXPECT_TRUE(std::all_of(blocks[1].begin() + 3, blocks[1].begin() + 129,
                          [](uint8_t b) { return b == 0xFF; }));
  const auto addresses = h.WritesOfLength(5);
  // The two reads' addresses, then one per block.
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), Bytes{0x08, 0x00, 0x00, 0x80, 0x88}),
            addresses.end());
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), Bytes{0x1F, 0xFF, 0xF7, 0xE0, 0xF7}),
            addresses.end());
}

TEST(Stm32Client, FirstAnswerAndReadCounting) {
  testing::DialogHarness h;
  h.port.presentPorts = {1};
  h.dialog.Click(IDC_PORT_BUTTON);
  h.dialog.m_bStm32Mode = 1;
  h.dialog.m_stm32State = 0;
  h.dialog.Dispatch(WM_SERIAL_RXCHAR, kStm32Nack, 1);  // a NACK to the sync byte counts too
  EXPECT_EQ(h.dialog.m_stm32State, 1);
  EXPECT_EQ(h.port.writes.back().bytes, (Bytes{0x00, 0xFF}));
  EXPECT_EQ(h.services.pauses.back(), 100u);

  // Three acknowledgements (command, address, length), then exactly the bytes read, whatever
  // their value: old firmware may hold 0x79 in its first word or its flash size.
  struct ReadCase {
    int state;
    Bytes data;
    Bytes next;
  };
  const ReadCase reads[] = {
      {3, {0x10, 0x20, 0x30, 0x40}, {0x11, 0xEE}},
      {3, {0x79, 0x79, 0x1F, 0x79}, {0x11, 0xEE}},
      {4, {0x80, 0x00}, {0x43, 0xBC}},
      {4, {0x79, 0x79}, {0x43, 0xBC}},
  };
  for (const auto& read : reads) {
    h.dialog.m_stm32State = read.state;
    g_nStm32SubStep = 0;
    for (uint8_t b : {0x79, 0x79, 0x79}) h.dialog.Dispatch(WM_SERIAL_RXCHAR, b, 1);
    const std::size_t writesBefore = h.port.writes.size();
    for (std::size_t i = 0; i + 1 < read.data.size(); ++i) {
      h.dialog.Dispatch(WM_SERIAL_RXCHAR, read.data[i], 1);
    }
    EXPECT_EQ(h.dialog.m_stm32State, read.state);
    EXPECT_EQ(h.port.writes.size(), writesBefore) << "nothing is sent for a data byte";
    h.dialog.Dispatch(WM_SERIAL_RXCHAR, read.data.back(), 1);
    EXPECT_EQ(h.dialog.m_stm32State, read.state + 1);
    EXPECT_EQ(h.port.writes.back().bytes, read.next);
  }
}

TEST(Stm32Client, WhereAGetReplyEnds) {
  // With time-outs the reply ends after its announced length (a 0x79 may be data); without
  // them the first 0x79 ends it, so a reply short of a byte cannot leave the client waiting.
  struct Case {
    Stm32Pacing pacing;
    Bytes reply;  // after the command's own acknowledgement; its last byte ends it
  };
  const Case cases[] = {
      {Stm32Pacing::kAcknowledged, {0x02, 0x22, 0x79, 0x43, 0x79}},
      {Stm32Pacing::kWritten, {0x02, 0x22, 0x79}},
      {Stm32Pacing::kWritten, {0x79}},  // the count and the version lost
  };
  for (const Case& c : cases) {
    testing::DialogHarness h;
    h.port.presentPorts = {1};
    h.dialog.Click(IDC_PORT_BUTTON);
    h.dialog.mcuUpdate().Configure({.pacing = c.pacing});
    h.dialog.m_bStm32Mode = 1;
    h.dialog.m_stm32State = 1;
    g_nStm32SubStep = 0;
    h.dialog.Dispatch(WM_SERIAL_RXCHAR, kStm32Ack, 1);
    for (std::size_t i = 0; i + 1 < c.reply.size(); ++i) {
      h.dialog.Dispatch(WM_SERIAL_RXCHAR, c.reply[i], 1);
    }
    h.clock.RunFor(200);
    EXPECT_EQ(h.dialog.m_stm32State, 1) << "no end before the last byte";
    h.dialog.Dispatch(WM_SERIAL_RXCHAR, c.reply.back(), 1);
    h.clock.RunFor(200);
    EXPECT_EQ(h.dialog.m_stm32State, 2);
    EXPECT_EQ(h.port.writes.back().bytes, (Bytes{0x02, 0xFD}));
    EXPECT_EQ(h.dialog.mcuUpdate().facts().extendedEraseOnly, false);
  }
}

TEST(Stm32Client, AcknowledgementsBeforeTheBytesWentOutDoNotCount) {
  testing::DialogHarness h;
  h.port.presentPorts = {1};
  h.dialog.Click(IDC_PORT_BUTTON);
  h.dialog.m_pImage = testing::PatternImage(256);
  h.dialog.m_imageSize = 256;
  h.dialog.m_bStm32Mode = 1;
  h.dialog.m_stm32State = 5;  // erase command acknowledged next
  g_nStm32SubStep = 0;
  // A burst of acknowledgements with no time for the scheduled sends to go out.
  for (int i = 0; i < 40; ++i) h.dialog.Dispatch(WM_SERIAL_RXCHAR, kStm32Ack, 1);
  EXPECT_EQ(h.dialog.m_stm32State, 5) << "only the first answered bytes that went out";
  EXPECT_NE(h.dialog.m_strNote.find("Only for"), std::string::npos);
  EXPECT_TRUE(h.port.writes.empty());
}

TEST(Stm32Client, RefusedBlockIsWrittenAgain) {
  Stm32Config mcu;
  mcu.nackWriteNumber = 3;
  McuHarness h(mcu);
  const Bytes image = testing::PatternImage(1024);
  h.Start(image);
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_EQ(h.Flash(1024), image);
  EXPECT_EQ(h.WritesOfLength(130).size(), 9u) << "eight blocks, one of them twice";
  EXPECT_EQ(h.dialog.m_strNote, kSucceeded);
}

TEST(Stm32Client, BlockRefusedThreeTimesFailsTheUpdate) {
  Stm32Config mcu;
  mcu.refuseWrite = [](uint32_t address, uint64_t) { return address == 0x08000080; };
  McuHarness h(mcu);
  h.Start(testing::PatternImage(1024));
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_EQ(h.unit.mcu().writesRefused(), 3u);
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_EQ(h.Boxes()[0].caption, "ISP");
  EXPECT_NE(h.Boxes()[0].text.find("0x08000080"), std::string::npos);
  // The flash is half written: the unit must stay powered for the next try.
  EXPECT_NE(h.Boxes()[0].text.find("do NOT power it off"), std::string::npos);
  EXPECT_EQ(h.Boxes()[0].text.find("Re-power"), std::string::npos);
  EXPECT_NE(h.dialog.m_strNote, kSucceeded);
  EXPECT_NE(h.services.controlTexts[IDC_PROGRESS], "100");
  EXPECT_EQ(h.dialog.m_strWait, " ");
  EXPECT_EQ(h.dialog.m_bPortOpen, 0);
}

TEST(Stm32Client, EveryWriteRefusedIsNeverASuccess) {
  Stm32Config mcu;
  mcu.nackEveryWrite = true;
  McuHarness h(mcu);
  h.Start(testing::PatternImage(512));
  ASSERT_TRUE(h.RunToEnd());
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_NE(h.Boxes()[0].text.find("0x08000000"), std::string::npos);
  EXPECT_NE(h.dialog.m_strNote, kSucceeded);
}

TEST(Stm32Client, SilentAfterEraseRunsToTheEndAndFails) {
  Stm32Config mcu;
  mcu.silentAfterEraseAck = true;
  McuHarness h(mcu);
  h.Start(testing::PatternImage(1024));
  ASSERT_TRUE(h.RunToEnd());
  const auto commands = [&] {
    std::vector<uint64_t> at;
    for (const auto& write : h.port.writes) {
      if (write.bytes == Bytes{0x31, 0xCE}) at.push_back(write.atMs);
    }
    return at;
  }();
  ASSERT_EQ(commands.size(), 8u);
  // The first block waits 3500 ms for its command's answer; every later one 3 x 225 ms.
  EXPECT_EQ(commands[1] - commands[0], 2000u);
  for (std::size_t i = 2; i < commands.size(); ++i) {
    EXPECT_EQ(commands[i] - commands[i - 1], 675u) << "three time-outs of 225 ms a block";
  }
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_NE(h.dialog.m_strNote, kSucceeded);
}

TEST(Stm32Client, RefusedEraseEndsAtOnce) {
  Stm32Config mcu;
  mcu.nackErase = true;
  McuHarness h(mcu);
  h.Start(testing::PatternImage(1024));
  ASSERT_TRUE(h.RunToEnd());
  EXPECT_TRUE(h.WritesOfLength(130).empty());
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_NE(h.Boxes()[0].text.find("erase"), std::string::npos);
}

TEST(Stm32Client, OperatorClosingThePortAbandonsTheClient) {
  Stm32Config mcu;
  mcu.noSync = true;  // a bootloader that never answers
  McuHarness h(mcu);
  h.Start(testing::PatternImage(1024));
  h.clock.RunFor(5000);
  ASSERT_EQ(h.dialog.m_bStm32Mode, 1);
  h.dialog.Click(IDC_PORT_BUTTON);  // "Close Port"
  EXPECT_EQ(h.dialog.m_bStm32Mode, 0);
  for (int timer : {kTimerStm32Sync, kTimerStm32Send, kTimerStm32Reply}) {
    EXPECT_FALSE(h.services.TimerRunning(timer)) << timer;
  }
  // The unit is powered again; the next FPGA update gets its acknowledgements.
  h.unit.PowerCycle();
  h.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(600));
  h.dialog.Click(IDC_PORT_BUTTON);
  h.dialog.Click(IDC_GENERATOR_FPGA);
  EXPECT_TRUE(h.clock.RunUntil([] { return g_bUploadFinished == 1; }, 10000));
}

TEST(Stm32Client, SearchAbandonsTheClientToo) {
  Stm32Config mcu;
  mcu.noSync = true;
  McuHarness h(mcu);
  h.Start(testing::PatternImage(256));
  h.clock.RunFor(2000);
  ASSERT_EQ(h.dialog.m_bStm32Mode, 1);
  h.dialog.Click(IDC_SEARCH_ANALYZER);
  EXPECT_EQ(h.dialog.m_bStm32Mode, 0);
  EXPECT_FALSE(h.services.TimerRunning(kTimerStm32Sync));
}

}  // namespace
}  // namespace korvelt
