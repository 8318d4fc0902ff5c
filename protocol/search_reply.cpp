#include "protocol/search_reply.h"

#include "protocol/frame.h"

namespace korvelt {

SearchReplyStep StepSearchReply(int state, uint8_t byte, uint8_t deviceType,
                                uint8_t deviceSubType) {
  auto expect = [&](bool matches, int next) { return SearchReplyStep{matches ? next : -1}; };
  switch (state) {
    case -1:
      return expect(byte == kReplyStart, 0);
    case 0:
      return expect(byte == deviceType, 1);
    case 1:
      return expect(byte == deviceSubType, 2);
    case 2:
      return expect(byte == 0x07, 3);
    case 3:
      return expect(byte == 0x00, 4);
    case 4:  // the unit's group address: any
    case 5:  // its machine address: any
      return {state + 1};
    case 6:
      return expect(byte == static_cast<uint8_t>(kSearchCommand & 0xFF), 7);
    case 7:
      return expect(byte == static_cast<uint8_t>(kSearchCommand >> 8), 8);
    case 8:
      return expect(byte == deviceType, 9);
    case 9:
      return {-1, byte == deviceSubType};
    default:
      return {-1};
  }
}

bool SearchReplyMatcher::Feed(uint8_t byte) {
  if (state_ == 4) pending_group_ = byte;
  if (state_ == 5) pending_machine_ = byte;
  const SearchReplyStep step = StepSearchReply(state_, byte, device_type_, device_sub_type_);
  state_ = step.nextState;
  if (step.found) {
    group_ = pending_group_;
    machine_ = pending_machine_;
  }
  return step.found;
}

}  // namespace korvelt
