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
inline constexpr const char* kUpdateRunning = "An update is running. Please wait until it ends.";
inline constexpr const char* kStoppedNote =
    "Note: The update was \r\n stopped before its end.\r\n Start it again!";
inline constexpr const char* kMcuFailedNote =
    "Note: Failed to update \r\nMCU firmware. Re-power\r\n the unit and try again!";
// An MCU update that failed after its erase began: re-powering now would leave a unit that
// neither runs nor starts its bootloader.
inline constexpr const char* kMcuUnfinishedNote =
    "Note: NOT updated! Keep\r\n the unit powered and\r\n press the button again!";
inline constexpr const char* kNoBootloaderNote =
    "Note: The unit did not \r\n enter its bootloader.\r\n Re-power and try again!";

}  // namespace korvelt
