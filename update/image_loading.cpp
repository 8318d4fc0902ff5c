// The image buffer: filled from a fixed path or from a file the operator chooses. A file that
// is refused leaves the buffer and its MCU ranges as they were: a bootloader request still
// outstanding streams the image it was asked for, never a buffer a refused button emptied.
#include <algorithm>

#include "app/updater_dialog.h"
#include "update/block_upload.h"
#include "update/image_file.h"
#include "update/loader_client.h"

namespace korvelt {

namespace {

constexpr const char* kCannotFindImage = "Can not find GENERATOR_MCU.bin !";
constexpr const char* kOpenFileFailed = "Open file failed!";

// A 2 MiB image written as one-byte S3 records, each line ended by CR LF, is 36 MiB: no MCU
// image file can be larger.
constexpr uint64_t kMaxMcuImageFileBytes = 40ull * 1024 * 1024;

struct ImageLimit {
  uint64_t maxBytes;
  const char* why;
};

ImageLimit LimitFor(ImageUse use) {
  switch (use) {
    case ImageUse::kBlocks:
      return {kMaxUploadBytes,
              "65536 blocks of 256 bytes: larger images would overwrite their own beginning on "
              "the unit"};
    case ImageUse::kInputBoard:
      return {kMaxBoardImageBytes, "the board's loader addresses no more"};
    case ImageUse::kMcuBinary:
      return {kMcuFlashWindowBytes, "the largest MCU flash this updater writes"};
    case ImageUse::kMcuFile:
      return {kMaxMcuImageFileBytes, "no larger file can hold an image for the MCU's flash"};
  }
  return {0, ""};
}

}  // namespace

UpdaterDialog::BufferLoad UpdaterDialog::ReadImage(const std::string& path, ImageUse use,
                                                   std::vector<uint8_t>* bytes) {
  const ImageLimit limit = LimitFor(use);
  ImageFileRead read = ReadImageFile(path, limit.maxBytes);
  switch (read.outcome) {
    case ImageFileRead::Outcome::kRead:
      break;
    case ImageFileRead::Outcome::kCannotOpen:
      return BufferLoad::kCannotOpen;
    case ImageFileRead::Outcome::kTooLarge:
      // Known from the file's size: nothing was read or allocated.
      Refuse("The image has " + std::to_string(read.size) + " bytes, but at most " +
                 std::to_string(limit.maxBytes) + " bytes (" + limit.why +
                 ") can be written. Nothing was sent.",
             kCaptionIsp, FailureKind::kImageTooLarge);
      return BufferLoad::kFailed;
    case ImageFileRead::Outcome::kNoMemory:
      RefuseWithAppBox("Not enough memory to load " + path + ".", FailureKind::kImage);
      return BufferLoad::kFailed;
    case ImageFileRead::Outcome::kNotRegular:
      RefuseWithAppBox(path + " is not a regular file. Nothing was sent.", FailureKind::kImage);
      return BufferLoad::kFailed;
    case ImageFileRead::Outcome::kReadFailed:
      RefuseWithAppBox("Can not read " + path + ": " + read.reason + ".", FailureKind::kImage);
      return BufferLoad::kFailed;
  }
  if (options_.imageCheck) {
    // Not a byte of an image the front end refuses may reach the unit.
    if (auto refused = options_.imageCheck(path, read.bytes)) {
      RefuseWithAppBox(*refused, FailureKind::kImage);
      return BufferLoad::kFailed;
    }
  }
  if (read.bytes.empty()) {
    // An empty file would otherwise end the operator's action without a word.
    RefuseWithAppBox("The image file " + path + " is empty. Nothing was sent.",
                     FailureKind::kImage);
    return BufferLoad::kEmpty;
  }
  *bytes = std::move(read.bytes);
  return BufferLoad::kLoaded;
}

void UpdaterDialog::UseImage(std::vector<uint8_t> bytes, std::vector<McuRange> ranges) {
  m_pImage = std::move(bytes);
  m_imageSize = static_cast<uint32_t>(m_pImage.size());
  mcu_update_.SetImageRanges(std::move(ranges));  // empty: the whole buffer is a raw image
}

UpdaterDialog::BufferLoad UpdaterDialog::ReadIntoImageBuffer(const std::string& path,
                                                             ImageUse use) {
  std::vector<uint8_t> bytes;
  const BufferLoad load = ReadImage(path, use, &bytes);
  if (load == BufferLoad::kLoaded) {
    UseImage(std::move(bytes), {});
    loaded_image_ = {.file = path, .fixed = false, .fileBytes = {}};
  }
  return load;
}

int UpdaterDialog::LoadImageFile(const std::string& path, ImageUse use) {
  // A front end that takes its images from a release refuses a fixed path the release has no
  // image for: the file in data\ would otherwise go out unchecked.
  if (const auto refused = options_.refusedImages.find(path);
      refused != options_.refusedImages.end()) {
    Refuse(refused->second, kCaptionIsp, FailureKind::kImage);
    return 0;
  }
  const auto replaced = options_.imageFiles.find(path);
  const BufferLoad load = ReadIntoImageBuffer(
      replaced != options_.imageFiles.end() ? replaced->second : PortablePath(path), use);
  // The same words for every path.
  if (load == BufferLoad::kCannotOpen) RefuseWithAppBox(kCannotFindImage, FailureKind::kImage);
  if (load != BufferLoad::kLoaded) return 0;
  loaded_image_.fixed = true;
  return 1;
}

int UpdaterDialog::LoadMcuImage(uint8_t deviceType) {
  const char* fixed = deviceType == 1 ? kAnalyzerMcuImage : kGeneratorMcuImage;
  std::string path = mcu_update_.options().imageFile;
  const bool forFixedPath = path.empty();
  // A front end's file for the fixed path (a release's) is recognised by its content too.
  if (const auto replaced = options_.imageFiles.find(fixed);
      path.empty() && replaced != options_.imageFiles.end()) {
    path = replaced->second;
  }
  if (path.empty()) return LoadImageFile(fixed, ImageUse::kMcuBinary);
  std::vector<uint8_t> bytes;
  const BufferLoad load = ReadImage(path, ImageUse::kMcuFile, &bytes);
  if (load == BufferLoad::kCannotOpen) {
    RefuseWithAppBox("Can not open " + path + ". Nothing was sent.", FailureKind::kImage);
  }
  if (load != BufferLoad::kLoaded) return 0;
  McuImageParse parsed = ParseMcuImage(bytes, path);
  if (!parsed.ok) {
    // A file that is not what it claims must not reach the flash in any form.
    RefuseWithAppBox(parsed.error + ". Nothing was sent.", FailureKind::kImage);
    return 0;
  }
  UseImage(std::move(parsed.image.flat), std::move(parsed.image.ranges));
  loaded_image_ = {.file = path, .fixed = forFixedPath, .fileBytes = std::move(bytes)};
  return 1;
}

void UpdaterDialog::TellOperationStarted(OperationStart start) {
  start.portNumber = m_nPortNumber;
  start.imageFile = loaded_image_.file;
  start.fixedImage = loaded_image_.fixed;
  start.image = loaded_image_.fileBytes.empty()
                    ? std::span<const uint8_t>(m_pImage.data(),
                                               std::min<std::size_t>(m_imageSize, m_pImage.size()))
                    : std::span<const uint8_t>(loaded_image_.fileBytes);
  m_services.OperationStarted(start);
  // Only the event needed the file's own bytes; the buffer holds what goes out.
  loaded_image_.fileBytes = {};
}

ImageLoadResult UpdaterDialog::ChooseAndLoadImage(ImageUse use) {
  auto chosen = m_services.ChooseOpenFile(OpenFileRequest{});
  if (!chosen) return ImageLoadResult::Cancelled;
  UpdateData(false);  // a progress value the caller reset shows at once
  switch (ReadIntoImageBuffer(*chosen, use)) {
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
