// The search over real pseudo-terminals: real serial port, port-map folder, device models.
#include <gtest/gtest.h>

#include "resources/dialog_layout.h"
#include "tests/support/pty_rig.h"

namespace korvelt {
namespace {

using namespace std::chrono_literals;

TEST(SearchEndToEnd, FindsGeneratorOnComThree) {
  testing::PtyRig rig;
  rig.Serve(1, std::make_shared<sim::InstrumentModel>(sim::InstrumentConfig{.silent = true}));
  rig.Serve(2, std::make_shared<sim::InstrumentModel>(sim::InstrumentConfig{.deviceType = 1}));
  auto& generator = rig.Serve(3, std::make_shared<sim::InstrumentModel>(sim::InstrumentConfig{}));

  rig.dialog().Click(IDC_SEARCH_GENERATOR);
  ASSERT_TRUE(rig.window().RunUntil([&] { return rig.dialog().m_bSearching == 0; }, 10s));
  EXPECT_EQ(rig.dialog().m_nPortNumber, 3);
  EXPECT_EQ(rig.dialog().m_bPortOpen, 1);
  EXPECT_EQ(rig.window().ControlText(IDC_PORT_BUTTON), "Close Port");
  EXPECT_TRUE(rig.window().boxes().empty());
  uint64_t answered = 0;
  generator.WithModel([&](sim::InstrumentModel& m) { answered = m.probesAnswered(); });
  EXPECT_EQ(answered, 1u);
}

}  // namespace
}  // namespace korvelt
