#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "line/child_process.h"

namespace korvelt::line {

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  HANDLE in = nullptr;
  HANDLE out = nullptr;
  HANDLE err = nullptr;
  std::optional<int> exitStatus;

  bool Collect(DWORD waitMs) {
    if (exitStatus) return true;
    if (::WaitForSingleObject(process, waitMs) != WAIT_OBJECT_0) return false;
    DWORD code = 1;
    ::GetExitCodeProcess(process, &code);
    exitStatus = static_cast<int>(code);
    return true;
  }
};

namespace {

void CloseHandleOnce(HANDLE& handle) {
  if (handle) ::CloseHandle(handle);
  handle = nullptr;
}

// The quoting the C runtime's argument parser undoes: backslashes count only before a quote.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string LastErrorText() {
  char text[256] = {};
  ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ::GetLastError(), 0, text, sizeof text, nullptr);
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

void Drain(HANDLE pipe, std::string* into) {
  if (!pipe) return;
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) return;
    char buffer[4096];
    DWORD got = 0;
    const DWORD want = std::min<DWORD>(available, sizeof buffer);
    if (!::ReadFile(pipe, buffer, want, &got, nullptr) || got == 0) return;
    into->append(buffer, got);
  }
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  std::string* error) {
  // Only the child's ends are inheritable, and only while it is created: children are started
  // one after another, so none holds another's pipes.
  HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (!::CreatePipe(&inRead, &inWrite, nullptr, 0)) {
    *error = LastErrorText();
    return nullptr;
  }
  if (!::CreatePipe(&outRead, &outWrite, nullptr, 0) ||
      !::CreatePipe(&errRead, &errWrite, nullptr, 0)) {
    *error = LastErrorText();
    ::CloseHandle(inRead);
    ::CloseHandle(inWrite);
    return nullptr;
  }
  for (HANDLE h : {inRead, outWrite, errWrite})
    ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  std::string commandLine;
  for (const std::string& arg : argv) commandLine += (commandLine.empty() ? "" : " ") + Quoted(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION info{};
  const BOOL started = ::CreateProcessA(argv[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &info);
  if (!started) *error = LastErrorText();
  ::CloseHandle(inRead);
  ::CloseHandle(outWrite);
  ::CloseHandle(errWrite);
  auto impl = std::make_unique<Impl>();
  impl->in = inWrite;
  impl->out = outRead;
  impl->err = errRead;
  if (!started) {
    CloseHandleOnce(impl->in);
    CloseHandleOnce(impl->out);
    CloseHandleOnce(impl->err);
    return nullptr;
  }
  ::CloseHandle(info.hThread);
  impl->process = info.hProcess;
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

ChildProcess::~ChildProcess() {
  if (!impl_->Collect(0)) {
    Kill();
    impl_->Collect(5000);
  }
  CloseHandleOnce(impl_->process);
  CloseHandleOnce(impl_->in);
  CloseHandleOnce(impl_->out);
  CloseHandleOnce(impl_->err);
}

void ChildProcess::ReadAvailable(std::string* out, std::string* err) {
  Drain(impl_->out, out);
  Drain(impl_->err, err);
}

void ChildProcess::CloseInput() {
  CloseHandleOnce(impl_->in);
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds limit) {
  if (!impl_->Collect(static_cast<DWORD>(limit.count()))) return std::nullopt;
  return impl_->exitStatus;
}

std::string ChildProcess::AbnormalEnd() const {
  // A crash ends a process with its exception's code (0xC0000005 for an access violation).
  if (!impl_->exitStatus || static_cast<uint32_t>(*impl_->exitStatus) < 0xC0000000u) return {};
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(*impl_->exitStatus));
  return std::string("ended with exception ") + code;
}

void ChildProcess::Kill() {
  if (!impl_->exitStatus && impl_->process) ::TerminateProcess(impl_->process, 1);
}

void WaitForChildOutput(const std::vector<ChildProcess*>&, std::chrono::milliseconds limit) {
  // An anonymous pipe cannot be waited on; a short sleep keeps the display current.
  ::Sleep(static_cast<DWORD>(std::min<long long>(limit.count(), 20)));
}

std::string CurrentExecutable() {
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

InputEndWatcher::InputEndWatcher(std::atomic<bool>* flag) {
  thread_ = std::thread([this, flag] {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    while (!done_) {
      DWORD available = 0;
      if (!::PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
        if (::GetLastError() == ERROR_BROKEN_PIPE) {
          flag->store(true);
          return;
        }
      } else if (available > 0) {
        flag->store(true);  // the supervisor writes nothing: any news is the end
        return;
      }
      ::Sleep(50);
    }
  });
}

InputEndWatcher::~InputEndWatcher() {
  done_ = true;
  thread_.join();
}

}  // namespace korvelt::line
