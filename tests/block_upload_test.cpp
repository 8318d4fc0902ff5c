#include <gtest/gtest.h>

#include "app/data_exchange.h"
#include "protocol/frame.h"
#include "resources/dialog_layout.h"
#include "sim/instrument_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_workdir.h"
#include "update/block_upload.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::BlockAnswer;
using sim::BlockSeen;
using sim::InstrumentConfig;
using sim::InstrumentModel;

const char* kUpdatingNote =
    "Note: While updating \r\n firmware ,please \r\n do not press any button!";
const char* kSucceededNote =
    "Note: Succeed to update \rFPGA firmware. Disconnect\r\n USB cable and re-power!";

enum class Path { kGeneratorFpga, kAuxFpga, kDataFlash, kNand };

struct UploadHarness : testing::DialogHarness {
  explicit UploadHarness(InstrumentConfig config = {}) : unit(config), link(clock, port) {
    link.Attach(1, &unit);
    dialog.Click(IDC_PORT_BUTTON);
  }
  // Starts an upload of `image` along `path`.
  void Start(Path path, const Bytes& image) {
    if (path == Path::kGeneratorFpga) {
      work.Write("data/GENERATOR_FPGA.bin", image);
      dialog.Click(IDC_GENERATOR_FPGA);
      return;
    }
    services.fileAnswers.push_back(work.Write("chosen.bin", image));
    if (path == Path::kAuxFpga) dialog.OnAuxFpga();
    if (path == Path::kDataFlash) dialog.OnGeneratorDataFlash();
    if (path == Path::kNand) dialog.OnNandFlash();
  }
  bool RunUntilFinished(uint64_t limitMs = 600000) {
    return clock.RunUntil([&] { return g_bUploadFinished == 1; }, limitMs);
  }
  std::vector<Bytes> Frames() const {
    std::vector<Bytes> frames;
    for (const auto& write : port.writes) frames.push_back(write.bytes);
    return frames;
  }

  testing::TempWorkDir work;
  InstrumentModel unit;
  testing::SimLink link;
};

uint8_t KindOf(Path path) {
  switch (path) {
    case Path::kGeneratorFpga:
      return kKindFpga;
    case Path::kAuxFpga:
      return kKindAuxFpga;
    case Path::kDataFlash:
      return kKindDataFlash;
    case Path::kNand:
      return kKindNand;
  }
  return 0;
}

TEST(BlockUpload, EveryPathAndSize) {
  const std::size_t sizes[] = {0, 1, 255, 256, 257, 300, 512, 600, 1 << 20};
  for (Path path : {Path::kGeneratorFpga, Path::kAuxFpga, Path::kDataFlash, Path::kNand}) {
    for (std::size_t size : sizes) {
      SCOPED_TRACE(::testing::Message() << "path " << int(path) << " size " << size);
      UploadHarness h;
      const Bytes image = testing::PatternImage(size, static_cast<uint32_t>(size));
      h.Start(path, image);
      if (size == 0) {
        h.clock.RunFor(10000);
        EXPECT_TRUE(h.port.writes.empty());
        ASSERT_EQ(h.Boxes().size(), 1u);
        EXPECT_NE(h.Boxes()[0].text.find("is empty"), std::string::npos);
        if (path == Path::kGeneratorFpga) EXPECT_EQ(h.dialog.m_strNote, kUpdatingNote);
        continue;
      }
      ASSERT_TRUE(h.RunUntilFinished());
      const auto frames = h.Frames();
      const std::size_t blocks = (size + 255) / 256;
      ASSERT_EQ(frames.size(), blocks);
      for (std::size_t n = 0; n < blocks; ++n) {
        const Bytes& f = frames[n];
        ASSERT_EQ(f.size(), 270u);
        ASSERT_TRUE(SumsToZero(f.data(), f.size())) << n;
        EXPECT_EQ(f[0], 0xAA);
        EXPECT_EQ(f[3], 0x09);
        EXPECT_EQ(f[4], 0x01);
        EXPECT_EQ(f[7], 0x78);
        EXPECT_EQ(f[8], 0x78);
        ASSERT_EQ(f[9], KindOf(path)) << n;
        ASSERT_EQ(f[10] | (f[11] << 8), static_cast<int>(n));
        ASSERT_EQ(f[12], n + 1 == blocks ? 0x40 : 0x00) << n;
        const std::size_t count = std::min<std::size_t>(256, size - n * 256);
        ASSERT_TRUE(std::equal(image.begin() + static_cast<long>(n * 256),
                               image.begin() + static_cast<long>(n * 256 + count), f.begin() + 13));
        ASSERT_TRUE(std::all_of(f.begin() + 13 + static_cast<long>(count), f.end() - 1,
                                [](uint8_t b) { return b == 0; }))
            << "padding with zeros";
      }
      const auto& uploaded = h.unit.uploads().at(KindOf(path));
      EXPECT_TRUE(uploaded.lastBlockAccepted);
      Bytes expected = image;
      expected.resize(blocks * 256, 0x00);
      EXPECT_TRUE(uploaded.bytes == expected) << "the unit's memory equals the image";

      const auto progress = h.services.TextsShown(IDC_PROGRESS);
      EXPECT_EQ(progress.back(), "100");
      if (blocks > 1) EXPECT_EQ(progress[1], FormatProgress(float(256.0 / double(size) * 100.0)));
      EXPECT_EQ(h.dialog.m_strNote, kSucceededNote);
      EXPECT_EQ(h.services.TimerPeriod(kTimerAutoClose), 1000u);
      const uint64_t finishedAt = h.clock.Now();
      h.clock.RunUntil([&] { return h.dialog.m_bPortOpen == 0; }, 5000);
      // Timer 5 fires after 1000 ms and closes the port, then pauses 50 ms.
      EXPECT_EQ(h.clock.Now() - finishedAt, 1050u);
    }
  }
}

