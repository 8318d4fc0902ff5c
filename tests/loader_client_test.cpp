#include <gtest/gtest.h>

#include <random>

#include "resources/dialog_layout.h"
#include "sim/input_board_model.h"
#include "sim/instrument_model.h"
#include "tests/support/dialog_harness.h"
#include "tests/support/sim_link.h"
#include "tests/support/temp_workdir.h"
#include "update/crc16.h"
#include "update/loader_client.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;

uint16_t BitwiseCrc(const Bytes& bytes) {
  uint16_t crc = 0x1021;
  for (uint8_t b : bytes) {
    crc ^= static_cast<uint16_t>(b << 8);
    for (int i = 0; i < 8; ++i)
      crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
  }
  return crc;
}

TEST(Crc16, CheckValuesAndAgreementWithBitwise) {
  const std::string digits = "123456789", abc = "abc";
  EXPECT_EQ(ComputeCrc16(reinterpret_cast<const uint8_t*>(digits.data()), 9), 0x5E86);
  EXPECT_EQ(ComputeCrc16(reinterpret_cast<const uint8_t*>(abc.data()), 3), 0xEB62);
  EXPECT_EQ(ComputeCrc16(nullptr, 0), 0x1021);
  std::mt19937 random(99);
  for (int round = 0; round < 300; ++round) {
    Bytes bytes(random() % 5000);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    ASSERT_EQ(ComputeCrc16(bytes.data(), bytes.size()), BitwiseCrc(bytes));
  }
}

struct LoaderHarness : testing::DialogHarness {
  LoaderHarness() : unit({}), link(clock, port) {
    link.Attach(1, &unit);
    dialog.Click(IDC_PORT_BUTTON);
  }
  void Feed(uint8_t byte) { dialog.Dispatch(WM_SERIAL_RXCHAR, byte, 1); }
  testing::TempWorkDir work;
  sim::InstrumentModel unit;
  testing::SimLink link;
};

TEST(LoaderClient, FirstStageByteExact) {
  testing::DialogHarness h;
  h.port.presentPorts = {1};
  h.dialog.Click(IDC_PORT_BUTTON);
  h.dialog.m_bLoaderMode = 1;
  auto feed = [&](uint8_t b) { h.dialog.Dispatch(WM_SERIAL_RXCHAR, b, 1); };
  feed(0xF1);
  EXPECT_EQ(h.port.writes.back().bytes, (Bytes{0x04, 0x20, 0x00, 0xDC}));
  EXPECT_EQ(h.services.pauses.back(), 100u);
  feed(0xF1);  // not what state 1 waits for
  EXPECT_EQ(h.port.writes.size(), 1u);
  feed(0x2E);
  EXPECT_EQ(h.port.writes.back().bytes, (Bytes{0x0E, 0x13, 0x05, 0x00, 0x33, 0xC0, 0x8E, 0xD0, 0xEA,
                                               0x10, 0x05, 0x00, 0x00, 0x8A}));
  for (int k = 0; k < 22; ++k) feed(0xF1);
  ASSERT_EQ(h.port.writes.size(), 2u + 22u);
  Bytes loader;
  for (int k = 0; k < 22; ++k) {
    const Bytes& frame = h.port.writes[2 + static_cast<std::size_t>(k)].bytes;
    const int n = k < 21 ? 250 : 196;
    ASSERT_EQ(frame.size(), static_cast<std::size_t>(n + 5));
    EXPECT_EQ(frame[0], n + 5);
    EXPECT_EQ(frame[1], 0x13);
    EXPECT_EQ((frame[2] << 8) | frame[3], 0x0510 + 250 * k);
    uint8_t sum = 0;
    for (uint8_t b : frame) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(sum, 0) << k;
    loader.insert(loader.end(), frame.begin() + 4, frame.end() - 1);
  }
  EXPECT_EQ(h.port.writes[2].bytes[0], 0xFF);
  EXPECT_EQ(h.port.writes[23].bytes[0], 0xC9);
  EXPECT_EQ(h.port.writes[23].bytes[2], 0x19);
  EXPECT_EQ(h.port.writes[23].bytes[3], 0x92);
  EXPECT_TRUE(std::equal(loader.begin(), loader.end(), g_inputBoardLoader));
  EXPECT_EQ(loader.size(), kInputBoardLoaderBytes);
  EXPECT_EQ(h.dialog.m_loaderState, 3);
  feed(0xF1);
  EXPECT_EQ(h.port.writes.back().bytes, (Bytes{0x05, 0x1D, 0x05, 0x00, 0xD9}));
  feed(0xEF);
  EXPECT_EQ(h.port.writes.back().bytes,
            (Bytes{0x09, 0x1C, 0xFF, 0x00, 0x00, 0x20, 0x00, 0x00, 0xBC}));
  feed(0xDF);
  EXPECT_EQ(h.port.writes.back().bytes, (Bytes{0x05, 0x19, 0xFF, 0xFF, 0xE4}));
  EXPECT_EQ(h.dialog.m_loaderAddress, 0xA00000u);
}

