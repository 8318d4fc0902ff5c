#include "release/crypto.h"

#include <gcrypt.h>
#include <gpg-error.h>

#include <algorithm>

namespace korvelt::release {

namespace {

// libgcrypt wants its version check before any other call, once per process; verification
// handles no secrets, so its secure memory pool is not set up.
void EnsureLibraryReady() {
  static const bool ready = [] {
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      gcry_check_version(nullptr);
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    return true;
  }();
  (void)ready;
}

int LibraryAlgorithm(HashAlgorithm algorithm) {
  return algorithm == HashAlgorithm::kSha256 ? GCRY_MD_SHA256 : GCRY_MD_BLAKE2B_512;
}

class Sexp {
 public:
  Sexp() = default;
  ~Sexp() { gcry_sexp_release(sexp_); }
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  gcry_sexp_t* out() { return &sexp_; }
  gcry_sexp_t get() const { return sexp_; }

 private:
  gcry_sexp_t sexp_ = nullptr;
};

bool IsBase64Symbol(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

Hasher::Hasher(HashAlgorithm algorithm) {
  EnsureLibraryReady();
  algorithm_ = LibraryAlgorithm(algorithm);
  if (gcry_md_open(&handle_, algorithm_, 0) != 0) handle_ = nullptr;
}

Hasher::~Hasher() {
  gcry_md_close(handle_);
}

void Hasher::Update(std::span<const std::uint8_t> bytes) {
  if (handle_ != nullptr && !bytes.empty()) gcry_md_write(handle_, bytes.data(), bytes.size());
}

std::vector<std::uint8_t> Hasher::Finish() {
  if (handle_ == nullptr) return {};
  const unsigned char* digest = gcry_md_read(handle_, algorithm_);
  if (digest == nullptr) return {};
  return {digest, digest + gcry_md_get_algo_dlen(algorithm_)};
}

std::vector<std::uint8_t> Digest(HashAlgorithm algorithm, std::span<const std::uint8_t> bytes) {
  Hasher hasher(algorithm);
  hasher.Update(bytes);
  return hasher.Finish();
}

bool VerifyEd25519(std::span<const std::uint8_t, kEd25519KeySize> public_key,
                   std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t, kEd25519SignatureSize> signature) {
  EnsureLibraryReady();
  Sexp key;
  Sexp sig;
  Sexp data;
  if (gcry_sexp_build(key.out(), nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                      static_cast<int>(public_key.size()), public_key.data()) != 0 ||
      gcry_sexp_build(sig.out(), nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(), 32,
                      signature.data() + 32) != 0 ||
      gcry_sexp_build(data.out(), nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                      static_cast<int>(message.size()), message.data()) != 0) {
    return false;
  }
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text) {
  // The library's decoder skips what it does not know; the strict form is checked here first.
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  if (!std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), IsBase64Symbol))
    return std::nullopt;
  std::string buffer(text);
  gpgrt_b64state_t state = gpgrt_b64dec_start(nullptr);
  if (state == nullptr) return std::nullopt;
  std::size_t decoded = 0;
  const gpg_error_t processed = gpgrt_b64dec_proc(state, buffer.data(), buffer.size(), &decoded);
  const gpg_error_t finished = gpgrt_b64dec_finish(state);
  if (processed != 0 || finished != 0) return std::nullopt;
  if (decoded != text.size() / 4 * 3 - padding) return std::nullopt;
  return std::vector<std::uint8_t>(buffer.begin(),
                                   buffer.begin() + static_cast<std::ptrdiff_t>(decoded));
}

std::string HexLower(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

}  // namespace korvelt::release
