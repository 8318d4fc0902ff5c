#pragma once

// The Windows headers for the native dialog. They define as macros names the core declares as
// constants and functions (WM_CLOSE, IDOK, MessageBox...); those macros are removed here, so
// the core's names hold whichever header comes first.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <commdlg.h>
#include <winsock2.h>
// clang-format on

#undef WM_CLOSE
#undef WM_PAINT
#undef WM_QUERYDRAGICON
#undef WM_COMMAND
#undef WM_SYSCOMMAND
#undef WM_TIMER
#undef BN_CLICKED
#undef CBN_SELENDOK
#undef IDOK
#undef IDCANCEL
#undef MessageBox
#undef IDC_STATIC
#undef IDC_WAIT  // the hourglass cursor; the core's is the "Please wait" label
