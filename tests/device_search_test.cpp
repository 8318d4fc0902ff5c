#include <gtest/gtest.h>

#include "protocol/device_search.h"
#include "protocol/frame.h"
#include "resources/dialog_layout.h"
#include "sim/instrument_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/sim_link.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::InstrumentConfig;
using sim::InstrumentModel;

const char* kNotFound =
    "Can not find available device for this console(from com1 to com99)\r Or COM port is used by "
    "other application!";

struct SearchHarness : testing::DialogHarness {
  SearchHarness() : link(clock, port) {}
  bool RunUntilSearchEnds(uint64_t limitMs = 60000) {
    return clock.RunUntil([&] { return dialog.m_bSearching == 0; }, limitMs);
  }
  testing::SimLink link;
};

TEST(DeviceSearch, FindsUnitBehindSilentPorts) {
  SearchHarness h;
  InstrumentModel unit({});
  for (int com = 1; com <= 4; ++com) h.link.Attach(com, nullptr);
  h.link.Attach(5, &unit);
  h.dialog.Click(IDC_SEARCH_GENERATOR);
  EXPECT_EQ(h.dialog.m_strStatus, "Please wait.....");
  EXPECT_EQ(h.services.TimerPeriod(kTimerSearchStep), 300u);
  ASSERT_TRUE(h.RunUntilSearchEnds());
  EXPECT_EQ(h.dialog.m_nPortNumber, 5);
  EXPECT_EQ(h.dialog.m_bPortOpen, 1);
  EXPECT_EQ(h.Caption(), "Close Port");
  EXPECT_EQ(h.services.portIcon, PortIcon::kOn);
  EXPECT_EQ(h.services.GetComboSelection(IDC_PORT_LIST), 4);
  EXPECT_EQ(h.dialog.m_strStatus, " ");
  EXPECT_EQ(h.services.controlTexts[IDC_STATUS], " ");
  EXPECT_FALSE(h.services.TimerRunning(kTimerSearchStep));
  EXPECT_TRUE(h.port.Monitored());
  EXPECT_EQ(h.dialog.m_deviceType, 0);
  EXPECT_TRUE(h.Boxes().empty());
  // 300 ms on COM1, 400 ms on each further silent port, then 200 ms after the reply.
  EXPECT_NEAR(static_cast<double>(h.clock.Now()), 300 + 3 * 400 + 2 + 200, 5);
  // Every port got the same probe.
  for (int com = 1; com <= 5; ++com) {
    EXPECT_EQ(h.port.BytesWrittenTo(com),
              (Bytes{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x57}))
        << com;
  }
}

TEST(DeviceSearch, NoPortAvailableShowsMessageAtOnce) {
  SearchHarness h;
  h.dialog.m_nPortNumber = 6;
  h.dialog.Click(IDC_SEARCH_GENERATOR);
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_EQ(h.Boxes()[0].text, kNotFound);
  EXPECT_EQ(h.Boxes()[0].caption, "ISP");
  EXPECT_EQ(h.dialog.m_nPortNumber, 1);
  EXPECT_EQ(h.dialog.m_bPortOpen, 0);
  EXPECT_FALSE(h.services.TimerRunning(kTimerSearchStep));
  EXPECT_EQ(h.dialog.m_strStatus, " ");
}

TEST(DeviceSearch, ExhaustedSearchRestoresSavedPort) {
  SearchHarness h;
  InstrumentModel silent({.silent = true});
  h.link.Attach(2, &silent);
  h.link.Attach(40, nullptr);
  h.dialog.m_nPortNumber = 8;
  h.dialog.Click(IDC_SEARCH_ANALYZER);
  ASSERT_TRUE(h.RunUntilSearchEnds());
  EXPECT_EQ(g_nSavedPortNumber, 8);
  EXPECT_EQ(h.dialog.m_nPortNumber, 8);
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_EQ(h.Boxes()[0].text, kNotFound);
  EXPECT_EQ(h.dialog.m_bPortOpen, 0);
  EXPECT_EQ(h.Caption(), "Turn on Port");
  EXPECT_FALSE(h.port.HoldsPort());
}

TEST(DeviceSearch, RepliesThatDoNotEndTheSearch) {
  struct Case {
    const char* name;
    InstrumentConfig config;
    bool found;
  } cases[] = {
      {"another type", {.deviceType = 0, .answerAsType = 1}, false},
      {"any address, wrong checksum",
       {.group = 0x42, .machine = 0x17, .corruptSearchChecksum = true},
       true},
      {"gaps under 200 ms", {.replyByteGapMs = 150}, true},
      {"gaps over 200 ms", {.replyByteGapMs = 250}, false},
  };
  for (const auto& c : cases) {
    SearchHarness h;
    InstrumentModel unit(c.config);
    h.link.Attach(1, &unit);
    h.dialog.Click(IDC_SEARCH_GENERATOR);
    ASSERT_TRUE(h.RunUntilSearchEnds()) << c.name;
    EXPECT_EQ(h.dialog.m_bPortOpen, c.found ? 1 : 0) << c.name;
    EXPECT_EQ(h.Boxes().size(), c.found ? 0u : 1u) << c.name;
  }
}

TEST(DeviceSearch, SecondPressRestartsAtComOne) {
  SearchHarness h;
  for (int com : {1, 2, 3}) h.link.Attach(com, nullptr);
  h.dialog.Click(IDC_SEARCH_GENERATOR);
  h.clock.RunFor(750);  // now on COM3
  EXPECT_EQ(h.dialog.m_nPortNumber, 3);
  h.dialog.Click(IDC_SEARCH_GENERATOR);
  EXPECT_EQ(h.dialog.m_nPortNumber, 1);
  EXPECT_EQ(g_nSavedPortNumber, 3);
  EXPECT_EQ(h.services.TimerPeriod(kTimerSearchStep), 300u);
  ASSERT_TRUE(h.RunUntilSearchEnds());
  EXPECT_EQ(h.Boxes().size(), 1u) << "one message for the one search that ran out";
  EXPECT_EQ(h.dialog.m_nPortNumber, 3);
}

TEST(DeviceSearch, AnalyzerSearchKeepsParityGeneratorResetsIt) {
  SearchHarness h;
  InstrumentModel analyzer({.deviceType = 1});
  h.link.Attach(2, &analyzer);
  h.dialog.m_cParity = 'E';
  h.dialog.Click(IDC_SEARCH_ANALYZER);
  EXPECT_EQ(h.port.opens.back().parity, 'E');
  EXPECT_EQ(h.port.BytesWrittenTo(2),
            (Bytes{0xAA, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x56}));
  ASSERT_TRUE(h.RunUntilSearchEnds());
  EXPECT_EQ(h.dialog.m_bPortOpen, 1);
  h.dialog.Click(IDC_SEARCH_GENERATOR);
  EXPECT_EQ(h.port.opens.back().parity, 'N');
  EXPECT_EQ(h.dialog.m_cParity, 'N');
}

TEST(DeviceSearch, UploadTimerWithoutSearchDoesNothing) {
  SearchHarness h;
  h.services.StartTimer(kTimerSearchStep, 7000);
  h.clock.RunFor(21000);
  EXPECT_TRUE(h.port.opens.empty());
  EXPECT_TRUE(h.Boxes().empty());
}

}  // namespace
}  // namespace korvelt
