#pragma once

#include <cstdint>

namespace korvelt {

// Which send an answer belongs to, when the unit's answers carry no block number (the block
// upload's acknowledgement, the input-board loader's ready byte). The unit answers every
// block it receives at most once and in order, so an answer is the block in flight's only
// while sends of that block are still unanswered. The next block goes out only once every
// send of this one is answered, or once the line has been quiet for the whole time-out after
// the block was taken: a late answer of a repeated block can then never be counted for the
// next one. An answer when nothing is owed means the unit answered what was not sent; the
// caller ends the transfer then, because an answer counted for the wrong block would report
// a block as written that the unit never took.
class ResendLedger {
 public:
  enum class Verdict {
    kStray,    // nothing is owed: no block waits for this answer
    kCurrent,  // an answer for the block in flight, not taken yet (taken, or refused)
    kLate,     // another answer for the block already taken; more are owed
    kSettled,  // the last answer owed for the block already taken: the next may go
  };
  enum class QuietAction {
    kNone,     // nothing is in flight
    kAdvance,  // the block was taken; answers still owed are taken as lost
    kResend,   // no answer for the block in flight: send it again
    kGiveUp,   // no answer after every resend
  };

  explicit ResendLedger(int maxResends) : max_resends_(maxResends) {}

  // A new block went out.
  void FirstSend() {
    taken_ = false;
    resends_ = 0;
    ++owed_;
  }
  // The block in flight went out again after a refusal: an answer, not a loss.
  void SentAgain() { ++owed_; }
  Verdict Answer();
  // The answer kCurrent was the unit taking the block.
  void Take() { taken_ = true; }
  bool taken() const { return taken_; }
  // Every send is answered.
  bool settled() const { return owed_ == 0; }
  // The line has been quiet for the whole time-out. kResend counts as a send.
  QuietAction Quiet();
  int resends() const { return resends_; }
  void Reset() { *this = ResendLedger(max_resends_); }

 private:
  int max_resends_;
  uint32_t owed_ = 0;   // sends of the block in flight not answered yet
  bool taken_ = false;  // the unit took the block in flight (its answer came)
  int resends_ = 0;     // after time-outs
};

}  // namespace korvelt