TEST(BlockUpload, ProgressUsesSinglePrecision) {
  UploadHarness h;
  h.Start(Path::kGeneratorFpga, testing::PatternImage(300));
  EXPECT_EQ(h.dialog.m_fProgress, static_cast<float>(256.0 / 300.0 * 100.0));
  char seven[32];
  std::snprintf(seven, sizeof seven, "%.7g", static_cast<double>(h.dialog.m_fProgress));
  EXPECT_STREQ(seven, "85.33334");
  EXPECT_EQ(h.services.controlTexts[IDC_PROGRESS], "85.3333");
}

TEST(BlockUpload, NegativeAcknowledgementResendsTheSameFrame) {
  // Block 1 refused once; the final block refused twice.
  int finalRefusals = 0;
  InstrumentConfig config;
  config.blockFault = [&](const BlockSeen& block) {
    if (block.number == 1 && block.frameIndex == 1) return BlockAnswer::kNack;
    if (block.last && finalRefusals < 2) {
      ++finalRefusals;
      return BlockAnswer::kNack;
    }
    return BlockAnswer::kAccept;
  };
  UploadHarness h(config);
  const Bytes image = testing::PatternImage(600);
  h.Start(Path::kGeneratorFpga, image);
  ASSERT_TRUE(h.RunUntilFinished());
  const auto frames = h.Frames();
  ASSERT_EQ(frames.size(), 6u);  // 0, 1, 1 again, 2, 2 again, 2 again
  EXPECT_EQ(frames[1], frames[2]);
  EXPECT_EQ(frames[3], frames[4]);
  EXPECT_EQ(frames[4], frames[5]);
  EXPECT_EQ(frames[5][12], 0x40);
  const auto progress = h.services.TextsShown(IDC_PROGRESS);
  EXPECT_EQ(progress, (std::vector<std::string>{"0", "42.6667", "85.3333", "100"}));
  EXPECT_TRUE(h.unit.uploads().at(0).lastBlockAccepted);
}

TEST(BlockUpload, RefusedFinalBlockIsNeverReportedAsSuccess) {
  InstrumentConfig config;
  config.blockFault = [](const BlockSeen& block) {
    return block.last ? BlockAnswer::kNack : BlockAnswer::kAccept;
  };
  UploadHarness h(config);
  h.Start(Path::kGeneratorFpga, testing::PatternImage(512));
  h.clock.RunFor(5000);
  EXPECT_EQ(g_bUploadFinished, 0);
  EXPECT_NE(h.dialog.m_strNote, kSucceededNote);
  EXPECT_NE(h.services.controlTexts[IDC_PROGRESS], "100");
  EXPECT_FALSE(h.services.TimerRunning(kTimerAutoClose));
  EXPECT_EQ(h.dialog.m_bPortOpen, 1);
  EXPECT_GT(h.Frames().size(), 10u) << "the final block goes out again and again";
}

