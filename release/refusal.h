#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace korvelt::release {

// Why a release, a key, a station file or a manifest was refused. Every refusal carries the
// text the operator reads; `file` and `keyId` repeat what the text names, for records.
enum class RefusalKind {
  kNoTrustedKeys,       // the station trusts no key: its key folder is missing or empty
  kBadKeyFile,          // a trusted key file is not a minisign public key
  kMissingManifest,     // the folder has no manifest.json
  kMissingSignature,    // manifest.json has no manifest.json.minisig beside it
  kMalformedSignature,  // the signature file does not parse
  kUntrustedKey,        // signed by a key the station does not trust
  kBadSignature,        // the signature does not match the manifest
  kBadTrustedComment,   // the trusted comment was changed after signing
  kBadManifest,         // the manifest does not parse, or names files unsafely
  kMissingImage,        // a listed image is not in the folder (or is not a regular file)
  kSizeMismatch,        // a listed image has another size than listed
  kSha256Mismatch,      // a listed image has another SHA-256 than listed
  kReadFailed,          // a file could not be read
  kBadStationConfig,    // the station file has an unknown setting or a bad value
  kBadFileMapping,      // a FILE=KIND:PART mapping that does not parse or names no file
  kUnmappedFile,        // make-manifest found a file that maps to no kind and part
  kWriteFailed,         // make-manifest could not write manifest.json
};

// A short stable name for records: "bad-signature", "sha256-mismatch", ...
std::string_view RefusalKindName(RefusalKind kind);

struct Refusal {
  RefusalKind kind = RefusalKind::kBadManifest;
  std::string text;   // for the operator: what was refused and why
  std::string file;   // the file the refusal is about, when there is one
  std::string keyId;  // the signing key, when it is known
};

// A value or the reason there is none. `Error` is a Refusal for the public calls and a plain
// text for the parsers below them, whose callers know the file and key to name.
template <typename T, typename Error = Refusal>
class Checked {
 public:
  Checked(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Checked(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  const T& value() const& { return *std::get_if<0>(&state_); }
  T& value() & { return *std::get_if<0>(&state_); }
  T&& value() && { return std::move(*std::get_if<0>(&state_)); }
  const Error& error() const { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, Error> state_;
};

}  // namespace korvelt::release
