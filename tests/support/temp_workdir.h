#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace korvelt::testing {

// A fresh working directory for one test (the fixed image paths are relative to it); the old
// one comes back afterwards.
class TempWorkDir {
 public:
  TempWorkDir() : old_(std::filesystem::current_path()) {
    std::random_device entropy;
    const auto base = std::filesystem::temp_directory_path();
    // create_directory says false when the folder already existed: try another name.
    do {
      path_ = base / ("korvelt-work-" + std::to_string(entropy()));
    } while (!std::filesystem::create_directory(path_));
    std::filesystem::create_directories(path_ / "data");
    std::filesystem::current_path(path_);
  }
  ~TempWorkDir() {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string Write(const std::string& relative, const std::vector<uint8_t>& bytes) const {
    auto full = path_ / relative;
    std::ofstream(full, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return full.string();
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path old_;
  std::filesystem::path path_;
};

inline std::vector<uint8_t> PatternImage(std::size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> image(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return image;
}

}  // namespace korvelt::testing
