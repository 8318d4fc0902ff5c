#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct gcry_md_handle;

// The few cryptographic operations a release check needs, all from libgcrypt (and its
// companion libgpg-error for base64), the same library on Linux and Windows.
namespace korvelt::release {

enum class HashAlgorithm { kSha256, kBlake2b512 };

// A digest computed piece by piece, so that large files are hashed in chunks.
class Hasher {
 public:
  explicit Hasher(HashAlgorithm algorithm);
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  void Update(std::span<const std::uint8_t> bytes);
  // The digest; empty if the library could not provide the algorithm.
  std::vector<std::uint8_t> Finish();

 private:
  gcry_md_handle* handle_ = nullptr;
  int algorithm_ = 0;
};

std::vector<std::uint8_t> Digest(HashAlgorithm algorithm, std::span<const std::uint8_t> bytes);

inline constexpr std::size_t kEd25519KeySize = 32;
inline constexpr std::size_t kEd25519SignatureSize = 64;

// True when `signature` is the Ed25519 signature of `message` by `public_key`.
bool VerifyEd25519(std::span<const std::uint8_t, kEd25519KeySize> public_key,
                   std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t, kEd25519SignatureSize> signature);

// Standard base64 with its padding; nothing else (no spaces, no line breaks) is accepted.
std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text);

std::string HexLower(std::span<const std::uint8_t> bytes);

}  // namespace korvelt::release
