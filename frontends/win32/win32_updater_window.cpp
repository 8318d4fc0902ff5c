#include "frontends/win32/win32_updater_window.h"

#include <vector>

#include "frontends/win32/dialog_init.h"
#include "frontends/win32/resource_script.h"
#include "resources/dialog_layout.h"
#include "update/image_file.h"

namespace korvelt::win32 {

namespace {

// "a|b|c|d||" becomes the double-zero-terminated list the open-file dialog takes.
std::string FilterList(const std::string& filter) {
  std::string list = filter;
  for (char& c : list) {
    if (c == '|') c = '\0';
  }
  return list + '\0';
}

INT_PTR CALLBACK AboutProc(HWND about, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == korvelt::WM_COMMAND &&
      (LOWORD(wParam) == korvelt::IDOK || LOWORD(wParam) == korvelt::IDCANCEL)) {
    ::EndDialog(about, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

Win32UpdaterWindow::Win32UpdaterWindow(HINSTANCE instance)
    : instance_(instance), channel_([this](const SerialNotification& notification) {
        if (dialog_) dialog_->HandleSerialNotification(notification);
      }) {
  // The worker's wake-up: a sent message, handled by this window's thread ahead of posted
  // ones, without making the worker wait (it already waits in the channel, where a closing
  // window can release it).
  channel_.SetWakeHook([this](uint32_t message) {
    if (HWND window = window_) ::SendNotifyMessageA(window, message, 0, 0);
  });
}

Win32UpdaterWindow::~Win32UpdaterWindow() {
  channel_.Shutdown();
  for (auto& [id, icon] : icons_) ::DestroyIcon(icon);
}

INT_PTR Win32UpdaterWindow::Run() {
  return ::DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_MAIN_DIALOG), nullptr, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Win32UpdaterWindow::DialogProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<Win32UpdaterWindow*>(lParam);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, lParam);
    self->window_ = window;
    self->OnInitDialog();
    return FALSE;  // the focus was put on the port button
  }
  auto* self = reinterpret_cast<Win32UpdaterWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!self) return FALSE;
  if (message == WM_DESTROY) {
    self->window_ = nullptr;
    return FALSE;
  }
  return self->Handle(message, wParam, lParam);
}

void Win32UpdaterWindow::OnInitDialog() {
  FillListsFromResource();
  // The About entry goes at the end of the system menu.
  if (HMENU menu = ::GetSystemMenu(window_, FALSE)) {
    const std::string_view entry = LoadResourceString(IDS_ABOUTBOX);
    if (!entry.empty()) {
      ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, std::string(entry).c_str());
    }
  }
  ::SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(Icon(IDR_MAINFRAME, 32)));
  ::SendMessageA(window_, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(Icon(IDR_MAINFRAME, 16)));
  if (!title_.empty()) {
    if (const auto title = WideFromUtf8(title_)) ::SetWindowTextW(window_, title->c_str());
  }
  if (dialog_) dialog_->OnInitDialog();
  ::SetFocus(::GetDlgItem(window_, IDC_PORT_BUTTON));  // Enter clicks it
}

void Win32UpdaterWindow::FillListsFromResource() {
  HRSRC found = ::FindResourceA(instance_, MAKEINTRESOURCEA(IDD_MAIN_DIALOG),
                                MAKEINTRESOURCEA(kDialogInitResourceType));
  if (!found) return;
  HGLOBAL loaded = ::LoadResource(instance_, found);
  const auto* bytes = static_cast<const uint8_t*>(::LockResource(loaded));
  if (!bytes) return;
  for (const DialogInitEntry& entry :
       ParseDialogInit({bytes, static_cast<std::size_t>(::SizeofResource(instance_, found))})) {
    ::SendDlgItemMessageA(window_, entry.controlId, CB_ADDSTRING, 0,
                          reinterpret_cast<LPARAM>(entry.text.c_str()));
  }
}

INT_PTR Win32UpdaterWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!dialog_) return FALSE;
  const auto param = static_cast<uint32_t>(wParam);
  if (message >= WM_SERIAL_BREAK && message <= WM_SERIAL_COMM_ERROR) {
    channel_.DrainPending();
    // The dialog manager's own DM_SETDEFID and DM_REPOSITION share the range: they go on to
    // the default handling (draining an empty channel does nothing).
    return FALSE;
  }
  switch (message) {
    case korvelt::WM_COMMAND: {
      const int id = LOWORD(wParam);
      // Escape and Enter with no button to take them end the dialog through the core.
      if (id == korvelt::IDCANCEL && lParam == 0) {
        dialog_->OnCancel();
        return TRUE;
      }
      if (id == korvelt::IDOK && lParam == 0) {
        dialog_->OnOK();
        return TRUE;
      }
      const bool handled =
          dialog_->Dispatch(korvelt::WM_COMMAND, param, static_cast<int32_t>(lParam));
      if (recorder_) recorder_->CommandHandled(id, HIWORD(wParam), *this);
      return handled ? TRUE : FALSE;
    }
    case korvelt::WM_TIMER:
      dialog_->Dispatch(korvelt::WM_TIMER, param, 0);
      return TRUE;
    case korvelt::WM_SYSCOMMAND:
      // Anything but the About entry goes on to the system's handling (move, minimise...).
      return dialog_->OnSysCommand(static_cast<unsigned>(wParam)) ? TRUE : FALSE;
    case korvelt::WM_CLOSE:
      dialog_->Dispatch(korvelt::WM_CLOSE, 0, 0);
      return TRUE;
    case korvelt::WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(Icon(dialog_->OnQueryDragIcon(), 32));
    default:
      return FALSE;
  }
}

