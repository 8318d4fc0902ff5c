// The MCU update's pure parts: which blocks are written and read back, what the Get reply
// offers, and the steps of one Read Memory exchange.
#include <gtest/gtest.h>

#include "update/mcu_write_plan.h"
#include "update/stm32_protocol.h"

namespace korvelt {
namespace {

using Bytes = std::vector<uint8_t>;
using Ranges = std::vector<McuRange>;

Bytes Image(std::size_t size, uint8_t fill = 0x5A) {
  return Bytes(size, fill);
}

TEST(McuWritePlan, BlocksGapsAndErasedBlocks) {
  Bytes mixed = Image(1024);
  std::fill(mixed.begin() + 256, mixed.begin() + 512, 0xFF);  // one erased block
  // A block whose first word is 0xFF but not the rest is not erased.
  Bytes firstWordErased = Image(512);
  std::fill(firstWordErased.begin() + 256, firstWordErased.begin() + 260, 0xFF);
  const McuPlanRules written{.blockBytes = 128};
  const McuPlanRules acknowledged{.blockBytes = 256, .wordAligned = true, .skipErasedBlocks = true};
  struct Case {
    const char* name;
    Bytes image;
    Ranges ranges;
    McuPlanRules rules;
    Ranges writes;
    Ranges checked;
  } cases[] = {
      {"raw, whole blocks",
       Image(256),
       {},
       written,
       {{0, 128}, {128, 256}},
       {{0, 128}, {128, 256}}},
      {"raw, short tail padded to a block",
       Image(130),
       {},
       written,
       {{0, 128}, {128, 256}},
       {{0, 128}, {128, 256}}},
      {"raw, tail to the word",
       Image(257),
       {},
       acknowledged,
       {{0, 256}, {256, 260}},
       {{0, 256}, {256, 260}}},
      {"an erased block is checked, not written",
       mixed,
       {},
       acknowledged,
       {{0, 256}, {512, 768}, {768, 1024}},
       {{0, 256}, {256, 512}, {512, 768}, {768, 1024}}},
      {"the written pacing writes erased blocks too",
       mixed,
       {},
       written,
       {{0, 128},
        {128, 256},
        {256, 384},
        {384, 512},
        {512, 640},
        {640, 768},
        {768, 896},
        {896, 1024}},
       {{0, 128},
        {128, 256},
        {256, 384},
        {384, 512},
        {512, 640},
        {640, 768},
        {768, 896},
        {896, 1024}}},
      {"a leading 0xFF word does not make a block erased",
       firstWordErased,
       {},
       acknowledged,
       {{0, 256}, {256, 512}},
       {{0, 256}, {256, 512}}},
      {"ranges with a gap: only the data, word-aligned",
       Image(0x500),
       {{0, 48}, {0x410, 0x438}},
       acknowledged,
       {{0, 48}, {0x410, 0x438}},
       {{0, 48}, {0x410, 0x438}}},
      {"a range that is not word-aligned is rounded out",
       Image(0x20),
       {{3, 9}},
       acknowledged,
       {{0, 12}},
       {{0, 12}}},
      {"an empty image plans nothing", Bytes{}, {}, acknowledged, {}, {}},
  };
  for (const Case& c : cases) {
    const McuWritePlan plan = PlanMcuWrites(c.image, c.ranges, c.rules);
    EXPECT_EQ(plan.writes, c.writes) << c.name;
    EXPECT_EQ(plan.checked, c.checked) << c.name;
  }
}

TEST(McuWritePlan, VerifyReadsMergeTouchingBlocksIntoPiecesOf256) {
  struct Case {
    Ranges checked;
    Ranges reads;
  } cases[] = {
      {{{0, 256}, {256, 512}}, {{0, 256}, {256, 512}}},
      {{{0, 128}, {128, 256}, {256, 300}}, {{0, 256}, {256, 300}}},
      {{{0, 48}, {0x410, 0x438}}, {{0, 48}, {0x410, 0x438}}},
      {{{0, 4}}, {{0, 4}}},
      {{}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(PlanMcuVerifyReads(c.checked, 256), c.reads);
}

TEST(Stm32Protocol, CommandsAddressesAndLengthsOnTheWire) {
  EXPECT_EQ(CommandBytes(Stm32Command::kGet), (std::array<uint8_t, 2>{0x00, 0xFF}));
  EXPECT_EQ(CommandBytes(Stm32Command::kWriteMemory), (std::array<uint8_t, 2>{0x31, 0xCE}));
  EXPECT_EQ(CommandBytes(Stm32Command::kExtendedErase), (std::array<uint8_t, 2>{0x44, 0xBB}));
  EXPECT_EQ(AddressBytes(0x08000080), (std::array<uint8_t, 5>{0x08, 0x00, 0x00, 0x80, 0x88}));
  EXPECT_EQ(AddressBytes(0x1FFFF7E0), (std::array<uint8_t, 5>{0x1F, 0xFF, 0xF7, 0xE0, 0xF7}));
  EXPECT_EQ(ReadLengthBytes(256), (std::array<uint8_t, 2>{0xFF, 0x00}));
  EXPECT_EQ(ReadLengthBytes(4), (std::array<uint8_t, 2>{0x03, 0xFC}));
}

TEST(Stm32Protocol, TheGetReplyChoosesTheErase) {
  struct Case {
    Bytes reply;
    uint8_t version;
    bool extendedOnly;
  } cases[] = {
      {{0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92}, 0x22, false},
      {{0x0B, 0x31, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x44, 0x63, 0x73, 0x82, 0x92}, 0x31, true},
      {{0x03, 0x22, 0x43, 0x44}, 0x22, false},  // both: the plain erase
      {{0x01, 0x22}, 0x22, false},              // no commands listed: 0x43 stays
      {{0x02}, 0, false},                       // the version lost
      {{}, 0, false},
  };
  for (const Case& c : cases) {
    const Stm32GetReply parsed = ParseGetReply(c.reply);
    EXPECT_EQ(parsed.bootloaderVersion, c.version);
    EXPECT_EQ(parsed.extendedEraseOnly, c.extendedOnly);
  }
  EXPECT_EQ(ParseGetIdReply(Bytes{0x01, 0x04, 0x10}), 0x0410);
  EXPECT_EQ(ParseGetIdReply(Bytes{0x01, 0x04}), 0);
  EXPECT_TRUE(ReplyComplete(Bytes{0x01, 0x04, 0x10}));
  EXPECT_FALSE(ReplyComplete(Bytes{0x01, 0x04}));
}

TEST(Stm32Protocol, AReadMemoryExchangeTakesItsDataWhateverTheValue) {
  using A = ReadMemoryAction;
  struct Step {
    uint8_t byte;
    A action;
  };
  // Three acknowledgements, then 4 data bytes of which two look like ACK and NACK.
  const Step steps[] = {{0x55, A::kNone},        {0x79, A::kSendAddress}, {0x79, A::kSendLength},
                        {0x79, A::kDataFollows}, {0x79, A::kData},        {0x1F, A::kData},
                        {0x00, A::kData},        {0x79, A::kLastData}};
  int subStep = 0;
  for (const Step& step : steps) {
    const ReadMemoryStep next = StepReadMemory(subStep, step.byte, 4);
    EXPECT_EQ(next.action, step.action) << int(step.byte) << " at " << subStep;
    subStep = next.nextSubStep;
  }
  EXPECT_EQ(subStep, kReadMemoryDataSubStep + 4);
  for (int at : {0, 1, 2}) EXPECT_EQ(StepReadMemory(at, 0x1F, 4).action, A::kRefused);
}

}  // namespace
}  // namespace korvelt
