#include "release/make_manifest.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <system_error>

#include "release/input_file.h"
#include "release/release_folder.h"
#include "release/sha256_file.h"

namespace korvelt::release {

namespace {

struct FixedName {
  std::string_view file;
  int deviceType;
  ImagePart part;
};

// The names the updater has always read its images by.
constexpr std::array kFixedNames = {
    FixedName{.file = "GENERATOR_FPGA.bin", .deviceType = kGeneratorType, .part = ImagePart::kFpga},
    FixedName{.file = "ANALYZER_FPGA.bin", .deviceType = kAnalyzerType, .part = ImagePart::kFpga},
    FixedName{
        .file = "GENERATOR_MCU(rack).bin", .deviceType = kGeneratorType, .part = ImagePart::kMcu},
    FixedName{
        .file = "ANALYZER_MCU(rack).bin", .deviceType = kAnalyzerType, .part = ImagePart::kMcu},
};

constexpr std::string_view kTemporaryName = "manifest.json.tmp";

Refusal MakeRefusal(RefusalKind kind, const std::filesystem::path& file, std::string text) {
  return Refusal{.kind = kind, .text = std::move(text), .file = PathText(file), .keyId = {}};
}

Checked<std::vector<std::string>> FolderFiles(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::directory_iterator entries(folder, error);
  std::vector<std::string> names;
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::string name = PathText(entries->path().filename());
    if (name == kManifestName || name == kSignatureName || name == kTemporaryName) continue;
    if (entries->is_directory(error)) {
      return MakeRefusal(
          RefusalKind::kUnmappedFile, entries->path(),
          PathText(entries->path()) + " is a folder: a release folder holds its files only.");
    }
    names.push_back(name);
  }
  if (error) {
    return MakeRefusal(RefusalKind::kReadFailed, folder,
                       PathText(folder) + " can not be read: " + error.message() + ".");
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

Checked<FileMapping> ParseFileMapping(std::string_view text) {
  const auto refuse = [&](const std::string& why) {
    return Refusal{.kind = RefusalKind::kBadFileMapping,
                   .text = "The mapping \"" + std::string(text) + "\" " + why + ".",
                   .file = std::string(text),
                   .keyId = {}};
  };
  const std::size_t equals = text.rfind('=');
  if (equals == std::string_view::npos) return refuse("is not FILE=KIND:PART");
  const std::string_view file = text.substr(0, equals);
  const std::string_view target = text.substr(equals + 1);
  const std::size_t colon = target.find(':');
  if (colon == std::string_view::npos) return refuse("is not FILE=KIND:PART");
  const auto kind = ParseKind(target.substr(0, colon));
  if (!kind) return refuse("has an unknown kind (generator, analyzer or 2..7)");
  const auto part = ParsePart(target.substr(colon + 1));
  if (!part) {
    return refuse("has an unknown part (fpga, mcu, data-flash, aux-fpga, nand, input-board-1..4)");
  }
  if (const std::string why = SafeFileNameProblem(file); !why.empty()) {
    return refuse("names a file that " + why);
  }
  return FileMapping{.file = std::string(file), .deviceType = *kind, .part = *part};
}

Checked<Manifest> BuildManifest(const std::filesystem::path& folder, const std::string& release,
                                const std::vector<FileMapping>& mappings) {
  auto files = FolderFiles(folder);
  if (!files.ok()) return files.error();
  for (const FileMapping& mapping : mappings) {
    if (std::find(files.value().begin(), files.value().end(), mapping.file) ==
        files.value().end()) {
      return MakeRefusal(
          RefusalKind::kBadFileMapping, folder,
          "The mapping for " + mapping.file + " names no file of " + PathText(folder) + ".");
    }
  }
  Manifest manifest;
  manifest.release = release;
  for (const std::string& name : files.value()) {
    const auto path = folder / PathFromUtf8(name).value_or(std::filesystem::path(name));
    ManifestImage image;
    image.file = name;
    const auto mapped = std::find_if(mappings.rbegin(), mappings.rend(),
                                     [&](const FileMapping& m) { return m.file == name; });
    const auto fixed = std::find_if(kFixedNames.begin(), kFixedNames.end(),
                                    [&](const FixedName& f) { return f.file == name; });
    if (mapped != mappings.rend()) {
      image.deviceType = mapped->deviceType;
      image.part = mapped->part;
    } else if (fixed != kFixedNames.end()) {
      image.deviceType = fixed->deviceType;
      image.part = fixed->part;
    } else {
      return MakeRefusal(
          RefusalKind::kUnmappedFile, path,
          PathText(path) + " maps to no kind and part: give it as FILE=KIND:PART or remove it.");
    }
    const FileSha256 hashed = Sha256File(path, kMaxImageSize);
    if (hashed.status != FileSha256::Status::kHashed) {
      const std::string why = hashed.status == FileSha256::Status::kTooLarge
                                  ? "is larger than an image can be"
                                  : "can not be read: " + hashed.reason;
      return MakeRefusal(RefusalKind::kReadFailed, path, PathText(path) + " " + why + ".");
    }
    image.size = hashed.size;
    image.sha256 = hashed.sha256;
    manifest.images.push_back(std::move(image));
  }
  if (const std::string why = ManifestProblem(manifest); !why.empty()) {
    return MakeRefusal(RefusalKind::kBadManifest, folder,
                       "No manifest for " + PathText(folder) + ": " + why + ".");
  }
  return manifest;
}

Checked<Manifest> MakeManifest(const std::filesystem::path& folder, const std::string& release,
                               const std::vector<FileMapping>& mappings) {
  auto manifest = BuildManifest(folder, release, mappings);
  if (!manifest.ok()) return manifest;
  const std::filesystem::path target = folder / kManifestName;
  const std::filesystem::path temporary = folder / kTemporaryName;
  const std::string text = WriteManifest(manifest.value());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      return MakeRefusal(RefusalKind::kWriteFailed, target,
                         PathText(target) + " can not be written.");
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return MakeRefusal(RefusalKind::kWriteFailed, target,
                       PathText(target) + " can not be written: " + error.message() + ".");
  }
  return manifest;
}

}  // namespace korvelt::release
