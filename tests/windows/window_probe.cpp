// window_probe.exe: finds the updater's main window by its title, checks what an operator
// sees first, saves a picture of it as a .bmp and closes it with WM_CLOSE. With
// "update-generator-fpga N" it first works the window as an operator would: search the
// generator (expected on COMN), then write its FPGA image, dismissing any message box.
// usage: window_probe TITLE OUT.bmp SECONDS [update-generator-fpga N]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_failures;
}

std::string ControlText(HWND dialog, int id) {
  char text[256] = {};
  ::GetWindowTextA(::GetDlgItem(dialog, id), text, sizeof text);
  return text;
}

// Text of a control of another process, asked of the control itself.
std::string AskedText(HWND dialog, int id) {
  char text[256] = {};
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutA(::GetDlgItem(dialog, id), WM_GETTEXT, sizeof text,
                        reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &ignored);
  return text;
}

void Click(HWND dialog, int id) {
  ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// Message boxes the dialog opened: each is logged and answered with OK.
void DismissBoxes(HWND dialog) {
  struct Search {
    HWND owner;
  } search{dialog};
  ::EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        char kind[32] = {};
        ::GetClassNameA(window, kind, sizeof kind);
        if (window != s->owner && ::GetWindow(window, GW_OWNER) == s->owner &&
            std::string(kind) == "#32770" && ::IsWindowVisible(window)) {
          char caption[128] = {};
          ::GetWindowTextA(window, caption, sizeof caption);
          std::printf("box \"%s\": %s\n", caption, ControlText(window, 0xFFFF).c_str());
          ::PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
}

bool WaitFor(HWND dialog, DWORD limitMs, const std::function<bool()>& done) {
  const DWORD start = ::GetTickCount();
  while (::GetTickCount() - start < limitMs) {
    if (done()) return true;
    DismissBoxes(dialog);
    ::Sleep(100);
  }
  return done();
}

void UpdateGeneratorFpga(HWND dialog, int expectedPort) {
  Click(dialog, 1107);
  Check(WaitFor(dialog, 30000, [&] { return ControlText(dialog, 1006) == "Close Port"; }),
        "the search found the generator and left its port open");
  Check(::SendDlgItemMessageA(dialog, 1106, CB_GETCURSEL, 0, 0) == expectedPort - 1,
        "the port list shows the generator's port");
  Click(dialog, 1187);
  Check(WaitFor(dialog, 60000, [&] { return AskedText(dialog, 1190) == "100"; }),
        "the FPGA image was written (progress 100)");
  std::printf("note: %s\n", AskedText(dialog, 1168).c_str());
}

// A text static of a dialog template neither grows nor scrolls: a line wider than its field
// wraps under it, out of sight. Each text is measured in the template's font, made afresh
// here (a font handle of the updater's process means nothing in this one).
void CheckAboutTextsFit(HWND about) {
  HDC dc = ::GetDC(about);
  const int height = -::MulDiv(8, ::GetDeviceCaps(dc, LOGPIXELSY), 72);
  HFONT font = ::CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH, "MS Sans Serif");
  HGDIOBJ old = ::SelectObject(dc, font);
  int texts = 0;
  for (HWND child = ::GetWindow(about, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    char kind[32] = {};
    ::GetClassNameA(child, kind, sizeof kind);
    const LONG style = ::GetWindowLongA(child, GWL_STYLE);
    if (lstrcmpiA(kind, "Static") != 0 || (style & SS_TYPEMASK) != SS_LEFT) continue;
    char text[256] = {};
    const int length = ::GetWindowTextA(child, text, sizeof text);
    SIZE extent{};
    ::GetTextExtentPoint32A(dc, text, length, &extent);
    RECT field{};
    ::GetClientRect(child, &field);
    ++texts;
    std::printf("about text \"%s\": %ld x %ld pixels in a field of %ld x %ld\n", text, extent.cx,
                extent.cy, field.right, field.bottom);
    Check(extent.cx <= field.right && extent.cy <= field.bottom, "the About text fits its field");
  }
  Check(texts == 2, "the About box has its two texts");
  ::SelectObject(dc, old);
  ::DeleteObject(font);
  ::ReleaseDC(about, dc);
}

// The system menu's About entry (command 0x10) opens dialog 100 over the main window.
void CheckAboutBox(HWND dialog) {
  ::PostMessageA(dialog, WM_SYSCOMMAND, 0x10, 0);
  HWND about = nullptr;
  const DWORD start = ::GetTickCount();
  while (!(about = ::FindWindowA("#32770", "About TIRAS CONSOLE")) &&
         ::GetTickCount() - start < 5000) {
    ::Sleep(50);
  }
  Check(about != nullptr, "the About entry opens the About box");
  if (!about) return;
  Check(ControlText(about, 1) == "OK", "the About box has its OK button");
  CheckAboutTextsFit(about);
  ::PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  Check(WaitFor(dialog, 5000, [&] { return !::IsWindow(about); }), "OK closes the About box");
}

bool SaveScreenArea(const RECT& area, const char* path) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return false;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as a .bmp file stores it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP picture = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(memory, picture);
  const bool copied =
      ::BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY) != 0;
  ::GdiFlush();
  const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) & ~3u);
  const DWORD imageSize = stride * static_cast<DWORD>(height);
  BITMAPFILEHEADER header{};
  header.bfType = 0x4D42;
  header.bfOffBits = sizeof header + sizeof info.bmiHeader;
  header.bfSize = header.bfOffBits + imageSize;
  info.bmiHeader.biSizeImage = imageSize;
  bool written = false;
  if (FILE* out = std::fopen(path, "wb")) {
    written = std::fwrite(&header, sizeof header, 1, out) == 1 &&
              std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
              std::fwrite(bits, imageSize, 1, out) == 1;
    written = std::fclose(out) == 0 && written;
  }
  ::SelectObject(memory, old);
  ::DeleteObject(picture);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return copied && written;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const bool operate = argc == 6 && std::string(argv[4]) == "update-generator-fpga";
  if (argc != 4 && !operate) {
    std::fprintf(stderr, "usage: window_probe TITLE OUT.bmp SECONDS [update-generator-fpga N]\n");
    return 2;
  }
  const char* title = argv[1];
  const DWORD limitMs = static_cast<DWORD>(std::atoi(argv[3])) * 1000;
  const DWORD start = ::GetTickCount();
  HWND dialog = nullptr;
  while (!(dialog = ::FindWindowA(nullptr, title)) && ::GetTickCount() - start < limitMs) {
    ::Sleep(200);
  }
  Check(dialog != nullptr, "the main window opened with its title");
  if (!dialog) return 1;
  ::Sleep(1500);  // let it paint

  char caption[256] = {};
  ::GetWindowTextA(dialog, caption, sizeof caption);
  Check(std::string(caption) == title, "caption");
  Check(ControlText(dialog, 1006) == "Turn on Port", "port button says \"Turn on Port\"");
  Check(::SendDlgItemMessageA(dialog, 1106, CB_GETCOUNT, 0, 0) == 100,
        "port list holds COM1..COM99 and the empty entry");
  Check(::IsWindowVisible(::GetDlgItem(dialog, 1187)) != 0, "generator FPGA button shown");
  Check(::IsWindowVisible(::GetDlgItem(dialog, 1188)) == 0, "AUX FPGA button hidden");
  Check(::IsWindowEnabled(::GetDlgItem(dialog, 1144)) == 0, "generator data-flash disabled");
  CheckAboutBox(dialog);

  if (operate) UpdateGeneratorFpga(dialog, std::atoi(argv[5]));

  RECT area{};
  ::GetWindowRect(dialog, &area);
  Check(SaveScreenArea(area, argv[2]), "picture saved");

  ::PostMessageA(dialog, WM_CLOSE, 0, 0);
  while (::IsWindow(dialog) && ::GetTickCount() - start < limitMs + 10000) ::Sleep(100);
  Check(!::IsWindow(dialog), "WM_CLOSE closed the window");
  return g_failures == 0 ? 0 : 1;
}
