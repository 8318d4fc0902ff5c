#include "release/trusted_keys.h"

#include <algorithm>
#include <system_error>

#include "release/input_file.h"

namespace korvelt::release {

namespace {

constexpr std::size_t kKeyFileLimit = 4096;

Refusal KeyRefusal(RefusalKind kind, const std::filesystem::path& file, std::string text) {
  return Refusal{.kind = kind, .text = std::move(text), .file = PathText(file), .keyId = {}};
}

bool IsKeyFileName(const std::filesystem::path& file) {
  std::string extension = PathText(file.extension());
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return extension == ".pub";
}

}  // namespace

Checked<TrustedKey> LoadPublicKeyFile(const std::filesystem::path& file) {
  const SmallFile read = ReadSmallFile(file, kKeyFileLimit);
  if (read.status != SmallFile::Status::kRead) {
    return KeyRefusal(
        RefusalKind::kBadKeyFile, file,
        "The trusted key " + PathText(file) + " can not be read: " + read.reason + ".");
  }
  auto key = ParsePublicKey(read.bytes);
  if (!key.ok()) {
    return KeyRefusal(RefusalKind::kBadKeyFile, file,
                      "The trusted key " + PathText(file) + " is " + key.error() + ".");
  }
  return TrustedKey{.key = key.value(), .file = file};
}

Checked<TrustedKeys> LoadTrustedKeys(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  if (error) {
    return KeyRefusal(RefusalKind::kNoTrustedKeys, folder,
                      "No trusted keys: the key folder " + PathText(folder) + " can not be read (" +
                          error.message() + ").");
  }
  std::vector<std::filesystem::path> files;
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (IsKeyFileName(entries->path())) files.push_back(entries->path());
  }
  if (error) {
    return KeyRefusal(RefusalKind::kNoTrustedKeys, folder,
                      "No trusted keys: the key folder " + PathText(folder) + " can not be read (" +
                          error.message() + ").");
  }
  std::sort(files.begin(), files.end());
  TrustedKeys keys;
  for (const std::filesystem::path& file : files) {
    auto key = LoadPublicKeyFile(file);
    if (!key.ok()) return key.error();
    keys.push_back(std::move(key).value());
  }
  if (keys.empty()) {
    return KeyRefusal(
        RefusalKind::kNoTrustedKeys, folder,
        "No trusted keys: the key folder " + PathText(folder) + " holds no *.pub file.");
  }
  return keys;
}

}  // namespace korvelt::release
