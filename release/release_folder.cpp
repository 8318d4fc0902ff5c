#include "release/release_folder.h"

#include <algorithm>

#include "release/input_file.h"
#include "release/sha256_file.h"

namespace korvelt::release {

namespace {

constexpr std::size_t kSignatureLimit = 16 * 1024;

Refusal Refused(RefusalKind kind, const std::filesystem::path& file, std::string why,
                std::string keyId = {}) {
  return Refusal{.kind = kind,
                 .text = "Release refused: " + std::move(why),
                 .file = PathText(file),
                 .keyId = std::move(keyId)};
}

std::string TrustedKeyList(const TrustedKeys& keys) {
  std::string list;
  for (const TrustedKey& key : keys) {
    if (!list.empty()) list += ", ";
    list += KeyIdHex(key.key.keyId);
  }
  return list;
}

class ReleaseCheck {
 public:
  ReleaseCheck(const std::filesystem::path& folder, const TrustedKeys& keys)
      : folder_(folder),
        manifest_path_(folder / kManifestName),
        signature_path_(folder / kSignatureName),
        keys_(keys) {}

  Checked<VerifiedRelease> Run() {
    if (keys_.empty()) {
      return Refused(
          RefusalKind::kNoTrustedKeys, folder_,
          "this station trusts no key, so " + PathText(folder_) + " can not be checked.");
    }
    const SmallFile manifest = ReadSmallFile(manifest_path_, kManifestLimit);
    if (auto refusal = ManifestReadRefusal(manifest)) return *refusal;
    const SmallFile signature = ReadSmallFile(signature_path_, kSignatureLimit);
    if (signature.status == SmallFile::Status::kMissing) {
      return Refused(
          RefusalKind::kMissingSignature, signature_path_,
          Name(manifest_path_) + " is not signed: " + Name(signature_path_) + " is missing.");
    }
    if (signature.status != SmallFile::Status::kRead) {
      return Refused(
          RefusalKind::kMalformedSignature, signature_path_,
          "the signature " + Name(signature_path_) + " can not be read: " + signature.reason + ".");
    }
    const auto parsed = ParseSignatureFile(signature.bytes);
    if (!parsed.ok()) {
      return Refused(RefusalKind::kMalformedSignature, signature_path_,
                     "the signature " + Name(signature_path_) +
                         " is not a minisign signature: it " + parsed.error() + ".");
    }
    const SignatureFile& sig = parsed.value();
    key_id_ = KeyIdHex(sig.keyId);
    const std::span<const std::uint8_t> manifest_bytes(
        reinterpret_cast<const std::uint8_t*>(manifest.bytes.data()), manifest.bytes.size());
    if (auto refusal = SignatureRefusal(sig, manifest_bytes)) return *refusal;

    auto parsed_manifest = ParseManifest(manifest.bytes);
    if (!parsed_manifest.ok()) {
      return Refused(RefusalKind::kBadManifest, manifest_path_,
                     Name(manifest_path_) + " (signed by key " + key_id_ +
                         ") is not a sound manifest: " + parsed_manifest.error() + ".",
                     key_id_);
    }
    release_.name = parsed_manifest.value().release;
    release_.folder = folder_;
    release_.manifestSha256 = Sha256Hex(manifest_bytes);
    release_.keyId = key_id_;
    release_.algorithm = sig.algorithm;
    release_.trustedComment = sig.trustedComment;
    for (const ManifestImage& listed : parsed_manifest.value().images) {
      if (auto refusal = CheckImage(listed)) return *refusal;
    }
    return std::move(release_);
  }

 private:
  static std::string Name(const std::filesystem::path& path) { return PathText(path); }

  std::string Listing() const {
    return Name(manifest_path_) + " (release " + release_.name + ", key " + key_id_ + ")";
  }

  std::optional<Refusal> ManifestReadRefusal(const SmallFile& manifest) const {
    switch (manifest.status) {
      case SmallFile::Status::kRead:
        return std::nullopt;
      case SmallFile::Status::kMissing:
        return Refused(RefusalKind::kMissingManifest, manifest_path_,
                       Name(folder_) + " has no " + kManifestName + ".");
      case SmallFile::Status::kNotRegular:
      case SmallFile::Status::kTooLarge:
        return Refused(RefusalKind::kBadManifest, manifest_path_,
                       Name(manifest_path_) + " " + manifest.reason + ".");
      case SmallFile::Status::kFailed:
        break;
    }
    return Refused(RefusalKind::kReadFailed, manifest_path_,
                   Name(manifest_path_) + " can not be read: " + manifest.reason + ".");
  }

  std::optional<Refusal> SignatureRefusal(const SignatureFile& sig,
                                          std::span<const std::uint8_t> manifest_bytes) {
    bool known = false;
    for (const TrustedKey& key : keys_) {
      if (key.key.keyId != sig.keyId) continue;
      known = true;
      switch (CheckSignature(sig, key.key, manifest_bytes)) {
        case SignatureCheck::kValid:
          release_.keyFile = key.file;
          return std::nullopt;
        case SignatureCheck::kBadTrustedComment:
          return Refused(RefusalKind::kBadTrustedComment, signature_path_,
                         "the trusted comment in " + Name(signature_path_) + " (key " + key_id_ +
                             ") fails its signature: it was changed after signing.",
                         key_id_);
        case SignatureCheck::kBadSignature:
          break;  // another trusted key may share the id
      }
    }
    if (!known) {
      return Refused(RefusalKind::kUntrustedKey, signature_path_,
                     Name(signature_path_) + " is signed by key " + key_id_ +
                         ", which this station does not trust (it trusts " + TrustedKeyList(keys_) +
                         ").",
                     key_id_);
    }
    return Refused(RefusalKind::kBadSignature, signature_path_,
                   "the signature " + Name(signature_path_) + " by key " + key_id_ +
                       " does not match " + Name(manifest_path_) +
                       ": the manifest was changed after signing, or the signature is damaged.",
                   key_id_);
  }

