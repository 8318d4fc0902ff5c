#include "release/refusal.h"

#include <array>

namespace korvelt::release {

namespace {

struct KindEntry {
  RefusalKind kind;
  std::string_view name;
};

constexpr std::array kKindNames = {
    KindEntry{.kind = RefusalKind::kNoTrustedKeys, .name = "no-trusted-keys"},
    KindEntry{.kind = RefusalKind::kBadKeyFile, .name = "bad-key-file"},
    KindEntry{.kind = RefusalKind::kMissingManifest, .name = "missing-manifest"},
    KindEntry{.kind = RefusalKind::kMissingSignature, .name = "missing-signature"},
    KindEntry{.kind = RefusalKind::kMalformedSignature, .name = "malformed-signature"},
    KindEntry{.kind = RefusalKind::kUntrustedKey, .name = "untrusted-key"},
    KindEntry{.kind = RefusalKind::kBadSignature, .name = "bad-signature"},
    KindEntry{.kind = RefusalKind::kBadTrustedComment, .name = "bad-trusted-comment"},
    KindEntry{.kind = RefusalKind::kBadManifest, .name = "bad-manifest"},
    KindEntry{.kind = RefusalKind::kMissingImage, .name = "missing-image"},
    KindEntry{.kind = RefusalKind::kSizeMismatch, .name = "size-mismatch"},
    KindEntry{.kind = RefusalKind::kSha256Mismatch, .name = "sha256-mismatch"},
    KindEntry{.kind = RefusalKind::kReadFailed, .name = "read-failed"},
    KindEntry{.kind = RefusalKind::kBadStationConfig, .name = "bad-station-config"},
    KindEntry{.kind = RefusalKind::kBadFileMapping, .name = "bad-file-mapping"},
    KindEntry{.kind = RefusalKind::kUnmappedFile, .name = "unmapped-file"},
    KindEntry{.kind = RefusalKind::kWriteFailed, .name = "write-failed"},
};

}  // namespace

std::string_view RefusalKindName(RefusalKind kind) {
  for (const KindEntry& entry : kKindNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "refused";
}

}  // namespace korvelt::release
