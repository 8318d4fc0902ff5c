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
// release's file for each of the window's fixed image paths, the refusal of each fixed path the
// release has no image for, and the check of every image's bytes as the window loads them.
struct ReleaseImageSource {
  std::map<std::string, std::string> fixedFiles;  // paths UTF-8, as the window reads them
  std::map<std::string, std::string> refusedFixed;
  std::function<std::optional<std::string>(const std::string& path,
                                           std::span<const std::uint8_t> bytes)>
      check;
};

// `release` null: no release was given. `required`: the station takes images only from a
// verified release, so any other image is refused when it is loaded.
ReleaseImageSource ImageSourceFor(std::shared_ptr<const VerifiedRelease> release, bool required);

// The release's image that `file` (UTF-8) names by any path to the same file, or nullptr.
const VerifiedImage* FindImageFile(const VerifiedRelease& release, const std::string& file);

// The refusal of an image that is not part of a verified release on a station that requires
// one.
std::string NotFromReleaseText(const std::string& path);

// The refusal of a fixed image path (".\data\ANALYZER_FPGA.bin") that the release has no
// image for.
std::string NotInReleaseText(const VerifiedRelease& release, const std::string& fixedPath,
                             int deviceType, ImagePart part);

}  // namespace korvelt::release