  std::optional<Refusal> CheckImage(const ManifestImage& listed) {
    // The manifest's names were checked to be plain file names before this.
    const auto name = PathFromUtf8(listed.file);
    if (!name) {
      return Refused(RefusalKind::kBadManifest, manifest_path_,
                     Listing() + " names a file that is not valid here: " + listed.file + ".",
                     key_id_);
    }
    const std::filesystem::path path = folder_ / *name;
    const FileSha256 hashed = Sha256File(path, listed.size);
    switch (hashed.status) {
      case FileSha256::Status::kHashed:
        break;
      case FileSha256::Status::kMissing:
        return Refused(RefusalKind::kMissingImage, path,
                       Name(path) + ", listed in " + Listing() + ", is missing.", key_id_);
      case FileSha256::Status::kNotRegular:
        return Refused(RefusalKind::kMissingImage, path,
                       Name(path) + ", listed in " + Listing() + ", " + hashed.reason + ".",
                       key_id_);
      case FileSha256::Status::kTooLarge:
        return Refused(RefusalKind::kSizeMismatch, path,
                       Name(path) + " is " + std::to_string(hashed.size) + " bytes; " + Listing() +
                           " lists " + std::to_string(listed.size) + ".",
                       key_id_);
      case FileSha256::Status::kFailed:
        return Refused(
            RefusalKind::kReadFailed, path,
            Name(path) + ", listed in " + Listing() + ", can not be read: " + hashed.reason + ".",
            key_id_);
    }
    if (hashed.size != listed.size) {
      return Refused(RefusalKind::kSizeMismatch, path,
                     Name(path) + " is " + std::to_string(hashed.size) + " bytes; " + Listing() +
                         " lists " + std::to_string(listed.size) + ".",
                     key_id_);
    }
    if (hashed.sha256 != listed.sha256) {
      return Refused(RefusalKind::kSha256Mismatch, path,
                     Name(path) + " has SHA-256 " + hashed.sha256 + "; " + Listing() + " lists " +
                         listed.sha256 + ": the file is damaged or was changed.",
                     key_id_);
    }
    release_.images.push_back(VerifiedImage{.deviceType = listed.deviceType,
                                            .part = listed.part,
                                            .file = listed.file,
                                            .path = path,
                                            .size = listed.size,
                                            .sha256 = listed.sha256});
    return std::nullopt;
  }

  std::filesystem::path folder_;
  std::filesystem::path manifest_path_;
  std::filesystem::path signature_path_;
  const TrustedKeys& keys_;
  std::string key_id_;
  VerifiedRelease release_;
};

}  // namespace

Checked<VerifiedRelease> VerifyRelease(const std::filesystem::path& folder,
                                       const TrustedKeys& keys) {
  try {
    return ReleaseCheck(folder, keys).Run();
  } catch (const std::exception& error) {
    // Everything above reports through its results; this is for memory running out.
    return Refused(RefusalKind::kReadFailed, folder,
                   PathText(folder) + " could not be checked: " + error.what() + ".");
  }
}

std::string OperatorLine(const VerifiedRelease& release) {
  const std::size_t count = release.images.size();
  return "release " + release.name + ", signed by key " + release.keyId + ", " +
         std::to_string(count) + (count == 1 ? " image" : " images") + " checked";
}

nlohmann::ordered_json ReleaseRecord(const VerifiedRelease& release) {
  return nlohmann::ordered_json{
      {"release", {{"name", release.name}, {"manifestSha256", release.manifestSha256}}},
      {"key", release.keyId}};
}

const VerifiedImage* FindImage(const VerifiedRelease& release, int deviceType, ImagePart part) {
  const auto found =
      std::find_if(release.images.begin(), release.images.end(), [&](const VerifiedImage& image) {
        return image.deviceType == deviceType && image.part == part;
      });
  return found == release.images.end() ? nullptr : &*found;
}

std::optional<Refusal> CheckLoadedImage(const VerifiedRelease& release, const VerifiedImage& image,
                                        std::span<const std::uint8_t> bytes) {
  if (bytes.size() == image.size && Sha256Hex(bytes) == image.sha256) return std::nullopt;
  const bool same_size = bytes.size() == image.size;
  return Refused(same_size ? RefusalKind::kSha256Mismatch : RefusalKind::kSizeMismatch, image.path,
                 PathText(image.path) + " changed after release " + release.name +
                     " was checked: it is now " + std::to_string(bytes.size()) +
                     " bytes, SHA-256 " + Sha256Hex(bytes) + "; the release (key " + release.keyId +
                     ") lists " + std::to_string(image.size) + " bytes, " + image.sha256 + ".",
                 release.keyId);
}

}  // namespace korvelt::release
