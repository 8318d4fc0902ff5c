#pragma once

#include <string>

namespace korvelt::win32 {

// The Windows resource script of the updater, written from the same layout table the other
// front ends draw from: dialogs 102 and 100 with every control, the lists as dialog
// initialisation data, the string table, the pictures and the version. Portable: it runs in
// the Linux build, which checks the committed script against it.
std::string WriteResourceScript();

// The dialog-initialisation resource type that carries combo-box lists.
inline constexpr int kDialogInitResourceType = 240;
// The message a dialog-initialisation record asks for: add a string to a combo box.
inline constexpr int kDialogInitAddString = 0x0403;

}  // namespace korvelt::win32
