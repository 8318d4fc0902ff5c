#include <gtest/gtest.h>

#include <fstream>

#include "serial/port_map.h"
#include "tests/support/pty_pair.h"

namespace korvelt {
namespace {

TEST(PortMap, ParsesBothNameForms) {
  struct Case {
    const char* name;
    std::optional<int> number;
  } cases[] = {{"COM1", 1},
               {"COM99", 99},
               {"\\\\.\\COM10", 10},
               {"\\\\.\\COM100", 100},
               {"COM", std::nullopt},
               {"com3", std::nullopt},
               {"COM3x", std::nullopt},
               {"/dev/ttyS0", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(PortMap::ParsePortName(c.name), c.number) << c.name;
}

TEST(PortMap, FolderEntriesOnlyFromOneToNinetyNine) {
  testing::PortFolder folder;
  folder.Link(3, "/dev/null");
  folder.Link(12, "/nonexistent/device");  // a dangling link still names the port
  folder.Link(100, "/dev/null");
  std::ofstream(folder.path() + "/README") << "ignored";
  auto map = PortMap::FromFolder(folder.path());
  ASSERT_EQ(map.Entries().size(), 2u);
  EXPECT_EQ(map.Resolve(3), folder.path() + "/COM3");
  EXPECT_TRUE(map.ResolveName("\\\\.\\COM12").has_value());
  EXPECT_FALSE(map.Resolve(100).has_value());
  EXPECT_FALSE(map.Resolve(4).has_value());
  EXPECT_NE(map.Describe().find("COM3 -> "), std::string::npos);
}

TEST(PortMap, DevicesAreNumberedByFamilyThenNumericOrder) {
  testing::PortFolder dev;
  for (const char* name : {"ttyS10", "ttyS2", "ttyUSB1", "ttyUSB0", "ttyACM0", "ttySX", "tty1"}) {
    std::ofstream(dev.path() + "/" + name) << "";
  }
  auto map = PortMap::FromDevices(dev.path());
  std::vector<std::string> order;
  for (const auto& entry : map.Entries())
    order.push_back(entry.device.substr(dev.path().size() + 1));
  EXPECT_EQ(order, (std::vector<std::string>{"ttyACM0", "ttyUSB0", "ttyUSB1", "ttyS2", "ttyS10"}));
  EXPECT_EQ(map.Entries().front().number, 1);
}

}  // namespace
}  // namespace korvelt
