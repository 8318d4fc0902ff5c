#pragma once

#include <cstdint>

#include "serial/serial_messages.h"

namespace korvelt {

// The window messages and notifications the core's message table binds.
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_PAINT = 0x000F;
inline constexpr uint32_t WM_QUERYDRAGICON = 0x0037;
inline constexpr uint32_t WM_COMMAND = 0x0111;
inline constexpr uint32_t WM_SYSCOMMAND = 0x0112;
inline constexpr uint32_t WM_TIMER = 0x0113;

inline constexpr uint16_t BN_CLICKED = 0;
inline constexpr uint16_t CBN_SELENDOK = 9;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// The system-menu command of the About entry.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;

constexpr uint32_t MakeCommandParam(int controlId, uint16_t notification) {
  return (static_cast<uint32_t>(notification) << 16) | (static_cast<uint32_t>(controlId) & 0xFFFF);
}

// Window timers of the main window.
enum TimerId : int {
  kTimerSearchStep = 4,
  kTimerAutoClose = 5,
  kTimerStm32Sync = 8,
  kTimerStm32Send = 9,
  kTimerStm32Reply = 10,
  // Not in the window's design: the MCU update's wait for the ISP banner and its check for a
  // bootloader that already waits on the line.
  kTimerMcuCheck = 11,
  // Not in the window's design: the flashing stub's reply deadline, and the wait for a stub
  // that stopped answering to return to the ROM bootloader.
  kTimerMcuStub = 12,
  // korvelt-cli's acknowledged mode: the line has been quiet since a block or a chunk went out.
  kTimerAnswerQuiet = 13,
};

}  // namespace korvelt
