// An FPGA upload over real pseudo-terminals, with refusals along the way.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "resources/dialog_layout.h"
#include "tests/support/pty_rig.h"
#include "tests/support/temp_workdir.h"
#include "update/block_upload.h"

namespace korvelt {
namespace {

using namespace std::chrono_literals;

TEST(UploadEndToEnd, QuarterMebibyteFpgaImageWithRefusals) {
  testing::TempWorkDir work;
  const auto image = testing::PatternImage(256 * 1024, 7);
  work.Write("data/GENERATOR_FPGA.bin", image);
  testing::PtyRig rig;
  auto model = std::make_shared<sim::InstrumentModel>(
      sim::InstrumentConfig{.replyDelayMs = 0, .nackEvery = 50});
  auto& unit = rig.Serve(3, model);

  rig.dialog().m_nPortNumber = 3;
  rig.dialog().Click(IDC_PORT_BUTTON);
  ASSERT_EQ(rig.dialog().m_bPortOpen, 1);
  const auto start = std::chrono::steady_clock::now();
  rig.dialog().Click(IDC_GENERATOR_FPGA);
  ASSERT_TRUE(rig.window().RunUntil([] { return g_bUploadFinished == 1; }, 120s));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto finished = std::chrono::steady_clock::now();
  ASSERT_TRUE(rig.window().RunUntil([&] { return rig.dialog().m_bPortOpen == 0; }, 5s));
  const double closeAfter =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - finished).count();
  EXPECT_NEAR(closeAfter, 1.0, 0.25);

  unit.WithModel([&](sim::InstrumentModel& m) {
    const auto& uploaded = m.uploads().at(kKindFpga);
    EXPECT_TRUE(uploaded.lastBlockAccepted);
    EXPECT_TRUE(uploaded.bytes == image) << "the unit's memory equals the image";
    EXPECT_EQ(m.blockFramesSeen(), 1024u + 1024u / 50u) << "every 50th block went twice";
  });
  EXPECT_EQ(rig.window().ControlText(IDC_PROGRESS), "100");
  std::printf("256 KiB FPGA upload over ptys: %.3f s, %.2f MB/s of image\n", seconds,
              image.size() / seconds / 1e6);
}

}  // namespace
}  // namespace korvelt