TEST(BlockUpload, AcknowledgementsThatDoNotAdvance) {
  for (BlockAnswer answer : {BlockAnswer::kWrongMagic, BlockAnswer::kMachineFF,
                             BlockAnswer::kBadChecksum, BlockAnswer::kNoAnswer}) {
    InstrumentConfig config;
    config.blockFault = [answer](const BlockSeen& block) {
      return block.number == 1 ? answer : BlockAnswer::kAccept;
    };
    UploadHarness h(config);
    h.Start(Path::kGeneratorFpga, testing::PatternImage(1024));
    h.clock.RunFor(20000);
    EXPECT_EQ(h.Frames().size(), 2u) << int(answer) << ": no time-out, no resend";
    EXPECT_EQ(g_bUploadFinished, 0);
  }
}

TEST(BlockUpload, AcknowledgementsOutsideAnUploadAreIgnored) {
  UploadHarness h;
  const Bytes ack = BuildFrame(kReplyStart, {0, 0, 1, 1}, kBlockAckCommand, {0x78, 0x78, 0});
  h.port.DeliverAt(h.clock.Now(), 1, ack);
  h.clock.RunFor(100);
  EXPECT_TRUE(h.port.writes.empty()) << "unsolicited";

  h.Start(Path::kGeneratorFpga, testing::PatternImage(300));
  ASSERT_TRUE(h.RunUntilFinished());
  const auto sent = h.Frames().size();
  for (uint8_t status : {0, 1}) {
    h.port.DeliverAt(h.clock.Now(), 1,
                     BuildFrame(kReplyStart, {0, 0, 1, 1}, kBlockAckCommand, {0x78, 0x78, status}));
  }
  h.clock.RunFor(100);
  EXPECT_EQ(h.Frames().size(), sent) << "after the end, until the next start";
}

TEST(BlockUpload, BlockThatCannotBeSentEndsTheUpload) {
  // The window has let the port go while the unit's answer to block 0 is still on its way:
  // the next block (or the refused one again) cannot be sent, and no later acknowledgement
  // may count it as accepted.
  for (Path path : {Path::kGeneratorFpga, Path::kAuxFpga}) {
    for (BlockAnswer answer : {BlockAnswer::kAccept, BlockAnswer::kNack}) {
      SCOPED_TRACE(::testing::Message() << "path " << int(path) << " answer " << int(answer));
      InstrumentConfig config;
      config.blockFault = [answer](const BlockSeen& block) {
        return block.number == 0 ? answer : BlockAnswer::kAccept;
      };
      UploadHarness h(config);
      h.Start(path, testing::PatternImage(400));
      ASSERT_EQ(h.Frames().size(), 1u);
      h.dialog.m_bPortOpen = 0;
      h.clock.RunFor(500);
      for (int i = 0; i < 2; ++i) {
        h.port.DeliverAt(h.clock.Now(), 1,
                         BuildFrame(kReplyStart, {0, 0, 1, 1}, kBlockAckCommand, {0x78, 0x78, 0}));
      }
      h.clock.RunFor(500);
      EXPECT_EQ(h.Frames().size(), 1u);
      ASSERT_FALSE(h.Boxes().empty());
      EXPECT_EQ(h.Boxes().back().text, "Com port is not on yet.");
      EXPECT_NE(h.dialog.m_strNote, kSucceededNote);
      EXPECT_NE(h.services.controlTexts[IDC_PROGRESS], "100");
      EXPECT_FALSE(h.dialog.UpdateInFlight()) << "the next start is not refused";
    }
  }
}

TEST(BlockUpload, BlockNumbersAreLittleEndianSixteenBit) {
  UploadHarness h;
  h.Start(Path::kGeneratorFpga, testing::PatternImage(257 * 256));
  ASSERT_TRUE(h.RunUntilFinished());
  const auto frames = h.Frames();
  EXPECT_EQ(frames[256][10], 0x00);
  EXPECT_EQ(frames[256][11], 0x01);
}

TEST(BlockUpload, ImagesBeyondSixteenMebibytesAreRefused) {
  UploadHarness h;
  h.Start(Path::kGeneratorFpga, Bytes(kMaxUploadBytes + 1, 0x5A));
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_NE(h.Boxes()[0].text.find("16777216"), std::string::npos);
  EXPECT_EQ(h.Boxes()[0].caption, "ISP");
  EXPECT_TRUE(h.port.writes.empty());

  UploadHarness exact;
  exact.Start(Path::kNand, Bytes(kMaxUploadBytes, 0x5A));
  EXPECT_EQ(exact.port.writes.size(), 1u) << "exactly 65536 blocks still fit";
}

