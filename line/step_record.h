#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace korvelt::line {

// How one step of a run ended, as the report keeps it.
struct StepRecord {
  std::string step;     // the step as given on the command line
  std::string outcome;  // "ok", "failed", "stalled", "interrupted" or "not-started"
  double seconds = 0;
  std::optional<uint64_t> bytes;      // the image the step sent, when it sent one
  std::string sha256;                 // the image's, as it went to the unit
  std::optional<bool> verified;       // set only by a step that read the unit's memory back
  std::string message;                // what went wrong, in the updater's own words
  std::string file;                   // the image's file, as the step read it
  std::string fileSha256;             // the file's own (a HEX file's differs from its image's)
  std::optional<uint64_t> bytesSent;  // of the image, what actually went to the unit
  // An MCU step that started the new firmware: whether it answered as the unit it was for.
  std::optional<bool> started;
  // The unit's MCU unique ID (24 lower-case hex digits, address order), once a step read it.
  std::string mcuUid;
  // When the step ran (a step not started has neither).
  std::optional<std::chrono::system_clock::time_point> startedAt;
  std::optional<std::chrono::system_clock::time_point> endedAt;
  // The verified release the image came from: its name, its manifest's SHA-256 and the id of
  // the key that signed it; empty for an image of no release.
  std::string release;
  std::string releaseSha256;
  std::string key;
};

}  // namespace korvelt::line
