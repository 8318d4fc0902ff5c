#include <gtest/gtest.h>

#include <random>

#include "protocol/frame.h"
#include "tests/support/dialog_harness.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Frames, SearchProbesForEveryDeviceType) {
  EXPECT_EQ(BuildFrame(kCommandStart, {0, 0, 0, 0}, kSearchCommand, Bytes{}),
            (Bytes{0xAA, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x57}));
  EXPECT_EQ(BuildFrame(kCommandStart, {1, 0, 0, 0}, kSearchCommand, Bytes{}),
            (Bytes{0xAA, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0xF8, 0x56}));
  for (uint8_t t = 0; t < 8; ++t) {
    auto probe = BuildFrame(kCommandStart, {t, 0, 0, 0}, kSearchCommand, Bytes{});
    EXPECT_EQ(probe[1], t);
    EXPECT_EQ(probe[9], 0x57 - t);
  }
}

TEST(Frames, EverySentFrameSumsToZero) {
  std::mt19937 random(12345);
  for (int round = 0; round < 500; ++round) {
    Bytes payload(random() % 291);
    for (auto& b : payload) b = static_cast<uint8_t>(random());
    FrameAddress address{uint8_t(random()), uint8_t(random()), uint8_t(random()),
                         uint8_t(random())};
    auto frame = BuildFrame(kCommandStart, address, uint16_t(random()), payload);
    ASSERT_EQ(frame.size(), payload.size() + 10);
    ASSERT_TRUE(SumsToZero(frame.data(), frame.size()));
  }
}

TEST(Frames, ReplyCommandCodeEscape) {
  Bytes normal = {0xAB, 0, 0, 8, 0, 0x12, 0x34, 0xFF, 0xFF, 0x78, 0x78, 0, 0};
  EXPECT_EQ(ReplyCommandCode(normal.data()), 0xFFFF);
  Bytes escaped = {0xAB, 0, 0, 8, 0, 0x12, 0xFF, 0xFF, 0xFF, 0x78, 0x78, 0, 0};
  EXPECT_EQ(ReplyCommandCode(escaped.data()), 0x7878);
}

struct SendCase {
  int payloadBytes;
  bool portOpen;
  const char* message;  // nullptr: the frame is written
  std::size_t frameBytes;
  uint8_t lengthLow, lengthHigh;
};

TEST(SendCommandFrame, SizesAndRefusals) {
  const SendCase cases[] = {
      {0, true, nullptr, 10, 0x05, 0x00},
      {260, true, nullptr, 270, 0x09, 0x01},
      {290, true, nullptr, 300, 0x27, 0x01},
      {291, true, "Too much parameter.", 0, 0, 0},
      {291, false, "Too much parameter.", 0, 0, 0},  // the size test comes first
      {10, false, "Com port is not on yet.", 0, 0x0F, 0x00},
  };
  for (const auto& c : cases) {
    testing::DialogHarness h;
    h.port.presentPorts = {1};
    if (c.portOpen) h.dialog.Click(1006);
    Bytes payload(static_cast<std::size_t>(c.payloadBytes), 0x3C);
    h.dialog.SendCommandFrame(0x7878, payload.data(), c.payloadBytes);
    if (c.message) {
      ASSERT_EQ(h.Boxes().size(), 1u) << c.payloadBytes;
      EXPECT_EQ(h.Boxes()[0].text, c.message);
      EXPECT_EQ(h.Boxes()[0].caption, "ISP PC CONSOLE");
      EXPECT_TRUE(h.port.writes.empty());
      if (c.lengthLow) {
        EXPECT_EQ(h.dialog.m_txFrame[3], c.lengthLow) << "the frame stays built";
      }
      continue;
    }
    ASSERT_EQ(h.port.writes.size(), 1u);
    const Bytes& frame = h.port.writes[0].bytes;
    EXPECT_EQ(frame.size(), c.frameBytes);
    EXPECT_EQ(frame[3], c.lengthLow);
    EXPECT_EQ(frame[4], c.lengthHigh);
    EXPECT_EQ(frame[7], 0x78);
    EXPECT_TRUE(SumsToZero(frame.data(), frame.size()));
  }
}

}  // namespace
}  // namespace korvelt