HICON Win32UpdaterWindow::Icon(int resourceId, int size) {
  const int key = resourceId * 1000 + size;
  auto it = icons_.find(key);
  if (it != icons_.end()) return it->second;
  auto icon = static_cast<HICON>(
      ::LoadImageA(instance_, MAKEINTRESOURCEA(resourceId), IMAGE_ICON, size, size, 0));
  icons_[key] = icon;
  return icon;
}

void Win32UpdaterWindow::StartTimer(int timerId, unsigned periodMs) {
  ::SetTimer(window_, static_cast<UINT_PTR>(timerId), periodMs, nullptr);
}

void Win32UpdaterWindow::StopTimer(int timerId) {
  ::KillTimer(window_, static_cast<UINT_PTR>(timerId));
}

void Win32UpdaterWindow::MessageBox(const std::string& text, const std::string& caption) {
  ::MessageBoxA(window_, text.c_str(), caption.c_str(), MB_OK);
}

void Win32UpdaterWindow::AppMessageBox(const std::string& text) {
  ::MessageBoxA(window_, text.c_str(), std::string(kApplicationName).c_str(),
                MB_OK | MB_ICONEXCLAMATION);
}

void Win32UpdaterWindow::ErrorBox(const std::string& text, const std::string& caption) {
  ::MessageBoxA(window_, text.c_str(), caption.c_str(), MB_OK | MB_ICONSTOP);
}

void Win32UpdaterWindow::SetControlText(int controlId, const std::string& text) {
  ::SetDlgItemTextA(window_, controlId, text.c_str());
}

std::string Win32UpdaterWindow::GetControlText(int controlId) {
  HWND control = ::GetDlgItem(window_, controlId);
  if (!control) return {};
  std::vector<char> text(static_cast<std::size_t>(::GetWindowTextLengthA(control)) + 1);
  const int length = ::GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
  return std::string(text.data(), static_cast<std::size_t>(length > 0 ? length : 0));
}

void Win32UpdaterWindow::SetPortIcon(PortIcon icon) {
  HICON image = Icon(icon == PortIcon::kOn ? IDI_PORT_ON : IDI_PORT_OFF, 32);
  ::SendDlgItemMessageA(window_, IDC_PORT_ICON, STM_SETICON, reinterpret_cast<WPARAM>(image), 0);
}

void Win32UpdaterWindow::SetComboSelection(int controlId, int index) {
  ::SendDlgItemMessageA(window_, controlId, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32UpdaterWindow::GetComboSelection(int controlId) {
  const LRESULT index = ::SendDlgItemMessageA(window_, controlId, CB_GETCURSEL, 0, 0);
  return index == CB_ERR ? -1 : static_cast<int>(index);
}

std::optional<std::string> Win32UpdaterWindow::ChooseOpenFile(const OpenFileRequest& request) {
  const std::string filter = FilterList(request.filter);
  char path[MAX_PATH] = {};
  OPENFILENAMEA choice{};
  choice.lStructSize = sizeof choice;
  choice.hwndOwner = window_;
  choice.lpstrFilter = filter.c_str();
  choice.nFilterIndex = 1;
  choice.lpstrFile = path;
  choice.nMaxFile = sizeof path;
  choice.lpstrInitialDir = request.initialFolder.c_str();
  choice.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
  if (!::GetOpenFileNameA(&choice)) return std::nullopt;
  return std::string(path);
}

void Win32UpdaterWindow::Pause(unsigned ms) {
  ::Sleep(ms);
}

bool Win32UpdaterWindow::LaunchProcess(const std::string& commandLine, int showMode) {
  return ::WinExec(commandLine.c_str(), static_cast<UINT>(showMode)) > 31;
}

void Win32UpdaterWindow::ShowAboutBox() {
  ::DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_ABOUTBOX), window_, AboutProc, 0);
}

void Win32UpdaterWindow::EndDialog(int result) {
  if (recorder_) recorder_->WindowClosing(*this);
  ::EndDialog(window_, result);
}

void Win32UpdaterWindow::OperationStarted(const OperationStart& start) {
  if (recorder_) recorder_->OperationStarted(start, *this);
}

void Win32UpdaterWindow::OperationEnded(const OperationResult& result) {
  if (recorder_) recorder_->OperationEnded(result, *this);
}

}  // namespace korvelt::win32
