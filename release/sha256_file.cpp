#include "release/sha256_file.h"

#include <vector>

#include "release/crypto.h"
#include "release/input_file.h"

namespace korvelt::release {

namespace {

// Large enough that a 16 MiB image takes 16 reads, small enough to stay out of the way.
constexpr std::size_t kChunkSize = 1024 * 1024;

}  // namespace

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
  return HexLower(Digest(HashAlgorithm::kSha256, bytes));
}

FileSha256 Sha256File(const std::filesystem::path& path, std::optional<std::uint64_t> max_size) {
  FileSha256 result;
  InputFile file = InputFile::Open(path);
  switch (file.status()) {
    case InputFile::Status::kOpen:
      break;
    case InputFile::Status::kMissing:
      result.status = FileSha256::Status::kMissing;
      result.reason = file.reason();
      return result;
    case InputFile::Status::kNotRegular:
      result.status = FileSha256::Status::kNotRegular;
      result.reason = file.reason();
      return result;
    case InputFile::Status::kFailed:
      result.reason = file.reason();
      return result;
  }
  if (max_size && file.size() > *max_size) {
    result.status = FileSha256::Status::kTooLarge;
    result.size = file.size();
    return result;
  }
  Hasher hasher(HashAlgorithm::kSha256);
  std::vector<std::uint8_t> chunk(kChunkSize);
  std::uint64_t total = 0;
  for (;;) {
    const auto n = file.Read(chunk);
    if (!n) {
      result.reason = file.reason();
      return result;
    }
    if (*n == 0) break;
    total += *n;
    if (max_size && total > *max_size) {
      result.status = FileSha256::Status::kTooLarge;
      result.size = total;
      return result;
    }
    hasher.Update(std::span(chunk.data(), *n));
  }
  const std::vector<std::uint8_t> digest = hasher.Finish();
  if (digest.empty()) {
    result.reason = "SHA-256 is not available from the crypto library";
    return result;
  }
  result.status = FileSha256::Status::kHashed;
  result.size = total;
  result.sha256 = HexLower(digest);
  return result;
}

}  // namespace korvelt::release
