#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include "tests/support/spawned_process.h"

extern char** environ;

namespace korvelt::testing {

struct SpawnedProcess::Impl {
  pid_t pid = -1;
  std::optional<int> status;

  bool Collect() {
    if (status) return true;
    int raw = 0;
    if (::waitpid(pid, &raw, WNOHANG) != pid) return false;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }
};

SpawnedProcess::SpawnedProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SpawnedProcess::~SpawnedProcess() {
  if (impl_->Collect()) return;
  ::kill(impl_->pid, SIGKILL);
  int raw = 0;
  ::waitpid(impl_->pid, &raw, 0);  // SIGKILL cannot be ignored: this returns
}

std::unique_ptr<SpawnedProcess> SpawnedProcess::Start(const std::filesystem::path& program,
                                                      const std::vector<std::string>& args) {
  std::vector<std::string> all = {program.string()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  auto impl = std::make_unique<Impl>();
  if (::posix_spawn(&impl->pid, all[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    return nullptr;
  return std::unique_ptr<SpawnedProcess>(new SpawnedProcess(std::move(impl)));
}

std::optional<int> SpawnedProcess::Wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!impl_->Collect()) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return impl_->status;
}

std::filesystem::path SelfExecutable() {
  return std::filesystem::read_symlink("/proc/self/exe");
}

}  // namespace korvelt::testing