TEST(LoaderClient, StreamingEverySize) {
  for (std::size_t size : {1u, 100u, 500u, 501u, 4096u, 5000u, 70000u}) {
    SCOPED_TRACE(size);
    LoaderHarness h;
    const Bytes image = testing::PatternImage(size, static_cast<uint32_t>(size) + 5);
    h.services.fileAnswers.push_back(h.work.Write("board.bin", image));
    h.dialog.OnUpdateInputBoard2();
    ASSERT_TRUE(h.clock.RunUntil([&] { return h.dialog.m_bPortOpen == 0; }, 600000));
    EXPECT_EQ(h.dialog.m_bLoaderMode, 0);
    EXPECT_EQ(h.dialog.m_loaderState, 0);
    EXPECT_EQ(h.services.controlTexts[IDC_PROGRESS], "100");
    EXPECT_EQ(h.unit.inputBoard().boardImage(), image) << "the board holds the file";
    EXPECT_TRUE(h.unit.inputBoard().errors().empty());
    EXPECT_EQ(h.unit.inputBoardRequested(), 2);

    // Pieces after each 03 10 ED: the chunk frame, at most 512 bytes a write.
    std::vector<std::vector<std::size_t>> chunks;
    bool inChunk = false;
    for (const auto& write : h.port.writes) {
      if (write.bytes == Bytes{0x03, 0x10, 0xED}) {
        chunks.emplace_back();
        inChunk = true;
      } else if (inChunk) {
        chunks.back().push_back(write.bytes.size());
      }
    }
    const std::size_t expectedChunks = (size + 4095) / 4096;
    // A multi-piece final chunk is followed by one more 03 10 ED before the end.
    const bool finalSinglePiece = (size - (expectedChunks - 1) * 4096) + 12 <= 512;
    ASSERT_EQ(chunks.size(), expectedChunks + (finalSinglePiece ? 0 : 1));
    for (std::size_t c = 0; c < expectedChunks; ++c) {
      const std::size_t n = std::min<std::size_t>(4096, size - c * 4096);
      std::size_t total = 0;
      for (std::size_t piece : chunks[c]) {
        EXPECT_LE(piece, 512u);
        total += piece;
      }
      EXPECT_EQ(total, n + 12);
    }
    if (size == 4096) {
      EXPECT_EQ(chunks[0], (std::vector<std::size_t>{512, 512, 512, 512, 512, 512, 512, 512, 12}));
    }
  }
}

