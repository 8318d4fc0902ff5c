#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "release/crypto.h"
#include "release/refusal.h"

// Key and signature files as the minisign tool writes them, and their verification.
namespace korvelt::release {

using KeyId = std::array<std::uint8_t, 8>;

// The key id as minisign shows it: the 8 bytes read as a little-endian number, here always
// written with 16 upper-case hex digits.
std::string KeyIdHex(const KeyId& keyId);

// A public key file: "untrusted comment: ..." and a base64 line holding "Ed", the key id and
// the 32-byte Ed25519 key. The comment line may be left out.
struct PublicKey {
  KeyId keyId{};
  std::array<std::uint8_t, kEd25519KeySize> key{};
};
Checked<PublicKey, std::string> ParsePublicKey(std::string_view text);

// "ED": the signature covers the BLAKE2b-512 digest of the file (the tool's default).
// "Ed": the signature covers the file itself (the tool's legacy form, -l).
enum class SignatureAlgorithm { kPrehashed, kLegacy };
std::string_view SignatureAlgorithmName(SignatureAlgorithm algorithm);

// A signature file: an untrusted comment, the signature line (algorithm, key id, signature),
// the trusted comment and the global signature over the signature and the trusted comment.
struct SignatureFile {
  SignatureAlgorithm algorithm = SignatureAlgorithm::kPrehashed;
  KeyId keyId{};
  std::array<std::uint8_t, kEd25519SignatureSize> signature{};
  std::string trustedComment;
  std::array<std::uint8_t, kEd25519SignatureSize> globalSignature{};
};
Checked<SignatureFile, std::string> ParseSignatureFile(std::string_view text);

enum class SignatureCheck { kValid, kBadSignature, kBadTrustedComment };
// Checks the signature of `message` and then the trusted comment; a key whose id differs from
// the signature's never verifies it.
SignatureCheck CheckSignature(const SignatureFile& signature, const PublicKey& key,
                              std::span<const std::uint8_t> message);

}  // namespace korvelt::release
