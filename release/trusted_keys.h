#pragma once

#include <filesystem>
#include <vector>

#include "release/minisign.h"
#include "release/refusal.h"

namespace korvelt::release {

struct TrustedKey {
  PublicKey key;
  std::filesystem::path file;
};
using TrustedKeys = std::vector<TrustedKey>;

// One minisign public key file.
Checked<TrustedKey> LoadPublicKeyFile(const std::filesystem::path& file);

// Every *.pub in `folder`, in name order. A folder that is missing or holds no key is refused
// (a station that trusts nothing could never check a release), and so is a *.pub file that is
// not a key: a station's trust should never depend on which of its files happen to parse.
Checked<TrustedKeys> LoadTrustedKeys(const std::filesystem::path& folder);

}  // namespace korvelt::release
