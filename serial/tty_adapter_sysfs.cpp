// The adapter behind a tty device, from sysfs: /sys/class/tty/NAME/device leads to the USB
// interface (or the usb-serial port below it), whose USB device holds idVendor, idProduct,
// manufacturer, product and serial; a ttyS device has a 'type' file, 0 when no UART is there.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "serial/tty_adapter_sysfs.h"

namespace korvelt {

namespace fs = std::filesystem;

namespace {

constexpr int kUsbLevelsUp = 3;  // tty device, usb-serial port, interface, USB device

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The device file a port map entry names, through its links (ports/COM3 -> /dev/ttyUSB0).
fs::path FollowLinks(fs::path path) {
  std::error_code error;
  for (int hops = 0; hops < 16 && fs::is_symlink(path, error); ++hops) {
    fs::path target = fs::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path.lexically_normal();
}

const char* UartName(int type) {
  static constexpr const char* kNames[] = {"unknown", "8250",  "16450",   "16550", "16550A",
                                           "Cirrus",  "16650", "16650V2", "16750"};
  return type >= 0 && type < static_cast<int>(std::size(kNames)) ? kNames[type] : nullptr;
}

// The UART type of a ttyS device: its sysfs 'type', or TIOCGSERIAL where sysfs has none.
std::optional<int> UartType(const fs::path& ttyDir, const fs::path& device) {
  const std::string type = ReadLine(ttyDir / "type");
  if (!type.empty()) return std::atoi(type.c_str());
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  serial_struct serial{};
  const bool known = ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
  ::close(fd);
  if (!known) return std::nullopt;
  return serial.type;
}

std::optional<TtyAdapter> UsbAdapter(const fs::path& deviceDir) {
  std::error_code error;
  fs::path dir = fs::canonical(deviceDir, error);
  if (error) return std::nullopt;
  for (int up = 0; up <= kUsbLevelsUp; ++up, dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", error)) continue;
    std::string text = "USB " + ReadLine(dir / "idVendor") + ":" + ReadLine(dir / "idProduct");
    for (const char* name : {"manufacturer", "product"}) {
      const std::string value = ReadLine(dir / name);
      if (!value.empty()) text += " " + value;
    }
    const std::string serial = ReadLine(dir / "serial");
    if (!serial.empty()) text += ", serial " + serial;
    const fs::path driver = fs::read_symlink(deviceDir / "driver", error);
    if (!error) text += ", driver " + driver.filename().string();
    return TtyAdapter{TtyAdapter::Kind::kUsb, text, serial};
  }
  return std::nullopt;
}

}  // namespace

TtyAdapter DescribeTtyAdapter(const std::string& device, const std::string& sysfsRoot) {
  const fs::path file = FollowLinks(device);
  const std::string name = file.filename().string();
  const fs::path ttyDir = fs::path(sysfsRoot) / "class/tty" / name;
  std::error_code error;
  if (name.empty() || !fs::exists(ttyDir, error)) return {};
  if (fs::exists(ttyDir / "device", error)) {
    if (auto usb = UsbAdapter(ttyDir / "device")) return *usb;
  }
  if (name.rfind("ttyS", 0) != 0) return {};
  auto type = UartType(ttyDir, file);
  if (!type) return {};
  if (*type == 0) return {TtyAdapter::Kind::kNoUart, "no UART"};
  const char* uart = UartName(*type);
  return {TtyAdapter::Kind::kUart,
          uart ? std::string("UART ") + uart : "UART type " + std::to_string(*type)};
}

std::string ListPortsWithAdapters(const PortMap& map, const std::string& sysfsRoot) {
  std::string text = "COM ports from " + map.Source() + ":\n";
  int listed = 0;
  int withoutUart = 0;
  for (const auto& entry : map.Entries()) {
    const TtyAdapter adapter = DescribeTtyAdapter(entry.device, sysfsRoot);
    if (adapter.kind == TtyAdapter::Kind::kNoUart) {
      ++withoutUart;
      continue;
    }
    text += "  COM" + std::to_string(entry.number) + " -> " + FollowLinks(entry.device).string();
    if (!adapter.text.empty()) text += "  " + adapter.text;
    text += "\n";
    ++listed;
  }
  if (listed == 0) text += "  (none)\n";
  if (withoutUart > 0) {
    text += "  (" + std::to_string(withoutUart) + " ttyS device" + (withoutUart > 1 ? "s" : "") +
            " with no UART left out)\n";
  }
  return text;
}

}  // namespace korvelt
