#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvelt {

// What the operator may choose in the open-file dialog, and how a load ended.
enum class ImageLoadResult { Loaded, Cancelled, OpenFailed, Empty };

// What an image is read for; each use has its own largest file (image_loading.cpp).
enum class ImageUse {
  kBlocks,      // a block upload: 65536 blocks of 256 bytes
  kInputBoard,  // the input board's loader: 32-bit chunk addresses
  kMcuBinary,   // an MCU image as raw binary: the largest flash
  kMcuFile,     // an MCU image file, HEX or S-record included
};

// The fixed image paths, as the window names them (relative to the working directory).
inline constexpr const char* kGeneratorMcuImage = ".\\data\\GENERATOR_MCU(rack).bin";
inline constexpr const char* kAnalyzerMcuImage = ".\\data\\ANALYZER_MCU(rack).bin";
inline constexpr const char* kGeneratorFpgaImage = ".\\data\\GENERATOR_FPGA.bin";
inline constexpr const char* kAnalyzerFpgaImage = ".\\data\\ANALYZER_FPGA.bin";

// ".\data\X.bin" to "./data/X.bin": the forward slash works on every platform.
std::string PortablePath(const std::string& windowsPath);

// Reading one image file whole.
struct ImageFileRead {
  // kNotRegular: a pipe, a device or a socket, whose reading could wait for ever.
  enum class Outcome { kRead, kCannotOpen, kReadFailed, kTooLarge, kNoMemory, kNotRegular };
  Outcome outcome = Outcome::kCannotOpen;
  std::vector<uint8_t> bytes;
  uint64_t size = 0;   // the file's size, also when it was too large to read
  std::string reason;  // the system's words for a failure
};
// Images are at most 4 GiB - 1 bytes (their length is a 32-bit value); each use has its own
// smaller limit. A file larger than `maxBytes` is refused from its size, before anything is
// read or allocated. Only regular files are read, and never while another program may still be
// writing them (Windows opens without sharing writes). The path is UTF-8 on Windows too. One
// implementation per system: image_file_posix.cpp, image_file_win32.cpp.
ImageFileRead ReadImageFile(const std::string& path, uint64_t maxBytes);
// Windows only (image_file_win32.cpp): UTF-8 text as the wide API wants it; nothing when it is
// no UTF-8. korvelt-cli's paths are UTF-8, converted from its UTF-16 command line.
std::optional<std::wstring> WideFromUtf8(const std::string& utf8);
// Windows only: a wide system text (a command-line word, a path) as UTF-8.
std::string Utf8FromWide(const wchar_t* wide);

// Both readers' common step: sizes `result.bytes` for a file of `size` bytes, or sets the
// outcome that refuses it (too large, no memory) and returns false.
bool SizeImageBuffer(uint64_t size, uint64_t maxBytes, ImageFileRead& result);

}  // namespace korvelt
