#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace korvelt::release {

// A regular file opened for reading in chunks. Pipes, devices and folders are refused at
// open, so that a wrong name cannot make a check wait for ever; on Windows the file is
// opened without sharing writes, so it cannot change while it is checked. One implementation
// per system: input_file_posix.cpp, input_file_win32.cpp.
class InputFile {
 public:
  enum class Status { kOpen, kMissing, kNotRegular, kFailed };

  static InputFile Open(const std::filesystem::path& path);
  ~InputFile();
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  Status status() const { return status_; }
  // The system's words for a failure ("Permission denied", "is a folder").
  const std::string& reason() const { return reason_; }
  // The size when it was opened.
  std::uint64_t size() const { return size_; }
  // Up to buffer.size() bytes; 0 at the end; nullopt on a read error (see reason()).
  std::optional<std::size_t> Read(std::span<std::uint8_t> buffer);

 private:
  InputFile() = default;
  void Close();

  std::intptr_t handle_ = -1;
  Status status_ = Status::kFailed;
  std::string reason_;
  std::uint64_t size_ = 0;
};

// A small file read whole (manifests, signatures, keys, the station file).
struct SmallFile {
  enum class Status { kRead, kMissing, kNotRegular, kTooLarge, kFailed };
  Status status = Status::kFailed;
  std::string bytes;
  std::string reason;
};
SmallFile ReadSmallFile(const std::filesystem::path& path, std::size_t limit);

// A path as UTF-8 text, for messages.
std::string PathText(const std::filesystem::path& path);
// A UTF-8 name as a path, whatever the system's code page; nullopt if it is not UTF-8 where
// the system needs it to be.
std::optional<std::filesystem::path> PathFromUtf8(std::string_view name);

}  // namespace korvelt::release
