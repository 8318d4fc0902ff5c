#include <gtest/gtest.h>

#include "protocol/frame.h"
#include "tests/support/dialog_harness.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Reply(uint16_t code, Bytes payload, uint8_t group = 0, uint8_t machine = 0,
            uint8_t type = 0) {
  return BuildFrame(kReplyStart, {type, 0, group, machine}, code, payload);
}

Bytes Ack(uint8_t status = 0) {
  return Reply(0xFFFF, {0x78, 0x78, status});
}

void Feed(testing::DialogHarness& h, const Bytes& bytes, int port = 1) {
  for (uint8_t b : bytes) h.dialog.Dispatch(WM_SERIAL_RXCHAR, b, port);
}

struct ParserCase {
  const char* name;
  Bytes bytes;
  uint64_t dispatched;  // frames that reached a handler
  int endState;
};

TEST(ReplyParser, FramesTable) {
  Bytes longFrame = Reply(0x8000, Bytes(495, 0x11));  // L = 500: collected
  Bytes tooLong = Reply(0x8000, Bytes(496, 0x11));    // L = 501: dropped at byte 4
  Bytes badSum = Ack();
  badSum.back() ^= 1;
  Bytes escapedAck = Reply(0x0000, {0xFF, 0xFF, 0}, 0x00, 0xFF);  // code from bytes 9, 10
  escapedAck[7] = 0xFF;
  escapedAck[8] = 0x00;
  escapedAck.back() = ZeroSumChecksum(escapedAck.data(), escapedAck.size() - 1);
  const ParserCase cases[] = {
      {"block ack", Ack(), 1, -1},
      {"two acks",
       [] {
         Bytes b = Ack();
         Bytes c = Ack(1);
         b.insert(b.end(), c.begin(), c.end());
         return b;
       }(),
       2, -1},
      {"double start loses the frame",
       [] {
         Bytes b = {0xAB};
         Bytes a = Ack();
         b.insert(b.end(), a.begin(), a.end());
         return b;
       }(),
       0, -1},
      {"length high byte 2", {0xAB, 0x00, 0x00, 0x05, 0x02}, 0, -1},
      {"length 500 collected", longFrame, 1, -1},
      {"length 501 dropped", Bytes(tooLong.begin(), tooLong.begin() + 5), 0, -1},
      {"wrong checksum", badSum, 0, -1},
      {"unknown code", Reply(0x1234, {1, 2}), 0, -1},
      {"machine 0xFF ack reads 0x7878", Reply(0xFFFF, {0x78, 0x78, 0}, 0x00, 0xFF), 0, -1},
      {"escape reaches slot 34", escapedAck, 1, -1},
      {"wrong device type", Reply(0xFFFF, {0x78, 0x78, 0}, 0, 0, 1), 0, -1},
      {"length 0 is malformed", {0xAB, 0x00, 0x00, 0x00, 0x00}, 0, -1},
      {"length 4 is malformed", {0xAB, 0x00, 0x00, 0x04, 0x00}, 0, -1},
      {"noise", {0x01, 0x02, 0x78}, 0, -1},
  };
  for (const auto& c : cases) {
    testing::DialogHarness h;
    Feed(h, c.bytes);
    EXPECT_EQ(h.dialog.replyCounters().framesDispatched, c.dispatched) << c.name;
    EXPECT_EQ(h.dialog.m_parserState, c.endState) << c.name;
    if (c.dispatched) {
      EXPECT_EQ(h.dialog.replyCounters().lastDispatchedSlot, c.bytes[7] == 0x00 ? 1 : 34) << c.name;
    }
  }
}

