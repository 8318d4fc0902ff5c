#pragma once

#include <cstdint>
#include <span>

namespace korvelt {

class UpdaterDialog;

// One entry of the main window's message table: a window message, or a control id with a
// notification, bound to one handler of UpdaterDialog.
struct MessageTableEntry {
  uint32_t message;  // WM_COMMAND entries carry their control and notification below
  int controlId;     // 0 for plain window messages
  uint16_t notification;
  const char* handlerName;
  intptr_t (*invoke)(UpdaterDialog& dialog, uint32_t wParam, int32_t lParam);
};

// In table order.
std::span<const MessageTableEntry> UpdaterDialogMessageTable();

}  // namespace korvelt
