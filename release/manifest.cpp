#include "release/manifest.h"

#include <algorithm>
#include <array>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

namespace korvelt::release {

namespace {

using Json = nlohmann::json;

struct PartEntry {
  ImagePart part;
  std::string_view name;
};

constexpr std::array kParts = {
    PartEntry{.part = ImagePart::kFpga, .name = "fpga"},
    PartEntry{.part = ImagePart::kMcu, .name = "mcu"},
    PartEntry{.part = ImagePart::kDataFlash, .name = "data-flash"},
    PartEntry{.part = ImagePart::kAuxFpga, .name = "aux-fpga"},
    PartEntry{.part = ImagePart::kNand, .name = "nand"},
    PartEntry{.part = ImagePart::kInputBoard1, .name = "input-board-1"},
    PartEntry{.part = ImagePart::kInputBoard2, .name = "input-board-2"},
    PartEntry{.part = ImagePart::kInputBoard3, .name = "input-board-3"},
    PartEntry{.part = ImagePart::kInputBoard4, .name = "input-board-4"},
};

constexpr std::string_view kPartList = "fpga, mcu, data-flash, aux-fpga, nand, input-board-1..4";
constexpr std::size_t kMaxReleaseName = 100;

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool IsUtf8(std::string_view text) {
  try {
    (void)Json(std::string(text)).dump();
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

bool IsWindowsDeviceName(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(), Upper);
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
      stem == "CONOUT$") {
    return true;
  }
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '0' && stem[3] <= '9';
}

bool IsSha256Hex(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return text;
}

std::string ImageLabel(std::size_t index, std::string_view file) {
  std::string label = "image " + std::to_string(index + 1);
  if (!file.empty()) label += " (" + std::string(file) + ")";
  return label;
}

std::string ReleaseNameProblem(std::string_view name) {
  if (name.empty()) return "its release name is empty";
  if (name.size() > kMaxReleaseName) {
    return "its release name is longer than " + std::to_string(kMaxReleaseName) + " bytes";
  }
  if (HasControlCharacter(name)) return "its release name has a control character";
  if (!IsUtf8(name)) return "its release name is not UTF-8 text";
  return {};
}

// What is wrong with one image's values, or empty.
std::string ImageProblem(const ManifestImage& image) {
  if (image.deviceType < kGeneratorType || image.deviceType > kLastDeviceType) {
    return "device type " + std::to_string(image.deviceType) + " is not 0..7";
  }
  if (const std::string why = SafeFileNameProblem(image.file); !why.empty()) {
    return "file \"" + image.file + "\" " + why;
  }
  if (image.size == 0) return "size 0: an image is never empty";
  if (image.size > kMaxImageSize) {
    return "size " + std::to_string(image.size) + " is more than an image can be (4 GiB - 1)";
  }
  if (!IsSha256Hex(image.sha256)) return "sha256 is not 64 hex digits";
  return {};
}

// Repeated keys in one object are refused: the parser would keep the last one silently.
class DuplicateKeyFinder {
 public:
  bool operator()(int /*depth*/, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
        objects_.emplace_back();
        break;
      case Json::parse_event_t::key:
        if (!objects_.empty() && !objects_.back().insert(parsed.get<std::string>()).second &&
            duplicate_.empty()) {
          duplicate_ = parsed.get<std::string>();
        }
        break;
      case Json::parse_event_t::object_end:
        if (!objects_.empty()) objects_.pop_back();
        break;
      default:
        break;
    }
    return true;
  }
  const std::string& duplicate() const { return duplicate_; }

 private:
  std::vector<std::set<std::string>> objects_;
  std::string duplicate_;
};

std::string UnknownKey(const Json& object, std::span<const std::string_view> known) {
  for (const auto& [key, value] : object.items()) {
    if (std::find(known.begin(), known.end(), key) == known.end()) return key;
  }
  return {};
}

Checked<ManifestImage, std::string> ParseImage(const Json& entry, std::size_t index) {
  if (!entry.is_object()) return ImageLabel(index, "") + " is not an object";
  const Json* file = entry.contains("file") ? &entry["file"] : nullptr;
  const std::string name = file != nullptr && file->is_string() ? file->get<std::string>() : "";
  const std::string label = ImageLabel(index, name);
  static constexpr std::array<std::string_view, 5> kKnown = {"kind", "part", "file", "size",
                                                             "sha256"};
  if (const std::string key = UnknownKey(entry, kKnown); !key.empty()) {
    return label + " has an unknown key \"" + key + "\"";
  }
  for (std::string_view key : kKnown) {
    if (!entry.contains(key)) return label + " has no \"" + std::string(key) + "\"";
  }
  ManifestImage image;
  const Json& kind = entry["kind"];
  if (kind.is_string()) {
    const std::string text = kind.get<std::string>();
    if (text == "generator") {
      image.deviceType = kGeneratorType;
    } else if (text == "analyzer") {
      image.deviceType = kAnalyzerType;
    } else {
      return label + ": unknown kind \"" + text + "\" (generator, analyzer or a number 2..7)";
    }
  } else if (kind.is_number_unsigned() && kind.get<std::uint64_t>() >= 2 &&
             kind.get<std::uint64_t>() <= kLastDeviceType) {
    image.deviceType = static_cast<int>(kind.get<std::uint64_t>());
  } else {
    return label + ": kind " + kind.dump() + " is not generator, analyzer or a number 2..7";
  }
  const Json& part = entry["part"];
  const auto parsed_part = part.is_string() ? ParsePart(part.get<std::string>()) : std::nullopt;
  if (!parsed_part) {
    return label + ": unknown part " + part.dump() + " (" + std::string(kPartList) + ")";
  }
  image.part = *parsed_part;
  if (!file->is_string()) return label + ": file is not a string";
  image.file = name;
  const Json& size = entry["size"];
  if (!size.is_number_unsigned()) return label + ": size " + size.dump() + " is not a byte count";
  image.size = size.get<std::uint64_t>();
  const Json& sha256 = entry["sha256"];
  if (!sha256.is_string()) return label + ": sha256 is not a string";
  image.sha256 = Lower(sha256.get<std::string>());
  if (const std::string why = ImageProblem(image); !why.empty()) return label + ": " + why;
  return image;
}

std::string DuplicateProblem(const std::vector<ManifestImage>& images) {
  for (std::size_t i = 0; i < images.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (images[i].deviceType == images[j].deviceType && images[i].part == images[j].part) {
        return ImageLabel(i, images[i].file) + " is a second " + KindName(images[i].deviceType) +
               " " + std::string(PartName(images[i].part)) + " image, after " +
               ImageLabel(j, images[j].file);
      }
    }
  }
  return {};
}

