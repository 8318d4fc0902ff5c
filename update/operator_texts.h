#pragma once

namespace korvelt {

// Texts the update buttons share, byte for byte as operators know them.
inline constexpr const char* kTurnOnPortFirst = "Please turn on the COM port first!";
inline constexpr const char* kConfirmGenerator = "Please confirm the device is Signal Generator!";
inline constexpr const char* kConfirmAnalyzer = "Please confirm the device is Signal Analyzer!";
// A port that would not open, from the port controls.
inline constexpr const char* kPortUnavailable =
    "Can not find this port or used by other application";
inline constexpr const char* kUpdatingNote =
    "Note: While updating \r\n firmware ,please \r\n do not press any button!";

}  // namespace korvelt
