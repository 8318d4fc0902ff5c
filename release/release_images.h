#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "release/release_folder.h"

namespace korvelt::release {

// What a front end hands the window so that its images come from a verified release: the
// release's file for each of the window's fixed image paths, and the check of every image's
// bytes as the window loads them.
struct ReleaseImageSource {
  std::map<std::string, std::string> fixedFiles;
  std::function<std::optional<std::string>(const std::string& path,
                                           std::span<const std::uint8_t> bytes)>
      check;
};

// `release` null: no release was given. `required`: the station takes images only from a
// verified release, so any other image is refused when it is loaded.
ReleaseImageSource ImageSourceFor(std::shared_ptr<const VerifiedRelease> release, bool required);

// The release's image that `file` names (by any path to the same file), or nullptr.
const VerifiedImage* FindImageFile(const VerifiedRelease& release,
                                   const std::filesystem::path& file);

// The refusal of an image that is not part of a verified release on a station that requires
// one.
std::string NotFromReleaseText(const std::string& path);

}  // namespace korvelt::release
