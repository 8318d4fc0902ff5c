// An input-board update over real pseudo-terminals: the request, the banner, the loader, then
// the image in chunks paced by the port's write-completed notifications.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "resources/dialog_layout.h"
#include "sim/input_board_model.h"
#include "tests/support/pty_rig.h"
#include "tests/support/temp_workdir.h"

namespace korvelt {
namespace {

using namespace std::chrono_literals;

TEST(InputBoardEndToEnd, TwentyKibibytesToBoardTwo) {
  testing::TempWorkDir work;
  const auto image = testing::PatternImage(20 * 1024, 20);
  const std::string file = work.Write("in2.bin", image);
  testing::PtyRig rig;
  auto& unit = rig.Serve(4, std::make_shared<sim::InstrumentModel>(sim::InstrumentConfig{}));
  rig.window().QueueFileChoice(file);

  rig.dialog().m_nPortNumber = 4;
  rig.dialog().Click(IDC_PORT_BUTTON);
  ASSERT_EQ(rig.dialog().m_bPortOpen, 1);
  const auto start = std::chrono::steady_clock::now();
  rig.dialog().OnUpdateInputBoard2();
  ASSERT_TRUE(rig.window().RunUntil([&] { return rig.dialog().m_bLoaderMode == 1; }, 10s));
  ASSERT_TRUE(rig.window().RunUntil([&] { return rig.dialog().m_bPortOpen == 0; }, 60s));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(rig.dialog().m_bLoaderMode, 0);
  EXPECT_EQ(rig.window().ControlText(IDC_PROGRESS), "100");
  unit.WithModel([&](sim::InstrumentModel& m) {
    EXPECT_EQ(m.inputBoardRequested(), 2);
    EXPECT_EQ(m.inputBoard().loader().size(), 5446u);
    EXPECT_TRUE(m.inputBoard().boardImage() == image) << "the board holds the image";
    EXPECT_TRUE(m.inputBoard().errors().empty());
  });
  std::printf("20 KiB input-board update over ptys: %.2f s (port closed included)\n", seconds);

  // The operator updates the same board again: the unit's firmware has the link back.
  const auto again = testing::PatternImage(3000, 21);
  rig.window().QueueFileChoice(work.Write("in2-again.bin", again));
  rig.dialog().Click(IDC_PORT_BUTTON);
  ASSERT_EQ(rig.dialog().m_bPortOpen, 1);
  rig.dialog().OnUpdateInputBoard2();
  ASSERT_TRUE(rig.window().RunUntil([&] { return rig.dialog().m_bLoaderMode == 1; }, 10s))
      << "the second request was answered";
  ASSERT_TRUE(rig.window().RunUntil([&] { return rig.dialog().m_bPortOpen == 0; }, 60s));
  unit.WithModel([&](sim::InstrumentModel& m) {
    EXPECT_TRUE(m.inputBoard().boardImage() == again) << "the board holds the second image";
    EXPECT_TRUE(m.inputBoard().errors().empty());
  });
}

}  // namespace
}  // namespace korvelt
