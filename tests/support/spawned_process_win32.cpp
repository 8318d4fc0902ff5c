#include <windows.h>

#include "tests/support/spawned_process.h"

namespace korvelt::testing {

namespace {

// The quoting the C runtime's argument parser undoes: backslashes count only before a quote.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace

struct SpawnedProcess::Impl {
  HANDLE process = nullptr;
};

SpawnedProcess::SpawnedProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SpawnedProcess::~SpawnedProcess() {
  if (::WaitForSingleObject(impl_->process, 0) != WAIT_OBJECT_0) {
    ::TerminateProcess(impl_->process, 1);
    ::WaitForSingleObject(impl_->process, 10000);
  }
  ::CloseHandle(impl_->process);
}

std::unique_ptr<SpawnedProcess> SpawnedProcess::Start(const std::filesystem::path& program,
                                                      const std::vector<std::string>& args) {
  std::wstring line = Quoted(program.wstring());
  for (const std::string& arg : args)
    line += L" " + Quoted(std::filesystem::path(std::u8string(arg.begin(), arg.end())).wstring());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(program.wstring().c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info))
    return nullptr;
  ::CloseHandle(info.hThread);
  auto impl = std::make_unique<Impl>();
  impl->process = info.hProcess;
  return std::unique_ptr<SpawnedProcess>(new SpawnedProcess(std::move(impl)));
}

std::optional<int> SpawnedProcess::Wait(std::chrono::milliseconds limit) {
  if (::WaitForSingleObject(impl_->process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD code = 1;
  ::GetExitCodeProcess(impl_->process, &code);
  return static_cast<int>(code);
}

std::filesystem::path SelfExecutable() {
  wchar_t name[32768];
  const DWORD size = ::GetModuleFileNameW(nullptr, name, sizeof name / sizeof name[0]);
  return std::filesystem::path(std::wstring(name, size));
}

}  // namespace korvelt::testing
