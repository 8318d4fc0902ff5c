// The production-line scan: every COM port at once instead of one port per 400 ms.
#include "line/unit_scan.h"

#include <algorithm>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "protocol/frame.h"
#include "protocol/search_reply.h"
#include "serial/notification_channel.h"
#include "serial/serial_messages.h"
#include "serial/serial_port.h"

namespace korvelt::line {

namespace {

constexpr int kBaudRate = 115200;
constexpr uint32_t kEventMask = kEvRxChar | kEvRxFlag;

struct Listener {
  std::unique_ptr<SerialPort> port;
  std::vector<SearchReplyMatcher> matchers;
  std::vector<bool> answered;
  bool checking = false;  // asked at 8E1 whether a bootloader waits
  bool bootloaderAnswered = false;
  std::vector<uint8_t> reply;  // the bootloader's answer to the ID's read, as it comes
};

// A bootloader answers its sync byte (ACK), or, synced already, refuses a second one (NACK);
// one cut in the middle of a command refuses the filler that completes it. Each step waits
// this long for an answer through a USB adapter.
constexpr auto kBootloaderAnswer = std::chrono::milliseconds(100);
constexpr uint8_t kSync = 0x7F;
constexpr int kFillerBytes = 258;

// Asks every port that did not answer the probe whether an MCU bootloader waits on it.
void CheckBootloaders(std::map<int, Listener>& listeners, NotificationChannel& channel) {
  std::vector<Listener*> silent;
  for (auto& [number, listener] : listeners) {
    if (std::find(listener.answered.begin(), listener.answered.end(), true) !=
        listener.answered.end())
      continue;
    listener.checking = true;
    if (!listener.port->OpenPort(&channel, number, kBaudRate, 'E', 8, 1, kEventMask,
                                 kWriteSlotBytes)) {
      continue;
    }
    listener.port->StartMonitor();
    silent.push_back(&listener);
  }
  static const std::vector<uint8_t> kFiller(kFillerBytes, 0xFF);
  const std::vector<uint8_t> sync = {kSync};
  for (const auto* bytes : {&sync, &sync, &kFiller}) {
    bool asked = false;
    for (Listener* listener : silent) {
      if (listener->bootloaderAnswered) continue;
      listener->port->QueueWrite(bytes->data(), static_cast<int>(bytes->size()));
      asked = true;
    }
    if (!asked) break;
    const auto until = std::chrono::steady_clock::now() +
                       (bytes == &kFiller ? 2 * kBootloaderAnswer : kBootloaderAnswer);
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
      channel.WaitForPending(std::chrono::duration_cast<std::chrono::milliseconds>(until - now));
      channel.DrainPending();
    }
  }
}

// Asks each waiting bootloader for its MCU's unique ID: Read Memory of the 12 bytes at
// kUidAddress, each of its three parts answered by ACK, the last followed by the bytes.
void ReadUniqueIds(std::map<int, Listener>& listeners, NotificationChannel& channel,
                   std::vector<FoundUnit>& found) {
  constexpr uint32_t kUidAddress = 0x1FFFF7E8;
  constexpr uint8_t kAck = 0x79;
  constexpr std::size_t kUidBytes = 12;
  const std::vector<uint8_t> address = {
      static_cast<uint8_t>(kUidAddress >> 24), static_cast<uint8_t>(kUidAddress >> 16),
      static_cast<uint8_t>(kUidAddress >> 8), static_cast<uint8_t>(kUidAddress),
      static_cast<uint8_t>((kUidAddress >> 24) ^ (kUidAddress >> 16) ^ (kUidAddress >> 8) ^
                           kUidAddress)};
  const std::vector<std::vector<uint8_t>> parts = {
      {0x11, 0xEE}, address, {kUidBytes - 1, static_cast<uint8_t>(~(kUidBytes - 1))}};
  std::vector<Listener*> asking;
  for (auto& [number, listener] : listeners) {
    if (listener.bootloaderAnswered) asking.push_back(&listener);
  }
  for (std::size_t part = 0; part < parts.size() && !asking.empty(); ++part) {
    const std::size_t wanted = part + 1 < parts.size() ? 1 : 1 + kUidBytes;
    for (Listener* listener : asking) {
      listener->reply.clear();
      listener->port->QueueWrite(parts[part].data(), static_cast<int>(parts[part].size()));
    }
    const auto until = std::chrono::steady_clock::now() + kBootloaderAnswer;
    auto answered = [&] {
      return std::all_of(asking.begin(), asking.end(),
                         [&](Listener* l) { return l->reply.size() >= wanted; });
    };
    for (auto now = std::chrono::steady_clock::now(); now < until && !answered();
         now = std::chrono::steady_clock::now()) {
      channel.WaitForPending(std::chrono::duration_cast<std::chrono::milliseconds>(until - now));
      channel.DrainPending();
    }
    // A part refused or not answered ends that bootloader's read (a read-protected part
    // refuses it): its unit stays without an ID.
    std::erase_if(
        asking, [&](Listener* l) { return l->reply.size() < wanted || l->reply.front() != kAck; });
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  for (auto& [number, listener] : listeners) {
    if (std::find(asking.begin(), asking.end(), &listener) == asking.end()) continue;
    std::string uid;
    for (std::size_t i = 1; i <= kUidBytes; ++i) {
      uid += kDigits[listener.reply[i] >> 4];
      uid += kDigits[listener.reply[i] & 0x0F];
    }
    for (FoundUnit& unit : found) {
      if (unit.mcuBootloader && unit.port == number) unit.mcuUid = uid;
    }
  }
}

}  // namespace

std::string KindName(int deviceType) {
  if (deviceType == 0) return "generator";
  if (deviceType == 1) return "analyzer";
  return "type" + std::to_string(deviceType);
}

std::vector<FoundUnit> ScanPorts(const ScanRequest& request, std::vector<UnopenedPort>* unopened) {
  // All probes in one write: every write purges the port first, and a later request would
  // replace one the worker has not taken up yet.
  std::vector<uint8_t> probes;
  for (uint8_t type : request.deviceTypes) {
    const auto probe = BuildFrame(kCommandStart, {type, 0, 0, 0}, kSearchCommand, {});
    probes.insert(probes.end(), probe.begin(), probe.end());
  }
  std::vector<FoundUnit> found;
  std::map<int, Listener> listeners;
  NotificationChannel channel([&](const SerialNotification& n) {
    if (n.message != WM_SERIAL_RXCHAR) return;
    auto it = listeners.find(n.lParam);
    if (it == listeners.end()) return;
    Listener& listener = it->second;
    if (listener.checking) {
      const auto byte = static_cast<uint8_t>(n.wParam);
      if (listener.bootloaderAnswered) {
        listener.reply.push_back(byte);
        return;
      }
      if ((byte == 0x79 || byte == 0x1F) && !listener.bootloaderAnswered) {
        listener.bootloaderAnswered = true;
        FoundUnit unit{.port = n.lParam, .mcuBootloader = true};
        found.push_back(unit);
      }
      return;
    }
    for (std::size_t i = 0; i < listener.matchers.size(); ++i) {
      SearchReplyMatcher& matcher = listener.matchers[i];
      if (!matcher.Feed(static_cast<uint8_t>(n.wParam)) || listener.answered[i]) continue;
      listener.answered[i] = true;
      found.push_back({n.lParam, matcher.deviceType(), matcher.group(), matcher.machine()});
    }
  });
  for (int number : request.ports) {
    auto port = std::make_unique<SerialPort>();
    if (!port->OpenPort(&channel, number, kBaudRate, 'N', 8, 1, kEventMask, kWriteSlotBytes)) {
      if (unopened) unopened->push_back({number, port->LastOpenError()});
      continue;
    }
    port->StartMonitor();
    port->QueueWrite(probes.data(), static_cast<int>(probes.size()));
    Listener listener{std::move(port), {}, {}};
    for (uint8_t type : request.deviceTypes) listener.matchers.emplace_back(type);
    listener.answered.assign(request.deviceTypes.size(), false);
    listeners.emplace(number, std::move(listener));
  }
  // The window counts from the last probe: a port opened late gets its full time too.
  const auto deadline = std::chrono::steady_clock::now() + request.listen;
  while (!listeners.empty()) {
    channel.DrainPending();
    if (request.untilFirstAnswer && !found.empty()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    channel.WaitForPending(std::min(left, std::chrono::milliseconds(50)));
  }
  if (request.checkBootloaders && !(request.untilFirstAnswer && !found.empty())) {
    CheckBootloaders(listeners, channel);
    if (request.readMcuUids) {
      // The check's own answers (a NACK for each pair of filler bytes) are over by now.
      channel.DrainPending();
      ReadUniqueIds(listeners, channel, found);
    }
  }
  for (auto& [number, listener] : listeners) listener.port->RequestClose();
  listeners.clear();  // each port's worker ends and closes its port
  channel.Shutdown();
  std::sort(found.begin(), found.end(), [](const FoundUnit& a, const FoundUnit& b) {
    return a.port != b.port ? a.port < b.port : a.deviceType < b.deviceType;
  });
  return found;
}

std::string ScanText(const std::vector<FoundUnit>& units) {
  std::string text;
  for (const FoundUnit& unit : units) {
    char line[96];
    if (unit.mcuBootloader) {
      std::snprintf(line, sizeof line, "COM%d  mcu-bootloader\n", unit.port);
    } else {
      std::snprintf(line, sizeof line, "COM%d  %s  address %02X:%02X\n", unit.port,
                    KindName(unit.deviceType).c_str(), unit.group, unit.machine);
    }
    text += line;
  }
  return text;
}

std::string UnopenedText(const std::vector<UnopenedPort>& unopened) {
  std::string text;
  for (const UnopenedPort& port : unopened) {
    if (port.error.kind == PortErrorKind::kMissing || port.error.kind == PortErrorKind::kNone)
      continue;
    text += port.error.text + "\n";
  }
  return text;
}

std::string ScanJson(const std::vector<FoundUnit>& units) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const FoundUnit& unit : units) {
    if (unit.mcuBootloader) {
      array.push_back({{"port", "COM" + std::to_string(unit.port)},
                       {"deviceType", nullptr},
                       {"kind", "mcu-bootloader"}});
      continue;
    }
    array.push_back({{"port", "COM" + std::to_string(unit.port)},
                     {"deviceType", unit.deviceType},
                     {"kind", KindName(unit.deviceType)},
                     {"group", unit.group},
                     {"machine", unit.machine}});
  }
  return array.dump() + "\n";
}

}  // namespace korvelt::line
