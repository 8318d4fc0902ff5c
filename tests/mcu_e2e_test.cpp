// The MCU update over real pseudo-terminals, and a bootloader client we did not write
// (stm32flash) against our virtual MCU.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "resources/dialog_layout.h"
#include "sim/stm32_bootloader_model.h"
#include "tests/support/pty_rig.h"
#include "tests/support/temp_workdir.h"

namespace korvelt {
namespace {

using namespace std::chrono_literals;

TEST(McuEndToEnd, SixteenKibibytesThroughTheButton) {
  testing::TempWorkDir work;
  const auto image = testing::PatternImage(16 * 1024, 16);
  work.Write("data/GENERATOR_MCU(rack).bin", image);
  testing::PtyRig rig;
  auto model = std::make_shared<sim::InstrumentModel>(sim::InstrumentConfig{});
  auto& unit = rig.Serve(3, model);

  rig.dialog().m_nPortNumber = 3;
  rig.dialog().Click(IDC_PORT_BUTTON);
  ASSERT_EQ(rig.dialog().m_bPortOpen, 1);
  const auto start = std::chrono::steady_clock::now();
  rig.dialog().Click(IDC_UPDATE_GENERATOR_MCU);
  ASSERT_TRUE(rig.window().RunUntil([&] { return rig.dialog().m_bStm32Mode == 1; }, 10s));
  ASSERT_TRUE(rig.window().RunUntil(
      [&] { return rig.dialog().m_bStm32Mode == 0 && rig.dialog().m_bPortOpen == 0; }, 120s));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(rig.window().boxes().empty());
  EXPECT_EQ(rig.window().ControlText(IDC_NOTE),
            "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!");
  EXPECT_EQ(rig.dialog().m_cParity, 'N') << "back to 8N1 for the next unit";
  unit.WithModel([&](sim::InstrumentModel& m) {
    const auto& flash = m.mcu().flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "flash equals image";
    EXPECT_EQ(m.mcu().writesIntoUnerasedFlash(), 0u);
  });
  // On the wire: 130 + 5 + 2 bytes a block out and 3 back, 11 bits a byte at 115200 baud.
  const double bound = (16 * 1024 / 128) * (130 + 5 + 2 + 3) * 11.0 / 115200;
  std::printf("16 KiB MCU update over ptys: %.2f s; wire-time bound %.2f s (ratio %.1f)\n", seconds,
              bound, seconds / bound);
}

TEST(VirtualMcu, AgreesWithStm32flash) {
  if (std::system("command -v stm32flash > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "stm32flash is not installed (make deps installs it)";
  }
  testing::TempWorkDir work;
  const auto image = testing::PatternImage(20 * 1024 + 77, 3);
  const std::string file = work.Write("image.bin", image);
  auto model =
      std::make_shared<sim::InstrumentModel>(sim::InstrumentConfig{.startInBootloader = true});
  sim::PtyDevice device(model);
  ASSERT_TRUE(device.Start((work.path() / "COM9").string()));
  const std::string command = "timeout 120 stm32flash -b 115200 -m 8n1 -w " + file + " -v " +
                              device.portPath() + " > " + (work.path() / "log.txt").string() +
                              " 2>&1";
  const int status = std::system(command.c_str());
  std::string log;
  if (FILE* f = std::fopen((work.path() / "log.txt").c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, f)) log += line;
    std::fclose(f);
  }
  EXPECT_EQ(status, 0) << log;
  device.WithModel([&](sim::InstrumentModel& m) {
    const auto& flash = m.mcu().flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "flash equals image";
  });
  device.Stop();
}

}  // namespace
}  // namespace korvelt
