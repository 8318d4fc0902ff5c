#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "line/child_process.h"

extern char** environ;

namespace korvelt::line {

struct ChildProcess::Impl {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
  int err = -1;
  std::optional<int> exitStatus;
  int signal = 0;  // the signal that ended it, if one did

  bool Collect(int options) {
    if (exitStatus) return true;
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, options);
    if (done != pid) return false;
    signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }
};

namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void Drain(int fd, std::string* into) {
  if (fd < 0) return;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return;
    into->append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  std::string* error) {
  // Close-on-exec everywhere: a second child must not hold the first one's input open.
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    ::close(in[0]);
    ::close(in[1]);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& arg : copy) args.push_back(arg.data());
  args.push_back(nullptr);
  auto impl = std::make_unique<Impl>();
  const int failed = ::posix_spawn(&impl->pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  impl->in = in[1];
  impl->out = out[0];
  impl->err = err[0];
  ::fcntl(impl->out, F_SETFL, O_NONBLOCK);
  ::fcntl(impl->err, F_SETFL, O_NONBLOCK);
  if (failed != 0) {
    *error = std::strerror(failed);
    CloseFd(impl->in);
    CloseFd(impl->out);
    CloseFd(impl->err);
    return nullptr;
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

ChildProcess::~ChildProcess() {
  if (!impl_->Collect(WNOHANG)) {
    Kill();
    impl_->Collect(0);
  }
  CloseFd(impl_->in);
  CloseFd(impl_->out);
  CloseFd(impl_->err);
}

void ChildProcess::ReadAvailable(std::string* out, std::string* err) {
  Drain(impl_->out, out);
  Drain(impl_->err, err);
}

void ChildProcess::CloseInput() {
  CloseFd(impl_->in);
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!impl_->Collect(WNOHANG)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    ::usleep(10000);
  }
  return impl_->exitStatus;
}

std::string ChildProcess::AbnormalEnd() const {
  if (impl_->signal == 0) return {};
  return "was ended by signal " + std::to_string(impl_->signal) + " (" +
         ::strsignal(impl_->signal) + ")";
}

void ChildProcess::Kill() {
  if (!impl_->exitStatus && impl_->pid > 0) ::kill(impl_->pid, SIGKILL);
}

void WaitForChildOutput(const std::vector<ChildProcess*>& children,
                        std::chrono::milliseconds limit) {
  std::vector<pollfd> fds;
  for (ChildProcess* child : children) {
    for (int fd : {child->impl().out, child->impl().err}) {
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    }
  }
  ::poll(fds.data(), fds.size(), static_cast<int>(limit.count()));
}

std::string CurrentExecutable() {
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

InputEndWatcher::InputEndWatcher(std::atomic<bool>* flag) {
  thread_ = std::thread([this, flag] {
    while (!done_) {
      pollfd input{0, POLLIN, 0};
      if (::poll(&input, 1, 50) <= 0) continue;
      flag->store(true);  // the supervisor writes nothing: any news is the end
      return;
    }
  });
}

InputEndWatcher::~InputEndWatcher() {
  done_ = true;
  thread_.join();
}

}  // namespace korvelt::line
