// What reading an MCU image file costs in memory: its own program, because it counts every
// allocation (operator new is replaced here).
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "update/mcu_image.h"

namespace {

std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};

void* Allocate(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  const std::size_t live = g_live += malloc_usable_size(p);
  std::size_t peak = g_peak;
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void Free(void* p) {
  if (!p) return;
  g_live -= malloc_usable_size(p);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return operator new(size, nothrow);
}
void operator delete(void* p) noexcept {
  Free(p);
}
void operator delete[](void* p) noexcept {
  Free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  Free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  Free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  Free(p);
}

namespace korvelt {
namespace {

// The most the parse of `file` holds at once beyond what was held before it.
std::size_t PeakOfParse(const std::vector<uint8_t>& file, McuImageParse* result) {
  const std::size_t before = g_live;
  g_peak = before;
  *result = ParseMcuImage(file, "fw.hex");
  return g_peak - before;
}

std::vector<uint8_t> Text(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(McuImageMemory, AFaultEndsTheReadingWhereItIs) {
  // 16 MiB of lines after a broken first record: nothing of them is looked at, let alone
  // indexed (an index of every line cost 32 bytes a line).
  struct Case {
    const char* name;
    std::string head;
    char filler;
  } cases[] = {
      {"Intel HEX", ":00000001ZZ\n", '\n'},
      {"S-record", "S10Z\n", '\n'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> file = Text(c.head);
    file.resize(file.size() + (16u << 20), static_cast<uint8_t>(c.filler));
    McuImageParse parsed;
    const std::size_t peak = PeakOfParse(file, &parsed);
    EXPECT_FALSE(parsed.ok);
    EXPECT_NE(parsed.error.find("line 1:"), std::string::npos) << parsed.error;
    EXPECT_LT(peak, 64u * 1024) << "bytes held while refusing line 1";
  }
}

TEST(McuImageMemory, ARecordCostsItsBytesNotAnAllocation) {
  // 64 KiB in one-byte records: the image, and a small record each, nothing per line more.
  std::string text;
  for (uint32_t offset = 0; offset < 65536; ++offset) {
    char line[32];
    const unsigned sum = (0x100 - ((1 + (offset >> 8) + (offset & 0xFF) + 0x5A) & 0xFF)) & 0xFF;
    std::snprintf(line, sizeof line, ":01%04X005A%02X\n", offset, sum);
    text += line;
  }
  text = ":020000040800F2\n" + text + ":00000001FF\n";
  McuImageParse parsed;
  const std::size_t peak = PeakOfParse(Text(text), &parsed);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.image.flat, std::vector<uint8_t>(65536, 0x5A));
  EXPECT_LT(peak, 65536u * 48) << "bytes held for 65536 records";
}

}  // namespace
}  // namespace korvelt
