#include "update/resend_ledger.h"

namespace korvelt {

ResendLedger::Verdict ResendLedger::Answer() {
  if (owed_ == 0) return Verdict::kStray;
  --owed_;
  if (!taken_) return Verdict::kCurrent;
  return owed_ == 0 ? Verdict::kSettled : Verdict::kLate;
}

ResendLedger::QuietAction ResendLedger::Quiet() {
  if (taken_) {
    // A whole time-out of silence after the block was taken: what is still owed was lost.
    owed_ = 0;
    return QuietAction::kAdvance;
  }
  if (owed_ == 0) return QuietAction::kNone;
  if (resends_ >= max_resends_) return QuietAction::kGiveUp;
  // The unanswered sends stay owed: their answers may still come, and must not be counted
  // for the next block.
  ++resends_;
  ++owed_;
  return QuietAction::kResend;
}

}  // namespace korvelt
