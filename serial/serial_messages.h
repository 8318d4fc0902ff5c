#pragma once

#include <cstdint>

namespace korvelt {

// Notifications a port sends to its owner window. The values are those of the window
// messages the instrument's operators' tools have always used.
inline constexpr uint32_t WM_SERIAL_BREAK = 0x401;
inline constexpr uint32_t WM_SERIAL_CTS = 0x402;
inline constexpr uint32_t WM_SERIAL_ERR = 0x404;
inline constexpr uint32_t WM_SERIAL_RING = 0x405;
inline constexpr uint32_t WM_SERIAL_RXCHAR = 0x407;
inline constexpr uint32_t WM_SERIAL_RXFLAG = 0x408;
inline constexpr uint32_t WM_SERIAL_TXDONE = 0x409;
// A serial API failure found on the worker thread, carried to the window's thread so the
// "Application Error" box is shown there. The text is in SerialNotification::text.
inline constexpr uint32_t WM_SERIAL_COMM_ERROR = 0x410;
// WM_SERIAL_COMM_ERROR's wParam: the device went away (a pulled cable, an unplugged adapter);
// the port no longer reads it. 0 for any other failure.
inline constexpr uint32_t kCommErrorDeviceGone = 1;

// Comm-event mask bits, as given to OpenPort.
inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr uint32_t kEvRxFlag = 0x0002;
inline constexpr uint32_t kEvCts = 0x0008;
inline constexpr uint32_t kEvBreak = 0x0040;
inline constexpr uint32_t kEvErr = 0x0080;
inline constexpr uint32_t kEvRing = 0x0100;

}  // namespace korvelt
