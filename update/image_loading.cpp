// The image buffer: filled from a fixed path or from a file the operator chooses.
#include "app/updater_dialog.h"
#include "update/image_file.h"

namespace korvelt {

namespace {

constexpr const char* kCannotFindImage = "Can not find GENERATOR_MCU.bin !";
constexpr const char* kOpenFileFailed = "Open file failed!";

}  // namespace

UpdaterDialog::BufferLoad UpdaterDialog::ReadIntoImageBuffer(const std::string& path) {
  mcu_update_.SetImageRanges({});  // whatever is read now is a raw image until told otherwise
  ImageFileRead read = ReadImageFile(path);
  if (read.outcome == ImageFileRead::Outcome::kCannotOpen) return BufferLoad::kCannotOpen;
  if (read.outcome != ImageFileRead::Outcome::kRead) {
    // The old image is gone either way; an empty buffer can never be sent by mistake.
    m_pImage.clear();
    m_imageSize = 0;
    std::string message;
    switch (read.outcome) {
      case ImageFileRead::Outcome::kTooLarge:
        message = "The file " + path + " is larger than 4 GiB and cannot be an image.";
        break;
      case ImageFileRead::Outcome::kNoMemory:
        message = "Not enough memory to load " + path + ".";
        break;
      case ImageFileRead::Outcome::kNotRegular:
        message = path + " is not a regular file. Nothing was sent.";
        break;
      default:
        message = "Can not read " + path + ": " + read.reason + ".";
        break;
    }
    RefuseWithAppBox(message, FailureKind::kImage);
    return BufferLoad::kFailed;
  }
  if (options_.imageCheck) {
    if (auto refused = options_.imageCheck(path, read.bytes)) {
      // Not a byte of an image the front end refuses may reach the unit.
      m_pImage.clear();
      m_imageSize = 0;
      RefuseWithAppBox(*refused, FailureKind::kImage);
      return BufferLoad::kFailed;
    }
  }
  m_pImage = std::move(read.bytes);
  m_imageSize = static_cast<uint32_t>(m_pImage.size());
  if (m_imageSize > 0) return BufferLoad::kLoaded;
  // An empty file would otherwise end the operator's action without a word.
  RefuseWithAppBox("The image file " + path + " is empty. Nothing was sent.", FailureKind::kImage);
  return BufferLoad::kEmpty;
}

int UpdaterDialog::LoadImageFile(const std::string& path) {
  const auto replaced = options_.imageFiles.find(path);
  const BufferLoad load = ReadIntoImageBuffer(
      replaced != options_.imageFiles.end() ? replaced->second : PortablePath(path));
  // The same words for every path.
  if (load == BufferLoad::kCannotOpen) RefuseWithAppBox(kCannotFindImage, FailureKind::kImage);
  return load == BufferLoad::kLoaded ? 1 : 0;
}

int UpdaterDialog::LoadMcuImage(uint8_t deviceType) {
  const char* fixed = deviceType == 1 ? kAnalyzerMcuImage : kGeneratorMcuImage;
  std::string path = mcu_update_.options().imageFile;
  if (const auto replaced = options_.imageFiles.find(fixed);
      path.empty() && replaced != options_.imageFiles.end()) {
    path = replaced->second;
  }
  if (path.empty()) return LoadImageFile(fixed);
  const BufferLoad load = ReadIntoImageBuffer(path);
  if (load == BufferLoad::kCannotOpen) {
    RefuseWithAppBox("Can not open " + path + ". Nothing was sent.", FailureKind::kImage);
  }
  if (load != BufferLoad::kLoaded) return 0;
  McuImageParse parsed = ParseMcuImage(m_pImage, path);
  if (!parsed.ok) {
    // A file that is not what it claims must not reach the flash in any form.
    m_pImage.clear();
    m_imageSize = 0;
    RefuseWithAppBox(parsed.error + ". Nothing was sent.", FailureKind::kImage);
    return 0;
  }
  m_pImage = std::move(parsed.image.flat);
  m_imageSize = static_cast<uint32_t>(m_pImage.size());
  mcu_update_.SetImageRanges(std::move(parsed.image.ranges));
  return 1;
}

ImageLoadResult UpdaterDialog::ChooseAndLoadImage() {
  auto chosen = m_services.ChooseOpenFile(OpenFileRequest{});
  if (!chosen) return ImageLoadResult::Cancelled;
  UpdateData(false);  // a progress value the caller reset shows at once
  switch (ReadIntoImageBuffer(*chosen)) {
    case BufferLoad::kCannotOpen:
      RefuseWithAppBox(kOpenFileFailed, FailureKind::kImage);
      return ImageLoadResult::OpenFailed;
    case BufferLoad::kFailed:
      return ImageLoadResult::OpenFailed;
    case BufferLoad::kEmpty:
      return ImageLoadResult::Empty;
    case BufferLoad::kLoaded:
      break;
  }
  return ImageLoadResult::Loaded;
}

}  // namespace korvelt
