#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "release/refusal.h"

// manifest.json of a release folder:
//   {"release": "2026.12",
//    "images": [{"kind": "generator", "part": "fpga", "file": "GENERATOR_FPGA.bin",
//                "size": 65536, "sha256": "..."}, ...]}
namespace korvelt::release {

// Which unit an image is for: its device type, 0 the generator, 1 the analyzer, 2..7 the
// hidden types (written as a number in the manifest).
inline constexpr int kGeneratorType = 0;
inline constexpr int kAnalyzerType = 1;
inline constexpr int kLastDeviceType = 7;

enum class ImagePart {
  kFpga,
  kMcu,
  kDataFlash,
  kAuxFpga,
  kNand,
  kInputBoard1,
  kInputBoard2,
  kInputBoard3,
  kInputBoard4,
};

std::string_view PartName(ImagePart part);  // "fpga", "input-board-2", ...
std::optional<ImagePart> ParsePart(std::string_view name);
std::string KindName(int deviceType);  // "generator", "analyzer", "type 3"
// "generator", "analyzer" or a hidden type "2".."7".
std::optional<int> ParseKind(std::string_view name);

// Images are at most 4 GiB - 1 bytes: their length travels as a 32-bit value.
inline constexpr std::uint64_t kMaxImageSize = 0xFFFFFFFFu;

struct ManifestImage {
  int deviceType = kGeneratorType;
  ImagePart part = ImagePart::kFpga;
  std::string file;  // a plain file name in the release folder, UTF-8
  std::uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
  bool operator==(const ManifestImage&) const = default;
};

struct Manifest {
  std::string release;
  std::vector<ManifestImage> images;
  bool operator==(const Manifest&) const = default;
};

// Parses and validates: unknown or repeated keys, a missing field, a wrong type, an unknown
// kind or part, a size of 0 or above kMaxImageSize, a SHA-256 that is not 64 hex digits, an
// unsafe file name (see SafeFileNameProblem) and two images for the same kind and part are
// all refused, with the image's position and file named.
Checked<Manifest, std::string> ParseManifest(std::string_view text);

// What ParseManifest would refuse in a manifest built in memory; empty when it is sound.
std::string ManifestProblem(const Manifest& manifest);

// Why `name` cannot name a file of a release folder, or empty when it can: a path separator,
// ".", "..", a drive or stream colon, a control character, a trailing dot or space (Windows
// drops them) or a Windows device name (CON, NUL, COM1, ...).
std::string SafeFileNameProblem(std::string_view name);

// The manifest as JSON text, two-space indented, keys in the order above. Check it with
// ManifestProblem first.
std::string WriteManifest(const Manifest& manifest);

}  // namespace korvelt::release
