// Why a port did not open on POSIX: the errno of the open, and for a busy port the process
// that holds it: the holder of its lock, else a process that has it open.
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "serial/port_open_failure.h"

namespace korvelt {

namespace {

constexpr const char* kListHint = "no such device; `korvelt-cli ports` lists the ports";

std::string ProgramOf(const std::string& processDir) {
  std::ifstream comm(processDir + "/comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? "unknown program" : name;
}

// The group that may open the device: its own group when that group may write to it and is not
// root's, else the usual one for serial devices.
std::string SerialGroupOf(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) == 0 && (st.st_mode & S_IWGRP) && st.st_gid != 0) {
    if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
  }
  return "dialout";
}

// The process holding the advisory lock on the file, from procRoot/locks: several programs may
// have a device open (a terminal emulator's child, a modem daemon), but one holds the lock.
std::optional<long> LockHolder(const struct stat& file, const std::string& procRoot) {
  std::ifstream locks(procRoot + "/locks");
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find("->") != std::string::npos) continue;  // a waiter, not the holder
    char kind[16] = {};
    long pid = 0;
    unsigned major_number = 0, minor_number = 0;
    unsigned long inode = 0;
    if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &major_number,
                    &minor_number, &inode) != 5) {
      continue;
    }
    if (std::string_view(kind) == "FLOCK" && pid > 0 && major_number == major(file.st_dev) &&
        minor_number == minor(file.st_dev) && inode == file.st_ino) {
      return pid;
    }
  }
  return std::nullopt;
}

// The pseudo-terminal index of a pty's port side ("/dev/pts/7": 7), if `device` is one.
std::optional<long> PtyIndex(const std::string& device) {
  std::error_code noTarget;
  const std::string path = std::filesystem::canonical(device, noTarget).string();
  constexpr std::string_view kPts = "/dev/pts/";
  if (noTarget || path.compare(0, kPts.size(), kPts) != 0) return std::nullopt;
  char* end = nullptr;
  const long index = std::strtol(path.c_str() + kPts.size(), &end, 10);
  if (end == path.c_str() + kPts.size() || *end != '\0') return std::nullopt;
  return index;
}

// Where an open file descriptor of a process leads ("/dev/pts/7"); empty if it cannot be read.
std::string LinkOf(const std::string& path) {
  char target[512];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Whether the process holds the master of pty `index` (each master's fdinfo names its index).
// What a process serves is kept: a scan opens up to 99 ports of one simulator in a row, and
// each would read them all. Only a "yes" is taken from what is kept; a "no" reads them again.
bool ServesPty(const std::string& processDir, long index) {
  static std::mutex mutex;
  static std::map<std::string, std::set<long>> known;
  std::lock_guard lock(mutex);
  if (known[processDir].count(index)) return true;
  std::set<long> served;
  std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir((processDir + "/fd").c_str()), ::closedir);
  while (const dirent* fd = fds ? ::readdir(fds.get()) : nullptr) {
    if (fd->d_name[0] == '.') continue;
    const std::string target = LinkOf(processDir + "/fd/" + fd->d_name);
    if (target.size() < 4 || target.compare(target.size() - 4, 4, "ptmx") != 0) continue;
    std::ifstream info(processDir + "/fdinfo/" + fd->d_name);
    std::string line;
    while (std::getline(info, line)) {
      long shown = -1;
      if (std::sscanf(line.c_str(), "tty-index: %ld", &shown) == 1) served.insert(shown);
    }
  }
  known[processDir] = served;
  return served.count(index) > 0;
}

// The processes other than the pty's server that have the device open: another one first,
// else this one; nothing when there is none.
std::optional<PortHolder> ScanHolders(const std::string& device, const struct stat& target,
                                      const std::string& procRoot, bool othersOnly) {
  std::unique_ptr<DIR, int (*)(DIR*)> processes(::opendir(procRoot.c_str()), ::closedir);
  if (!processes) return std::nullopt;
  const std::optional<long> ptyIndex = PtyIndex(device);
  std::error_code noTarget;
  const std::string canonical = std::filesystem::canonical(device, noTarget).string();
  std::optional<PortHolder> self;
  const long ownPid = static_cast<long>(::getpid());
  while (const dirent* process = ::readdir(processes.get())) {
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    // Our own descriptors are many during a scan (every port at once) and never another holder.
    if (othersOnly && pid == ownPid) continue;
    const std::string processDir = procRoot + "/" + process->d_name;
    std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir((processDir + "/fd").c_str()), ::closedir);
    if (!fds) continue;  // gone, or not ours to look at
    while (const dirent* fd = ::readdir(fds.get())) {
      if (fd->d_name[0] == '.') continue;
      const std::string link = processDir + "/fd/" + fd->d_name;
      // A device is matched by where the descriptor leads, which costs no lookup of the
      // target (a scan asks this for every port it opens); anything else by its inode.
      bool same = false;
      if (S_ISCHR(target.st_mode)) {
        same = !noTarget && LinkOf(link) == canonical;
      } else {
        struct stat open {};
        same = ::stat(link.c_str(), &open) == 0 && open.st_dev == target.st_dev &&
               open.st_ino == target.st_ino;
      }
      if (!same) continue;
      if (pid == ownPid) {
        if (!othersOnly) self = PortHolder{pid, ProgramOf(processDir)};
        break;
      }
      if (ptyIndex && ServesPty(processDir, *ptyIndex)) break;
      return PortHolder{pid, ProgramOf(processDir)};
    }
  }
  return self;
}

}  // namespace

std::optional<PortHolder> FindPortHolder(const std::string& device, const std::string& procRoot) {
  struct stat target {};
  if (::stat(device.c_str(), &target) != 0) return std::nullopt;
  if (auto pid = LockHolder(target, procRoot)) {
    return PortHolder{*pid, ProgramOf(procRoot + "/" + std::to_string(*pid))};
  }
  return ScanHolders(device, target, procRoot, false);
}

std::optional<PortHolder> FindOtherHolder(const std::string& device, const std::string& procRoot) {
  struct stat target {};
  if (::stat(device.c_str(), &target) != 0) return std::nullopt;
  return ScanHolders(device, target, procRoot, true);
}

PortError DescribeOpenFailure(const std::string& portName, const std::string& device,
                              int systemCode) {
  using K = PortErrorKind;
  if (device.empty()) return {K::kMissing, systemCode, portName + ": " + kListHint};
  // A port map folder's link is named by the device it leads to.
  std::error_code noTarget;
  const std::filesystem::path target = std::filesystem::canonical(device, noTarget);
  std::string text = portName + " (" + (noTarget ? device : target.string()) + "): ";
  switch (systemCode) {
    case EBUSY:
    case EAGAIN: {
      auto holder = FindPortHolder(device);
      if (!holder) return {K::kBusy, systemCode, text + "busy: held by another program"};
      return {K::kBusy, systemCode,
              text + "busy: held by process " + std::to_string(holder->pid) + " (" +
                  holder->program + ")"};
    }
    case EACCES:
    case EPERM:
      return {K::kPermission, systemCode,
              text + "permission denied: add your user to the '" + SerialGroupOf(device) +
                  "' group (then log in again)"};
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return {K::kMissing, systemCode, text + kListHint};
    case ENOTTY:
      return {K::kNotSerial, systemCode, text + "not a serial device"};
    default:
      return {K::kSystem, systemCode, text + std::strerror(systemCode)};
  }
}

}  // namespace korvelt