TEST(BlockUpload, BulkStartsAndTheirKinds) {
  InstrumentConfig config;
  config.blockFault = [](const BlockSeen& block) {
    return block.frameIndex == 0 ? BlockAnswer::kNack : BlockAnswer::kAccept;
  };
  UploadHarness h(config);
  h.Start(Path::kNand, testing::PatternImage(600));
  EXPECT_EQ(h.services.TimerPeriod(kTimerSearchStep), 7000u);
  ASSERT_TRUE(h.RunUntilFinished());
  auto frames = h.Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0], frames[1]) << "a refused bulk frame is sent again as it was";

  // A data-flash upload after the NAND upload: later blocks carry kind 0x21.
  h.dialog.m_deviceType = 0;
  h.port.writes.clear();
  h.Start(Path::kDataFlash, testing::PatternImage(600));
  ASSERT_TRUE(h.RunUntilFinished());
  frames = h.Frames();
  ASSERT_EQ(frames.size(), 3u);
  for (const auto& f : frames) EXPECT_EQ(f[9], kKindDataFlash);
  EXPECT_EQ(frames[0][1], 0x00) << "the bulk frame's device type is fixed at 0";

  // And a second data-flash upload in the same run goes all the way too.
  h.port.writes.clear();
  h.clock.RunFor(1100);  // timer 5 closes the port
  h.dialog.Click(IDC_PORT_BUTTON);
  h.Start(Path::kDataFlash, testing::PatternImage(1000));
  ASSERT_TRUE(h.RunUntilFinished());
  EXPECT_EQ(h.Frames().size(), 4u);
}

TEST(BlockUpload, RefusalsAndTheirCaptions) {
  struct Case {
    const char* name;
    std::function<void(UploadHarness&)> act;
    const char* text;
    const char* caption;
  } cases[] = {
      {"missing FPGA file",
       [](UploadHarness& h) {
         h.dialog.m_pImage = Bytes(4096, 1);  // an older image must not be sent instead
         h.dialog.m_imageSize = 4096;
         h.dialog.Click(IDC_GENERATOR_FPGA);
       },
       "Can not find GENERATOR_MCU.bin !", "korvelt-updater"},
      {"missing analyzer FPGA file",
       [](UploadHarness& h) {
         h.dialog.m_deviceType = 1;
         h.dialog.Click(IDC_ANALYZER_FPGA);
       },
       "Can not find GENERATOR_MCU.bin !", "korvelt-updater"},
      {"generator button on analyzer",
       [](UploadHarness& h) {
         h.dialog.m_deviceType = 1;
         h.dialog.Click(IDC_GENERATOR_FPGA);
       },
       "Please confirm the device is Signal Generator!", " ISP"},
      {"analyzer button on generator", [](UploadHarness& h) { h.dialog.Click(IDC_ANALYZER_FPGA); },
       "Please confirm the device is Signal Analyzer!", " ISP"},
      {"port closed",
       [](UploadHarness& h) {
         h.dialog.Click(IDC_PORT_BUTTON);
         h.dialog.Click(IDC_GENERATOR_FPGA);
       },
       "Please turn on the COM port first!", "ISP"},
      {"data flash, port closed",
       [](UploadHarness& h) {
         h.dialog.Click(IDC_PORT_BUTTON);
         h.dialog.m_deviceType = 5;
         h.dialog.OnAnalyzerDataFlash();
         EXPECT_EQ(h.dialog.m_deviceType, 1) << "set before the port test";
       },
       "Please turn on the COM port first!", "ISP"},
      {"chosen file missing",
       [](UploadHarness& h) {
         h.services.fileAnswers.push_back("/nonexistent/image.bin");
         h.dialog.OnAuxFpga();
       },
       "Open file failed!", "korvelt-updater"},
      {"chosen file is a folder",
       [](UploadHarness& h) {
         h.services.fileAnswers.push_back(h.work.path().string());
         h.dialog.OnNandFlash();
       },
       "Open file failed!", "korvelt-updater"},
  };
  for (const auto& c : cases) {
    UploadHarness h;
    c.act(h);
    ASSERT_EQ(h.Boxes().size(), 1u) << c.name;
    EXPECT_EQ(h.Boxes()[0].text, c.text) << c.name;
    EXPECT_EQ(h.Boxes()[0].caption, c.caption) << c.name;
    EXPECT_TRUE(h.port.writes.empty()) << c.name;
  }
}

