#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korvelt::testing {

// A fresh working directory for one test (the fixed image paths are relative to it); the old
// one comes back afterwards.
class TempWorkDir {
 public:
  TempWorkDir() : old_(std::filesystem::current_path()) {
    char pattern[] = "/tmp/korvelt-work-XXXXXX";
    path_ = ::mkdtemp(pattern);
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