// An operator updates a board, then the same board or another one of the same unit: the
// second transfer must run like the first. Both ways a transfer ends are covered: a final
// chunk in one piece, and one that ends after the board's next ready byte.
TEST(LoaderClient, SecondTransferToTheSameUnit) {
  struct Case {
    std::size_t firstSize, secondSize;
    int secondBoard;
  } cases[] = {{100, 6000, 2}, {5000, 300, 2}, {4096, 4096, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firstSize);
    LoaderHarness h;
    const Bytes first = testing::PatternImage(c.firstSize, 11);
    const Bytes second = testing::PatternImage(c.secondSize, 12);
    h.services.fileAnswers.push_back(h.work.Write("first.bin", first));
    h.dialog.OnUpdateInputBoard2();
    ASSERT_TRUE(h.clock.RunUntil([&] { return h.dialog.m_bPortOpen == 0; }, 600000));
    ASSERT_EQ(h.unit.inputBoard().boardImage(), first);

    h.clock.RunFor(2000);  // the operator presses again
    h.dialog.Click(IDC_PORT_BUTTON);
    ASSERT_EQ(h.dialog.m_bPortOpen, 1);
    h.services.fileAnswers.push_back(h.work.Write("second.bin", second));
    if (c.secondBoard == 2) {
      h.dialog.OnUpdateInputBoard2();
    } else {
      h.dialog.OnUpdateInputBoard3();
    }
    ASSERT_TRUE(h.clock.RunUntil([&] { return h.dialog.m_bPortOpen == 0; }, 600000))
        << "second transfer stalled in loader state " << h.dialog.m_loaderState;
    EXPECT_EQ(h.dialog.m_bLoaderMode, 0);
    EXPECT_EQ(h.services.controlTexts[IDC_PROGRESS], "100");
    EXPECT_EQ(h.unit.inputBoardRequested(), c.secondBoard);
    EXPECT_EQ(h.unit.inputBoard().boardImage(), second) << "the board holds the second file";
    EXPECT_TRUE(h.unit.inputBoard().errors().empty());
  }
}