TEST(ImageLoading, BufferAfterEachOutcome) {
  UploadHarness h;
  h.work.Write("data/GENERATOR_FPGA.bin", Bytes{7});
  EXPECT_EQ(h.dialog.LoadImageFile(".\\data\\GENERATOR_FPGA.bin"), 1);
  EXPECT_EQ(h.dialog.m_imageSize, 1u);
  EXPECT_EQ(h.dialog.LoadImageFile(".\\data\\ANALYZER_FPGA.bin"), 0);
  EXPECT_EQ(h.dialog.m_imageSize, 1u) << "a failed open keeps the old image";
  h.services.fileAnswers.push_back(std::nullopt);
  EXPECT_EQ(h.dialog.ChooseAndLoadImage(), ImageLoadResult::Cancelled);
  EXPECT_EQ(h.dialog.m_pImage, Bytes{7});
  h.services.fileAnswers.push_back(h.work.Write("empty.bin", {}));
  EXPECT_EQ(h.dialog.ChooseAndLoadImage(), ImageLoadResult::Empty);
  EXPECT_EQ(h.dialog.m_pImage, Bytes{7}) << "a refused file leaves the buffer as it was";
  h.services.fileAnswers.push_back(h.work.Write("big.bin", Bytes(1000000, 3)));
  EXPECT_EQ(h.dialog.ChooseAndLoadImage(), ImageLoadResult::Loaded);
  EXPECT_EQ(h.dialog.m_imageSize, 1000000u);
  ASSERT_EQ(h.services.fileRequests.size(), 3u);
  EXPECT_EQ(h.services.fileRequests[0].filter, "bmp file(*.bin)|*.bin|all file(*.*)|*.*||");
  ASSERT_EQ(h.Boxes().size(), 2u) << "the failed open and the empty file spoke";
  EXPECT_EQ(h.Boxes()[0].text, "Can not find GENERATOR_MCU.bin !");
  EXPECT_NE(h.Boxes()[1].text.find("is empty. Nothing was sent."), std::string::npos);
}

}  // namespace
}  // namespace korvelt

namespace korvelt {
namespace {

// A front end that takes its images from a signed release gives the window other files for its
// fixed paths and a check of every image's bytes: a refused image sends nothing.
TEST(BlockUpload, ImagesAFrontEndNamesAndChecks) {
  const Bytes fixed = testing::PatternImage(1000, 1);
  const Bytes released = testing::PatternImage(1300, 2);
  struct Case {
    bool refuse;
  } cases[] = {{false}, {true}};
  for (const Case& c : cases) {
    UploadHarness h;
    h.work.Write("data/GENERATOR_FPGA.bin", fixed);
    const std::string file = h.work.Write("data/release-GENERATOR_FPGA.bin", released);
    std::vector<std::string> checked;
    h.dialog.Configure({.allowPlaceholderLoader = true,
                        .imageFiles = {{kGeneratorFpgaImage, file}},
                        .imageCheck = [&](const std::string& path, std::span<const uint8_t> b)
                            -> std::optional<std::string> {
                          checked.push_back(path);
                          EXPECT_EQ(Bytes(b.begin(), b.end()), released);
                          if (c.refuse) return "changed since the release was checked";
                          return std::nullopt;
                        }});
    h.dialog.Click(IDC_GENERATOR_FPGA);
    EXPECT_EQ(checked, std::vector<std::string>{file})
        << (h.Boxes().empty() ? std::string() : h.Boxes().back().text);
    if (c.refuse) {
      EXPECT_TRUE(h.port.writes.empty()) << "not a byte of a refused image";
      ASSERT_FALSE(h.services.results.empty());
      EXPECT_EQ(h.services.results.back().failure, FailureKind::kImage);
      EXPECT_EQ(h.Boxes().back().text, "changed since the release was checked");
      continue;
    }
    ASSERT_TRUE(h.RunUntilFinished());
    Bytes padded = released;
    padded.resize(6 * 256, 0x00);  // the last block is padded with zeros
    EXPECT_EQ(h.unit.uploads().at(kKindFpga).bytes, padded);
  }
}

}  // namespace
}  // namespace korvelt
