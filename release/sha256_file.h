#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace korvelt::release {

// SHA-256 of bytes in memory, as 64 lower-case hex digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

struct FileSha256 {
  enum class Status { kHashed, kMissing, kNotRegular, kTooLarge, kFailed };
  Status status = Status::kFailed;
  std::uint64_t size = 0;  // the bytes hashed; with kTooLarge, the size the file had at open
  std::string sha256;      // 64 lower-case hex digits
  std::string reason;      // the system's words for a failure
};

// SHA-256 of a regular file, read in chunks (never whole). With `max_size`, a file larger than
// that is refused at open without being read, and one that grows past it while it is read is
// refused at that point.
FileSha256 Sha256File(const std::filesystem::path& path,
                      std::optional<std::uint64_t> max_size = std::nullopt);

}  // namespace korvelt::release
