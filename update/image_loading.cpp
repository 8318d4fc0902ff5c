// The image buffer: filled from a fixed path or from a file the operator chooses.
#include "app/updater_dialog.h"
#include "update/image_file.h"

namespace korvelt {

namespace {

constexpr const char* kCannotFindImage = "Can not find GENERATOR_MCU.bin !";
constexpr const char* kOpenFileFailed = "Open file failed!";

}  // namespace

int UpdaterDialog::ReadIntoImageBuffer(const std::string& path, bool* opened) {
  ImageFileRead read = ReadImageFile(path);
  *opened = read.outcome != ImageFileRead::Outcome::kCannotOpen;
  if (!*opened) return 0;
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
    m_services.AppMessageBox(message);
    m_bImageReadFailed = 1;
    return 0;
  }
  m_pImage = std::move(read.bytes);
  m_imageSize = static_cast<uint32_t>(m_pImage.size());
  // An empty file would otherwise end the operator's action without a word.
  if (m_imageSize == 0)
    m_services.AppMessageBox("The image file " + path + " is empty. Nothing was sent.");
  return m_imageSize > 0 ? 1 : 0;
}

int UpdaterDialog::LoadImageFile(const std::string& path) {
  m_bImageReadFailed = 0;
  bool opened = false;
  const int loaded = ReadIntoImageBuffer(PortablePath(path), &opened);
  if (!opened) m_services.AppMessageBox(kCannotFindImage);  // the same words for every path
  return loaded;
}

ImageLoadResult UpdaterDialog::ChooseAndLoadImage() {
  m_bImageReadFailed = 0;
  auto chosen = m_services.ChooseOpenFile(OpenFileRequest{});
  if (!chosen) return ImageLoadResult::Cancelled;
  UpdateData(false);  // a progress value the caller reset shows at once
  bool opened = false;
  const int loaded = ReadIntoImageBuffer(*chosen, &opened);
  if (!opened) {
    m_services.AppMessageBox(kOpenFileFailed);
    return ImageLoadResult::OpenFailed;
  }
  if (m_bImageReadFailed == 1) return ImageLoadResult::OpenFailed;
  return loaded ? ImageLoadResult::Loaded : ImageLoadResult::Empty;
}

}  // namespace korvelt
