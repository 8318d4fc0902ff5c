#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "release/manifest.h"
#include "release/minisign.h"
#include "release/refusal.h"
#include "release/trusted_keys.h"

// A signed release folder: manifest.json, its minisign signature manifest.json.minisig and
// the image files it lists.
namespace korvelt::release {

inline constexpr const char* kManifestName = "manifest.json";
inline constexpr const char* kSignatureName = "manifest.json.minisig";
// A manifest is a few hundred bytes per image; anything near this is not one.
inline constexpr std::size_t kManifestLimit = 1024 * 1024;

struct VerifiedImage {
  int deviceType = kGeneratorType;
  ImagePart part = ImagePart::kFpga;
  std::string file;            // as listed
  std::filesystem::path path;  // in the release folder
  std::uint64_t size = 0;
  std::string sha256;
};

struct VerifiedRelease {
  std::string name;
  std::filesystem::path folder;
  std::string manifestSha256;  // of the manifest bytes that were verified
  std::string keyId;           // KeyIdHex of the signing key
  std::filesystem::path keyFile;
  SignatureAlgorithm algorithm = SignatureAlgorithm::kPrehashed;
  std::string trustedComment;
  std::vector<VerifiedImage> images;
};

// Verifies the signature with one of `keys` (and its trusted comment), then parses the
// manifest, then checks the size and SHA-256 of every listed image, reading each in chunks.
// The first failure refuses the whole release; its text names the file and, once the
// signature has been read, the key id.
Checked<VerifiedRelease> VerifyRelease(const std::filesystem::path& folder,
                                       const TrustedKeys& keys);

// For the operator: "release 2026.12, signed by key 0619CD8C784DCD9F, 4 images checked".
std::string OperatorLine(const VerifiedRelease& release);

// For run records: {"release": {"name": ..., "manifestSha256": ...}, "key": ...}.
nlohmann::ordered_json ReleaseRecord(const VerifiedRelease& release);

// The release's image for a unit and part, or nullptr.
const VerifiedImage* FindImage(const VerifiedRelease& release, int deviceType, ImagePart part);

// The image's bytes as loaded for sending, checked again against the release: the file may
// have been replaced since VerifyRelease read it. nullopt when they match.
std::optional<Refusal> CheckLoadedImage(const VerifiedRelease& release, const VerifiedImage& image,
                                        std::span<const std::uint8_t> bytes);

}  // namespace korvelt::release
