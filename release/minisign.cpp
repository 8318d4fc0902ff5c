#include "release/minisign.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace korvelt::release {

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
// Algorithm (2), key id (8), key (32) or signature (64).
constexpr std::size_t kPublicKeyBytes = 2 + 8 + kEd25519KeySize;
constexpr std::size_t kSignatureBytes = 2 + 8 + kEd25519SignatureSize;

// The file's lines without their line ends (LF or CR LF).
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  // Blank lines at the end are an editor's doing, not part of the format.
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

}  // namespace

std::string KeyIdHex(const KeyId& keyId) {
  std::string text;
  char digits[3];
  for (auto byte = keyId.rbegin(); byte != keyId.rend(); ++byte) {
    std::snprintf(digits, sizeof digits, "%02X", *byte);
    text += digits;
  }
  return text;
}

Checked<PublicKey, std::string> ParsePublicKey(std::string_view text) {
  std::vector<std::string_view> lines = Lines(text);
  if (!lines.empty() && lines.front().starts_with(kUntrustedPrefix)) lines.erase(lines.begin());
  if (lines.size() != 1) {
    return std::string("not a minisign public key: expected a comment line and one key line");
  }
  const auto bytes = DecodeBase64(lines.front());
  if (!bytes || bytes->size() != kPublicKeyBytes) {
    return std::string("not a minisign public key: the key line is not a base64 key");
  }
  if ((*bytes)[0] != 'E' || (*bytes)[1] != 'd') {
    return std::string("not a minisign public key: its algorithm is not Ed25519");
  }
  PublicKey key;
  std::copy_n(bytes->begin() + 2, key.keyId.size(), key.keyId.begin());
  std::copy_n(bytes->begin() + 10, key.key.size(), key.key.begin());
  return key;
}

std::string_view SignatureAlgorithmName(SignatureAlgorithm algorithm) {
  return algorithm == SignatureAlgorithm::kPrehashed ? "prehashed" : "legacy";
}

Checked<SignatureFile, std::string> ParseSignatureFile(std::string_view text) {
  const std::vector<std::string_view> lines = Lines(text);
  if (lines.size() != 4) {
    return "has " + std::to_string(lines.size()) + " lines; a minisign signature has 4";
  }
  if (!lines[0].starts_with(kUntrustedPrefix)) {
    return std::string("its first line is not an untrusted comment");
  }
  const auto signature = DecodeBase64(lines[1]);
  if (!signature || signature->size() != kSignatureBytes) {
    return std::string("its signature line is not a base64 signature");
  }
  SignatureFile file;
  if ((*signature)[0] == 'E' && (*signature)[1] == 'D') {
    file.algorithm = SignatureAlgorithm::kPrehashed;
  } else if ((*signature)[0] == 'E' && (*signature)[1] == 'd') {
    file.algorithm = SignatureAlgorithm::kLegacy;
  } else {
    return std::string("its signature algorithm is neither ED nor Ed");
  }
  std::copy_n(signature->begin() + 2, file.keyId.size(), file.keyId.begin());
  std::copy_n(signature->begin() + 10, file.signature.size(), file.signature.begin());
  if (!lines[2].starts_with(kTrustedPrefix)) {
    return std::string("its third line is not a trusted comment");
  }
  file.trustedComment = lines[2].substr(kTrustedPrefix.size());
  const auto global = DecodeBase64(lines[3]);
  if (!global || global->size() != kEd25519SignatureSize) {
    return std::string("its last line is not a base64 signature of the trusted comment");
  }
  std::copy(global->begin(), global->end(), file.globalSignature.begin());
  return file;
}

SignatureCheck CheckSignature(const SignatureFile& signature, const PublicKey& key,
                              std::span<const std::uint8_t> message) {
  if (signature.keyId != key.keyId) return SignatureCheck::kBadSignature;
  std::vector<std::uint8_t> prehash;
  if (signature.algorithm == SignatureAlgorithm::kPrehashed) {
    prehash = Digest(HashAlgorithm::kBlake2b512, message);
    if (prehash.empty()) return SignatureCheck::kBadSignature;
    message = prehash;
  }
  if (!VerifyEd25519(key.key, message, signature.signature)) return SignatureCheck::kBadSignature;
  // The trusted comment is signed together with the signature it follows.
  std::vector<std::uint8_t> signed_comment(signature.signature.begin(), signature.signature.end());
  signed_comment.insert(signed_comment.end(), signature.trustedComment.begin(),
                        signature.trustedComment.end());
  if (!VerifyEd25519(key.key, signed_comment, signature.globalSignature)) {
    return SignatureCheck::kBadTrustedComment;
  }
  return SignatureCheck::kValid;
}

}  // namespace korvelt::release
