#include "release/release_images.h"

#include <system_error>

#include "update/image_file.h"

namespace korvelt::release {

namespace {

// Two names of one file compare equal: the window reads a release file by the path it was
// given, but a front end may name it another way.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  const bool same = std::filesystem::equivalent(a, b, error);
  return !error && same;
}

}  // namespace

std::string NotFromReleaseText(const std::string& path) {
  return path +
         " is not part of a verified release: this station updates units only with images of a "
         "signed release (require-release). Nothing was sent.";
}

const VerifiedImage* FindImageFile(const VerifiedRelease& release,
                                   const std::filesystem::path& file) {
  for (const VerifiedImage& image : release.images) {
    if (SameFile(image.path, file)) return &image;
  }
  return nullptr;
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
        source.fixedFiles[fixed.fixed] = image->path.string();
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