Checked<Manifest, std::string> ParseJson(std::string_view text) {
  DuplicateKeyFinder duplicates;
  const Json json = Json::parse(text.begin(), text.end(), std::ref(duplicates), false);
  if (json.is_discarded()) return std::string("it is not valid JSON");
  if (!duplicates.duplicate().empty()) {
    return "the key \"" + duplicates.duplicate() + "\" appears twice in one object";
  }
  if (!json.is_object()) return std::string("it is not a JSON object");
  static constexpr std::array<std::string_view, 2> kKnown = {"release", "images"};
  if (const std::string key = UnknownKey(json, kKnown); !key.empty()) {
    return "it has an unknown key \"" + key + "\"";
  }
  if (!json.contains("release") || !json["release"].is_string()) {
    return std::string("it has no \"release\" name");
  }
  Manifest manifest;
  manifest.release = json["release"].get<std::string>();
  if (const std::string why = ReleaseNameProblem(manifest.release); !why.empty()) return why;
  if (!json.contains("images") || !json["images"].is_array()) {
    return std::string("it has no \"images\" list");
  }
  const Json& images = json["images"];
  if (images.empty()) return std::string("it lists no images");
  for (std::size_t i = 0; i < images.size(); ++i) {
    auto image = ParseImage(images[i], i);
    if (!image.ok()) return image.error();
    manifest.images.push_back(std::move(image).value());
  }
  if (const std::string why = DuplicateProblem(manifest.images); !why.empty()) return why;
  return manifest;
}

}  // namespace

std::string_view PartName(ImagePart part) {
  for (const PartEntry& entry : kParts) {
    if (entry.part == part) return entry.name;
  }
  return "?";
}

std::optional<ImagePart> ParsePart(std::string_view name) {
  for (const PartEntry& entry : kParts) {
    if (entry.name == name) return entry.part;
  }
  return std::nullopt;
}

std::string KindName(int deviceType) {
  if (deviceType == kGeneratorType) return "generator";
  if (deviceType == kAnalyzerType) return "analyzer";
  return "type " + std::to_string(deviceType);
}

std::optional<int> ParseKind(std::string_view name) {
  if (name == "generator") return kGeneratorType;
  if (name == "analyzer") return kAnalyzerType;
  if (name.size() == 1 && name[0] >= '2' && name[0] <= '0' + kLastDeviceType) return name[0] - '0';
  return std::nullopt;
}

Checked<Manifest, std::string> ParseManifest(std::string_view text) {
  try {
    return ParseJson(text);
  } catch (const std::exception& error) {
    // Types are checked before every read; this is only for what cannot be foreseen (memory).
    return std::string("it could not be read: ") + error.what();
  }
}

std::string ManifestProblem(const Manifest& manifest) {
  if (const std::string why = ReleaseNameProblem(manifest.release); !why.empty()) return why;
  if (manifest.images.empty()) return "it lists no images";
  for (std::size_t i = 0; i < manifest.images.size(); ++i) {
    if (const std::string why = ImageProblem(manifest.images[i]); !why.empty()) {
      return ImageLabel(i, manifest.images[i].file) + ": " + why;
    }
  }
  return DuplicateProblem(manifest.images);
}

std::string SafeFileNameProblem(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) {
    return "has a path separator: a release lists files of its own folder only";
  }
  if (name == "." || name == "..") return "names a folder";
  if (name.find(':') != std::string_view::npos) return "has a ':' (a drive or a stream on Windows)";
  if (HasControlCharacter(name)) return "has a control character";
  if (!IsUtf8(name)) return "is not UTF-8 text";
  if (name.back() == '.' || name.back() == ' ') {
    return "ends with a dot or a space, which Windows drops";
  }
  if (IsWindowsDeviceName(name)) return "is a device name on Windows";
  return {};
}

std::string WriteManifest(const Manifest& manifest) {
  nlohmann::ordered_json images = nlohmann::ordered_json::array();
  for (const ManifestImage& image : manifest.images) {
    nlohmann::ordered_json entry;
    if (image.deviceType == kGeneratorType || image.deviceType == kAnalyzerType) {
      entry["kind"] = KindName(image.deviceType);
    } else {
      entry["kind"] = image.deviceType;
    }
    entry["part"] = PartName(image.part);
    entry["file"] = image.file;
    entry["size"] = image.size;
    entry["sha256"] = image.sha256;
    images.push_back(std::move(entry));
  }
  nlohmann::ordered_json json{{"release", manifest.release}, {"images", std::move(images)}};
  // ManifestProblem refuses text that is not UTF-8; should one come here all the same, it is
  // replaced rather than thrown.
  return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace korvelt::release
