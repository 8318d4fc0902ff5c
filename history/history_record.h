#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace korvelt::history {

// Times in the history are UTC with milliseconds: "2026-12-08T09:26:53.589Z".
using HistoryTime = std::chrono::sys_time<std::chrono::milliseconds>;

// One image step (FPGA, MCU, data flash, AUX, NAND, input board) of one unit in one run: a row
// of the station's history. Empty optionals are stored and shown as null.
struct HistoryRecord {
  HistoryTime startedAt;
  HistoryTime endedAt;
  std::string station;                       // the host name, or the name the line gave the station
  std::string operatorName;                  // the name given, else the login name
  std::string port;                          // "COM3"
  std::optional<std::string> adapterSerial;  // the USB adapter's serial number, where known
  std::optional<int> deviceType;             // 0 generator, 1 analyzer, 2..7
  std::optional<std::string> kind;           // "generator", "analyzer", "type2".."type7"
  std::optional<std::string> mcuUid;         // 24 lowercase hex digits, where read
  std::string step;                          // as given on the command line
  std::optional<std::string> imageFile;
  std::optional<uint64_t> bytes;
  std::optional<std::string> sha256;         // 64 lowercase hex digits
  std::optional<std::string> release;        // the verified release's name
  std::optional<std::string> releaseSha256;  // the SHA-256 of its signed manifest
  std::optional<std::string> key;
  std::string outcome;  // one of kOutcomes
  std::string message;  // what went wrong, in the updater's words; empty on success
  double seconds = 0;
  std::optional<bool> verified;  // the step read the unit's memory back and it matched
  std::optional<bool> started;   // the step began changing the unit; false: left as it was
  std::string toolVersion;

  bool operator==(const HistoryRecord&) const = default;
};

inline constexpr const char* kOutcomes[] = {"ok", "failed", "stalled", "interrupted"};

}  // namespace korvelt::history
