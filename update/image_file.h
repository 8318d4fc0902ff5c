#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvelt {

// What the operator may choose in the open-file dialog, and how a load ended.
enum class ImageLoadResult { Loaded, Cancelled, OpenFailed, Empty };

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
  std::string reason;  // the system's words for a failure
};
// Images are at most 4 GiB - 1 bytes (their length is a 32-bit value). Only regular files are
// read, and never while another program may still be writing them (Windows opens without
// sharing writes). One implementation per system: image_file_posix.cpp, image_file_win32.cpp.
ImageFileRead ReadImageFile(const std::string& path);
// Both readers' common step: sizes `result.bytes` for a file of `size` bytes, or sets the
// outcome that refuses it (too large, no memory) and returns false.
bool SizeImageBuffer(uint64_t size, ImageFileRead& result);

}  // namespace korvelt
