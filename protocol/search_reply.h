#pragma once

#include <cstdint>

namespace korvelt {

// The answer to a search probe: the eleven bytes AB, T, S, 07, 00, group, machine, 02, F8, T, S
// (T and S the device type and sub-type searched). The address bytes and the twelfth byte, the
// checksum, are not examined. A mismatched byte ends the attempt and is not looked at again as
// a start byte.
struct SearchReplyStep {
  int nextState = -1;  // -1 idle, 0..9 the last byte matched
  bool found = false;  // this byte completed an answer
};
SearchReplyStep StepSearchReply(int state, uint8_t byte, uint8_t deviceType, uint8_t deviceSubType);

// The same recogniser with a state of its own, for a front end that listens on many ports at
// once; it keeps the unit's address from the answer.
class SearchReplyMatcher {
 public:
  explicit SearchReplyMatcher(uint8_t deviceType, uint8_t deviceSubType = 0)
      : device_type_(deviceType), device_sub_type_(deviceSubType) {}

  // True when `byte` completed an answer.
  bool Feed(uint8_t byte);
  uint8_t deviceType() const { return device_type_; }
  uint8_t group() const { return group_; }
  uint8_t machine() const { return machine_; }

 private:
  uint8_t device_type_;
  uint8_t device_sub_type_;
  int state_ = -1;
  uint8_t group_ = 0;
  uint8_t machine_ = 0;
  uint8_t pending_group_ = 0;
  uint8_t pending_machine_ = 0;
};

}  // namespace korvelt
