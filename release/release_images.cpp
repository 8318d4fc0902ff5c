#include "release/release_images.h"

#include <system_error>

#include "release/input_file.h"
#include "update/image_file.h"

namespace korvelt::release {

namespace {

// Two names of one file compare equal: the window reads a release file by the path it was
// given, but a front end may name it another way. The window's paths are UTF-8 on every system.
bool SameFile(const std::filesystem::path& a, const std::string& b) {
  const auto other = PathFromUtf8(b);
  if (!other) return false;
  std::error_code error;
  const bool same = std::filesystem::equivalent(a, *other, error);
  return !error && same;
}

}  // namespace

std::string NotFromReleaseText(const std::string& path) {
  return path +
         " is not part of a verified release: this station updates units only with images of a "
         "signed release (require-release). Nothing was sent.";
}

const VerifiedImage* FindImageFile(const VerifiedRelease& release, const std::string& file) {
  for (const VerifiedImage& image : release.images) {
    if (SameFile(image.path, file)) return &image;
  }
  return nullptr;
}

std::string NotInReleaseText(const VerifiedRelease& release, const std::string& fixedPath,
                             int deviceType, ImagePart part) {
  return "Release " + release.name + " has no " + KindName(deviceType) + " " +
         std::string(PartName(part)) + " image, so " + fixedPath +
         " is not sent: while a release is given, only its images go to the units. Nothing was "
         "sent.";
}

ReleaseImageSource ImageSourceFor(std::shared_ptr<const VerifiedRelease> release, bool required) {
  ReleaseImageSource source;
  if (release) {
    const struct {
      const char* fixed;
      int type;
      ImagePart part;
    } kFixed[] = {{kGeneratorFpgaImage, kGeneratorType, ImagePart::kFpga},
                  {kAnalyzerFpgaImage, kAnalyzerType, ImagePart::kFpga},
                  {kGeneratorMcuImage, kGeneratorType, ImagePart::kMcu},
                  {kAnalyzerMcuImage, kAnalyzerType, ImagePart::kMcu}};
    for (const auto& fixed : kFixed) {
      if (const VerifiedImage* image = FindImage(*release, fixed.type, fixed.part)) {
        source.fixedFiles[fixed.fixed] = PathText(image->path);
      } else {
        // Read from data\ instead, it would reach the unit unchecked.
        source.refusedFixed[fixed.fixed] =
            NotInReleaseText(*release, fixed.fixed, fixed.type, fixed.part);
      }
    }
  }
  if (!release && !required) return source;  // the window reads its images as it always has
  source.check = [release, required](
                     const std::string& path,
                     std::span<const std::uint8_t> bytes) -> std::optional<std::string> {
    if (release) {
      if (const VerifiedImage* image = FindImageFile(*release, path)) {
        // The file may have been replaced since the release was checked.
        if (auto refused = CheckLoadedImage(*release, *image, bytes)) return refused->text;
        return std::nullopt;
      }
    }
    if (required) return NotFromReleaseText(path);
    return std::nullopt;
  };
  return source;
}

}  // namespace korvelt::release
