#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/port_operations.h"

namespace korvelt::line {

// A unit that answered the search probe, or an MCU bootloader that answered its sync byte (a
// unit whose MCU update was cut: it waits there while it stays powered, and cannot say what
// kind of unit it is).
struct FoundUnit {
  int port = 0;
  uint8_t deviceType = 0;
  uint8_t group = 0;
  uint8_t machine = 0;
  bool mcuBootloader = false;
  // A waiting bootloader's MCU unique ID (24 lower-case hex digits), when it was asked for.
  std::string mcuUid;
};

// "generator", "analyzer", "type2" .. "type7".
std::string KindName(int deviceType);

struct ScanRequest {
  std::vector<int> ports;                 // COM numbers; all are opened at once
  std::vector<uint8_t> deviceTypes;       // one probe for each, sent together
  std::chrono::milliseconds listen{400};  // how long answers are collected after the probes
  bool untilFirstAnswer = false;          // one port, one unit: stop as soon as it has answered
  // Ports that opened but did not answer the probe are asked at 8E1 whether an MCU bootloader
  // waits there.
  bool checkBootloaders = false;
  // A bootloader found waiting is asked for its MCU's unique ID (Read Memory).
  bool readMcuUids = false;
};

// A port of the request that did not open, and why.
struct UnopenedPort {
  int port = 0;
  PortError error;
};

// Opens every port of the request that opens, sends each the probes, collects the answers,
// and closes every port again. The answers are recognised by the search's own reply code.
// Ordered by port, then device type. The ports that did not open go to `unopened`.
std::vector<FoundUnit> ScanPorts(const ScanRequest& request,
                                 std::vector<UnopenedPort>* unopened = nullptr);
// What an operator needs to hear of the ports that did not open: every reason but "no such
// device" (most of COM1..COM99 name none), one line each.
std::string UnopenedText(const std::vector<UnopenedPort>& unopened);

// "COM3  generator  address 01:01" or "COM4  mcu-bootloader", one line each.
std::string ScanText(const std::vector<FoundUnit>& units);
// [{"port": "COM3", "deviceType": 0, "kind": "generator", "group": 1, "machine": 1},
//  {"port": "COM4", "deviceType": null, "kind": "mcu-bootloader"}]
std::string ScanJson(const std::vector<FoundUnit>& units);

}  // namespace korvelt::line