TEST(ReceiveRouter, PortNumbersAndPrecedence) {
  testing::DialogHarness h;
  h.dialog.m_nPortNumber = 3;
  EXPECT_EQ(h.dialog.ReceiveRouter(0xAB, 0), -1);
  EXPECT_EQ(h.dialog.ReceiveRouter(0xAB, 100), -1);
  EXPECT_EQ(h.dialog.m_parserState, -1) << "dropped bytes reach no parser";
  EXPECT_EQ(h.dialog.ReceiveRouter(0xAB, 7), 0);
  EXPECT_EQ(h.dialog.m_parserState, 0) << "port 7 is accepted while COM3 is in use";

  // While a search runs nothing reaches the reply parser, whatever the other modes hold.
  testing::DialogHarness s;
  s.dialog.m_bSearching = 1;
  s.dialog.m_bLoaderMode = 1;
  s.dialog.m_bStm32Mode = 1;
  Feed(s, Ack());
  EXPECT_EQ(s.dialog.replyCounters().framesDispatched, 0u);

  // A loader or bootloader conversation keeps every byte from the reply parser.
  for (int mode = 0; mode < 2; ++mode) {
    testing::DialogHarness m;
    (mode == 0 ? m.dialog.m_bLoaderMode : m.dialog.m_bStm32Mode) = 1;
    Feed(m, Ack());
    EXPECT_EQ(m.dialog.replyCounters().framesDispatched, 0u) << mode;
    EXPECT_EQ(m.dialog.m_parserState, -1) << mode;
  }
}

TEST(ReplyParser, IdleBytesReachBannerOnlyWhileRequested) {
  testing::DialogHarness h;
  Feed(h, {'U', 'B', 'D'});
  EXPECT_EQ(h.dialog.m_bannerPos, 0) << "no request: the ring does not change";
  h.dialog.m_bIspRequested = 1;
  Feed(h, {'U', 'B', 'D', 0xAB});
  EXPECT_EQ(h.dialog.m_bannerPos, 3) << "0xAB starts a frame instead";
  EXPECT_EQ(h.dialog.m_bannerRing[3], 'D');
  EXPECT_EQ(h.dialog.m_parserState, 0);
}

TEST(ReplyParser, AddressFilter) {
  struct Case {
    uint8_t targetGroup, targetMachine, replyGroup, replyMachine;
    uint16_t code;
    bool passes;
  } cases[] = {
      {0x12, 0x34, 0x12, 0x34, 0xFFFF, true}, {0x12, 0x34, 0x12, 0x35, 0xFFFF, false},
      {0x12, 0x34, 0x12, 0x35, 0xF801, true}, {0x00, 0x00, 0x55, 0x66, 0xFFFF, true},
      {0xFF, 0xFF, 0x55, 0x66, 0xFFFF, true}, {0x12, 0x00, 0x99, 0x98, 0xFFFF, true},
      {0x12, 0xFF, 0x99, 0x98, 0xFFFF, true}, {0x00, 0x05, 0x00, 0x06, 0xFFFF, false},
      {0x00, 0x05, 0x00, 0x05, 0xFFFF, true}, {0xFF, 0x00, 0xFF, 0x01, 0xFFFF, false},
  };
  for (const auto& c : cases) {
    testing::DialogHarness h;
    h.dialog.m_groupAddress = c.targetGroup;
    h.dialog.m_machineAddress = c.targetMachine;
    Feed(h, Reply(c.code, {0x78, 0x78, 0}, c.replyGroup, c.replyMachine));
    EXPECT_EQ(h.dialog.replyCounters().framesDispatched, c.passes ? 1u : 0u)
        << int(c.targetGroup) << "/" << int(c.targetMachine) << " reply " << int(c.replyGroup)
        << "/" << int(c.replyMachine) << " code " << c.code;
  }
}

TEST(ReplyParser, NeverStoresPastItsBufferWhateverStateItIsLeftIn) {
  struct Case {
    int state;
    int length;
  } cases[] = {{300, 500}, {300, 0}, {518, 500}, {519, 500},    {600, 3},
               {5, 0},     {9, 7},   {4, 1000},  {1000000, 500}};
  for (const auto& c : cases) {
    testing::DialogHarness h;
    h.dialog.m_parserState = c.state;
    h.dialog.m_replyLength = c.length;
    Feed(h, Bytes(600, 0x00));  // under the address sanitizer any overrun is fatal
    EXPECT_EQ(h.dialog.m_parserState, -1) << c.state << "/" << c.length;
    Feed(h, Ack());
    EXPECT_EQ(h.dialog.replyCounters().lastDispatchedSlot, 34) << "the parser recovers";
  }
}

}  // namespace
}  // namespace korvelt
