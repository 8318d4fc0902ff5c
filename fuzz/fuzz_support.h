#pragma once

#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/updater_dialog.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/fake_window_services.h"
#include "tests/support/virtual_clock.h"

namespace korvelt::fuzzing {

// Reads the fuzzer's bytes as decisions; past the end every decision reads as 0.
class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Flag() { return Byte() & 1; }
  uint32_t Below(uint32_t limit) { return limit ? (Byte() | Byte() << 8) % limit : 0; }
  std::vector<uint8_t> Bytes(std::size_t count) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < count && pos_ < size_; ++i) out.push_back(data_[pos_++]);
    return out;
  }
  bool Done() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// An image whose every byte depends on its offset, so a byte taken from the wrong place shows.
inline std::vector<uint8_t> OffsetImage(std::size_t size, unsigned multiplier, unsigned offset) {
  std::vector<uint8_t> image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * multiplier + offset);
  return image;
}

// A file holding `bytes`, for the operations that read images from disk.
inline std::string ImageFile(const std::vector<uint8_t>& bytes) {
  static const std::string path = "/tmp/korvelt-fuzz-image-" + std::to_string(::getpid()) + ".bin";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  return path;
}

// The core on a virtual clock with a fake window and port, its port open.
struct Harness {
  Harness() : services(clock), port(clock), dialog(services, port, nullptr) {
    services.Attach(&dialog);
    port.Attach(&dialog);
    dialog.OnInitDialog();
    port.presentPorts = {1};
    dialog.Click(1006);
  }
  void Feed(uint8_t byte) { dialog.Dispatch(WM_SERIAL_RXCHAR, byte, 1); }

  testing::VirtualClock clock;
  testing::FakeWindowServices services;
  testing::FakeSerialPort port;
  UpdaterDialog dialog;
};

// An invariant that did not hold: abort, so the fuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

}  // namespace korvelt::fuzzing
