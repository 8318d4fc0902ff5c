#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "release/manifest.h"
#include "release/refusal.h"

// What release makers run before signing: make-manifest DIR --release NAME [FILE=KIND:PART...]
// writes DIR/manifest.json, and `minisign -Sm DIR/manifest.json` signs it.
namespace korvelt::release {

struct FileMapping {
  std::string file;
  int deviceType = kGeneratorType;
  ImagePart part = ImagePart::kFpga;
};

// "gen-mcu.hex=generator:mcu", "extra.bin=3:nand".
Checked<FileMapping> ParseFileMapping(std::string_view text);

// The manifest for every file in `folder`: the fixed names (GENERATOR_FPGA.bin,
// ANALYZER_FPGA.bin, GENERATOR_MCU(rack).bin, ANALYZER_MCU(rack).bin) map by themselves, the
// others through `mappings` (which also override the fixed names). A file that maps to nothing,
// a mapping that names no file of the folder, a sub-folder and two files for one kind and part
// are refused, naming them. manifest.json and its signature are left out; images are listed in
// name order.
Checked<Manifest> BuildManifest(const std::filesystem::path& folder, const std::string& release,
                                const std::vector<FileMapping>& mappings);

// BuildManifest, then writes folder/manifest.json (through a temporary file, so a failed
// write never leaves half a manifest). A signature beside it no longer fits: sign again.
Checked<Manifest> MakeManifest(const std::filesystem::path& folder, const std::string& release,
                               const std::vector<FileMapping>& mappings);

}  // namespace korvelt::release