TEST(LoaderClient, ChunkHeadersAndTimerAtTheEnd) {
  LoaderHarness h;
  const Bytes image = testing::PatternImage(5000, 3);
  h.services.fileAnswers.push_back(h.work.Write("board.bin", image));
  h.dialog.OnUpdateInputBoard1();
  ASSERT_TRUE(h.clock.RunUntil([&] { return h.services.TimerRunning(kTimerAutoClose); }, 600000));
  std::vector<Bytes> firstPieces;
  bool next = false;
  for (const auto& write : h.port.writes) {
    if (next) firstPieces.push_back(write.bytes);
    next = write.bytes == Bytes{0x03, 0x10, 0xED};
  }
  ASSERT_GE(firstPieces.size(), 2u);
  EXPECT_EQ(Bytes(firstPieces[0].begin(), firstPieces[0].begin() + 8),
            (Bytes{0x00, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(Bytes(firstPieces[1].begin(), firstPieces[1].begin() + 8),
            (Bytes{0x00, 0xA0, 0x10, 0x00, 0x00, 0x00, 0x03, 0x88}));
  EXPECT_EQ(h.services.TimerPeriod(kTimerAutoClose), 1000u);
}

TEST(LoaderClient, ReadyByteDuringAChunkIsIgnored) {
  testing::DialogHarness h;
  h.port.presentPorts = {1};
  h.dialog.Click(IDC_PORT_BUTTON);
  h.dialog.m_pImage = testing::PatternImage(4096);
  h.dialog.m_imageSize = 4096;
  h.dialog.m_bLoaderMode = 1;
  h.dialog.m_loaderState = 6;
  h.dialog.m_loaderRemaining = 4096;
  h.dialog.m_loaderAddress = kBoardImageAddress;
  h.dialog.Dispatch(WM_SERIAL_RXCHAR, 0xF1, 1);
  // A second ready byte arrives after the first piece, while the chunk is going out.
  h.port.DeliverAt(h.clock.Now(), 1, {0xF1});
  h.clock.RunFor(50);
  Bytes stream;
  int starts = 0;
  for (const auto& write : h.port.writes) {
    if (write.bytes == Bytes{0x03, 0x10, 0xED}) {
      ++starts;
    } else {
      stream.insert(stream.end(), write.bytes.begin(), write.bytes.end());
    }
  }
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(stream.size(), 4108u) << "the chunk went out whole and alone";
}

TEST(LoaderClient, EmptyImageEndsAtTheFirstWriteCompleted) {
  testing::DialogHarness h;
  h.port.presentPorts = {1};
  h.dialog.Click(IDC_PORT_BUTTON);
  h.dialog.m_bLoaderMode = 1;
  h.dialog.m_loaderState = 6;
  h.dialog.m_imageSize = 0;
  h.dialog.m_loaderRemaining = 0;
  h.dialog.Dispatch(WM_SERIAL_RXCHAR, 0xF1, 1);
  h.clock.RunFor(1);  // the write-completed notification of 03 10 ED
  EXPECT_EQ(h.dialog.m_bLoaderMode, 0);
  EXPECT_TRUE(h.services.TimerRunning(kTimerAutoClose));
  EXPECT_EQ(h.port.writes.size(), 1u) << "no chunk";
}

TEST(PlaceholderLoader, TheEmbeddedPlaceholderHaltsABoardAndIsKnownByItsStart) {
  // Executed at 0000:0510: cli; hlt; jmp back to the hlt.
  EXPECT_EQ(Bytes(g_inputBoardLoader, g_inputBoardLoader + 4), (Bytes{0xFA, 0xF4, 0xEB, 0xFD}));
  EXPECT_TRUE(InputBoardLoaderIsPlaceholder());

  const std::string marker = kPlaceholderLoaderMarker;
  Bytes halt = {0xFA, 0xF4, 0xEB, 0xFD};
  Bytes placeholder = halt;
  placeholder.insert(placeholder.end(), marker.begin(), marker.end());
  Bytes markerOnly(marker.begin(), marker.end());
  Bytes realLoader(kInputBoardLoaderBytes, 0x90);
  struct Case {
    const char* name;
    Bytes loader;
    bool placeholder;
  } cases[] = {
      {"halt loop and marker", placeholder, true},
      {"marker without the halt loop", markerOnly, false},
      {"halt loop without the marker", halt, false},
      {"a real loader", realLoader, false},
      {"nothing", {}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsPlaceholderLoader(c.loader), c.placeholder) << c.name;
}

TEST(PlaceholderLoader, AnInputBoardUpdateIsRefusedUnlessAllowed) {
  for (int board = 1; board <= 4; ++board) {
    LoaderHarness h;
    h.dialog.Configure({.allowPlaceholderLoader = false});
    const std::size_t writesBefore = h.port.writes.size();
    h.services.fileAnswers.push_back(h.work.Write("board.bin", Bytes(100, 7)));
    h.dialog.Click(IDC_UPDATE_IN1 + board - 1);
    ASSERT_EQ(h.Boxes().size(), 1u) << board;
    EXPECT_EQ(h.Boxes()[0].text, kNoInputBoardLoader);
    EXPECT_EQ(h.Boxes()[0].caption, " ISP");
    EXPECT_EQ(h.port.writes.size(), writesBefore) << "nothing goes to the board";
    EXPECT_EQ(h.services.fileAnswers.size(), 1u) << "no file is asked for";
    EXPECT_EQ(h.dialog.m_bInputBoardRequested, 0);
    EXPECT_EQ(h.dialog.m_bPortOpen, 1) << "the port stays as it was";
  }
  // Allowed, the same press goes ahead.
  LoaderHarness allowed;
  allowed.services.fileAnswers.push_back(allowed.work.Write("board.bin", Bytes(100, 7)));
  allowed.dialog.Click(IDC_UPDATE_IN1);
  EXPECT_TRUE(allowed.Boxes().empty());
  EXPECT_EQ(allowed.dialog.m_bInputBoardRequested, 1);
}

}  // namespace
}  // namespace korvelt
