#include <gtest/gtest.h>

#include "resources/dialog_layout.h"
#include "tests/support/dialog_harness.h"

namespace korvelt {
namespace {

using testing::DialogHarness;

void ExpectShownClosed(DialogHarness& h) {
  EXPECT_EQ(h.dialog.m_bPortOpen, 0);
  EXPECT_EQ(h.Caption(), "Turn on Port");
  EXPECT_EQ(h.services.portIcon, PortIcon::kOff);
}

void ExpectShownOpen(DialogHarness& h) {
  EXPECT_EQ(h.dialog.m_bPortOpen, 1);
  EXPECT_EQ(h.Caption(), "Close Port");
  EXPECT_EQ(h.services.portIcon, PortIcon::kOn);
}

TEST(PortControls, ButtonWithAbsentPortShowsOneBox) {
  DialogHarness h;
  h.dialog.Click(IDC_PORT_BUTTON);
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_EQ(h.Boxes()[0].text, "Can not find this port or used by other application");
  EXPECT_EQ(h.Boxes()[0].kind, testing::FakeWindowServices::BoxKind::kApplication);
  ExpectShownClosed(h);
  EXPECT_EQ(h.port.monitorStarts, 0);
}

TEST(PortControls, ButtonOpensThenClosesWithoutBox) {
  DialogHarness h;
  h.port.presentPorts = {1};
  h.dialog.Click(IDC_PORT_BUTTON);
  ExpectShownOpen(h);
  ASSERT_EQ(h.port.opens.size(), 1u);
  const auto& open = h.port.opens[0];
  EXPECT_EQ(open.portNumber, 1);
  EXPECT_EQ(open.baudRate, 115200);
  EXPECT_EQ(open.parity, 'N');
  EXPECT_EQ(open.dataBits, 8);
  EXPECT_EQ(open.stopBits, 1);
  EXPECT_EQ(open.eventMask, 3u);
  EXPECT_EQ(open.writeCapacity, 512);
  EXPECT_TRUE(h.port.Monitored());

  h.dialog.Click(IDC_PORT_BUTTON);
  ExpectShownClosed(h);
  EXPECT_EQ(h.port.closeRequests, 1);
  EXPECT_TRUE(h.Boxes().empty());
}

TEST(PortControls, ParityRules) {
  // The button always opens with 'N' and sets it back; the list keeps what is in use.
  DialogHarness h;
  h.port.presentPorts = {1, 3};
  h.dialog.m_cParity = 'E';
  h.services.comboSelections[IDC_PORT_LIST] = 2;
  h.dialog.SelectionMade(IDC_PORT_LIST);
  EXPECT_EQ(h.port.opens.back().parity, 'E');
  EXPECT_EQ(h.dialog.m_cParity, 'E');

  h.dialog.Click(IDC_PORT_BUTTON);  // close
  h.dialog.Click(IDC_PORT_BUTTON);  // open
  EXPECT_EQ(h.port.opens.back().parity, 'N');
  EXPECT_EQ(h.dialog.m_cParity, 'N');
}

TEST(PortControls, ListChoiceMovesToTheNewPort) {
  DialogHarness h;
  h.port.presentPorts = {1, 3};
  h.dialog.Click(IDC_PORT_BUTTON);
  h.services.comboSelections[IDC_PORT_LIST] = 2;
  h.dialog.SelectionMade(IDC_PORT_LIST);
  EXPECT_EQ(h.port.closeRequests, 1) << "COM1 is closed first";
  EXPECT_EQ(h.dialog.m_nPortNumber, 3);
  EXPECT_EQ(h.port.CurrentPort(), 3);
  EXPECT_TRUE(h.port.Monitored());
  ExpectShownOpen(h);

  h.port.DeliverAt(h.clock.Now() + 1, 3, {0x41});
  h.clock.RunFor(5);  // delivered without fault (the parser has no consumer for 'A')
}

TEST(PortControls, ListChoiceOfMissingPortShowsClosed) {
  DialogHarness h;
  h.port.presentPorts = {1};
  h.dialog.Click(IDC_PORT_BUTTON);
  h.services.comboSelections[IDC_PORT_LIST] = 99;  // the empty last entry: port 100
  h.dialog.SelectionMade(IDC_PORT_LIST);
  EXPECT_EQ(h.port.opens.back().portNumber, 100);
  ASSERT_EQ(h.Boxes().size(), 1u);
  EXPECT_EQ(h.Boxes()[0].text, "Can not find this port or used by other application");
  ExpectShownClosed(h);
  EXPECT_FALSE(h.port.HoldsPort());
}

TEST(PortControls, AutoCloseTimerActsOnce) {
  DialogHarness h;
  h.port.presentPorts = {1};
  h.dialog.Click(IDC_PORT_BUTTON);
  h.services.StartTimer(kTimerAutoClose, 1000);
  h.clock.RunFor(999);
  ExpectShownOpen(h);
  h.clock.RunFor(1);
  ExpectShownClosed(h);
  EXPECT_EQ(h.services.pauses, std::vector<unsigned>{50});
  EXPECT_FALSE(h.services.TimerRunning(kTimerAutoClose));
  h.clock.RunFor(5000);
  EXPECT_EQ(h.port.closeRequests, 1);

  // Already closed: shown closed again, nothing else.
  h.services.StartTimer(kTimerAutoClose, 1000);
  h.clock.RunFor(1000);
  ExpectShownClosed(h);
  EXPECT_TRUE(h.Boxes().empty());
}

}  // namespace
}  // namespace korvelt
