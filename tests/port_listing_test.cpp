// 'korvelt-cli ports' on Linux, from sysfs trees recorded under tests/data/sysfs/.
#include <gtest/gtest.h>

#include <cstdlib>

#include "serial/port_listing.h"
#include "serial/tty_adapter_sysfs.h"
#include "tests/support/pty_pair.h"

namespace korvelt {
namespace {

using testing::PortFolder;
using Kind = TtyAdapter::Kind;

const std::string kAdapters = std::string(KORVELT_TEST_DATA) + "/sysfs/adapters";

TEST(TtyAdapterSysfs, UsbAdaptersAndUartsAsSysfsDescribesThem) {
  PortFolder folder;
  folder.Link(1, "/dev/ttyUSB0");
  struct Case {
    std::string device;
    Kind kind;
    std::string text;
  } cases[] = {
      {"/dev/ttyUSB0", Kind::kUsb,
       "USB 0403:6001 FTDI FT232R USB UART, serial A50285BI, driver ftdi_sio"},
      {"/dev/ttyUSB1", Kind::kUsb, "USB 1a86:7523 USB Serial, driver ch341-uart"},
      {"/dev/ttyACM0", Kind::kUsb,
       "USB 0483:5740 STMicroelectronics STM32 Virtual ComPort, serial 3276385E3235, driver "
       "cdc_acm"},
      {"/dev/ttyS0", Kind::kUart, "UART 16550A"},
      {"/dev/ttyS1", Kind::kNoUart, "no UART"},
      {"/dev/pts/7", Kind::kUnknown, ""},
      {"/dev/ttyUSB9", Kind::kUnknown, ""},
      {folder.path() + "/COM1", Kind::kUsb,  // a port folder's link is followed to the device
       "USB 0403:6001 FTDI FT232R USB UART, serial A50285BI, driver ftdi_sio"},
  };
  for (const auto& c : cases) {
    const TtyAdapter adapter = DescribeTtyAdapter(c.device, kAdapters);
    EXPECT_EQ(adapter.kind, c.kind) << c.device;
    EXPECT_EQ(adapter.text, c.text) << c.device;
  }
}

TEST(PortListing, ListsAdaptersAndLeavesOutSerialDevicesWithNoUart) {
  PortFolder folder;
  folder.Link(1, "/dev/ttyACM0");
  folder.Link(2, "/dev/ttyUSB0");
  folder.Link(3, "/dev/ttyS1");
  folder.Link(4, "/dev/ttyS0");
  folder.Link(5, "/dev/pts/7");
  ::setenv(PortMap::kFolderVariable, folder.path().c_str(), 1);
  ::setenv(kSysfsRootVariable, kAdapters.c_str(), 1);
  const std::string listing = ListPorts();
  ::unsetenv(kSysfsRootVariable);
  ::unsetenv(PortMap::kFolderVariable);
  EXPECT_EQ(listing,
            "COM ports from port map folder " + folder.path() +
                ":\n"
                "  COM1 -> /dev/ttyACM0  USB 0483:5740 STMicroelectronics STM32 Virtual ComPort, "
                "serial 3276385E3235, driver cdc_acm\n"
                "  COM2 -> /dev/ttyUSB0  USB 0403:6001 FTDI FT232R USB UART, serial A50285BI, "
                "driver ftdi_sio\n"
                "  COM4 -> /dev/ttyS0  UART 16550A\n"
                "  COM5 -> /dev/pts/7\n"
                "  (1 ttyS device with no UART left out)\n");

  PortFolder onlyDead;
  onlyDead.Link(1, "/dev/ttyS1");
  EXPECT_EQ(ListPortsWithAdapters(PortMap::FromFolder(onlyDead.path()), kAdapters),
            "COM ports from port map folder " + onlyDead.path() +
                ":\n  (none)\n  (1 ttyS device with no UART left out)\n");
}

}  // namespace
}  // namespace korvelt
