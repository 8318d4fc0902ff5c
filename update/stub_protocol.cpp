#include "update/stub_protocol.h"

#include <zlib.h>

#include <algorithm>
#include <type_traits>

namespace korvelt::stub {

namespace {

constexpr uint32_t kCrcResidue = 0x2144DF1C;  // CRC-32 of any frame followed by its own CRC
constexpr std::size_t kMaxReplyBytes = 64;    // the longest reply, encoded, is 19 bytes
constexpr uint32_t kBitsPerByte = 11;         // 8E1
constexpr int kMaxCrcTries = 3;

void PutWord(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t Word(const uint8_t* at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

uint16_t Half(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | at[1] << 8);
}

}  // namespace

const char* StatusText(StatusCode code) {
  switch (code) {
    case StatusCode::kOk:
      return "ok";
    case StatusCode::kGap:
      return "a frame was lost";
    case StatusCode::kEraseFailed:
      return "the erase failed";
    case StatusCode::kNotErased:
      return "the flash was not erased there";
    case StatusCode::kWriteProtected:
      return "the page is write-protected";
    case StatusCode::kVerifyFailed:
      return "the flash reads back other than written";
    case StatusCode::kBadRange:
      return "the range is outside the flash or misaligned";
    case StatusCode::kBadCommand:
      return "the stub does not know the command";
    case StatusCode::kBaudRefused:
      return "the rate switch was refused or not confirmed";
  }
  return "unknown status";
}

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  return static_cast<uint32_t>(::crc32_z(crc, bytes.data(), bytes.size()));
}

std::vector<uint8_t> CobsEncode(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size() + bytes.size() / 254 + 2);
  std::size_t group = 0;
  for (;;) {
    std::size_t end = group;
    while (end < bytes.size() && bytes[end] != 0 && end - group < 254) ++end;
    out.push_back(static_cast<uint8_t>(end - group + 1));
    out.insert(out.end(), bytes.begin() + long(group), bytes.begin() + long(end));
    if (end == bytes.size()) break;
    group = end - group == 254 ? end : end + 1;  // a full group implies no zero
  }
  return out;
}

std::optional<std::vector<uint8_t>> CobsDecode(std::span<const uint8_t> encoded) {
  std::vector<uint8_t> out;
  std::size_t i = 0;
  while (i < encoded.size()) {
    const uint8_t code = encoded[i++];
    if (code == 0 || i + code - 1 > encoded.size()) return std::nullopt;
    out.insert(out.end(), encoded.begin() + long(i), encoded.begin() + long(i + code - 1));
    i += code - 1;
    if (code != 0xFF && i < encoded.size()) out.push_back(0);
  }
  return out;
}

std::vector<uint8_t> EncodeFrame(Command command, uint8_t seq, std::span<const uint8_t> body) {
  std::vector<uint8_t> frame = {static_cast<uint8_t>(command), seq};
  frame.insert(frame.end(), body.begin(), body.end());
  PutWord(frame, Crc32(frame));
  std::vector<uint8_t> out = {0};
  const std::vector<uint8_t> encoded = CobsEncode(frame);
  out.insert(out.end(), encoded.begin(), encoded.end());
  out.push_back(0);
  return out;
}

std::optional<Reply> ReplyDecoder::Feed(uint8_t byte) {
  if (byte != 0) {
    if (encoded_.size() < kMaxReplyBytes) {
      encoded_.push_back(byte);
    } else {
      overflow_ = true;
    }
    return std::nullopt;
  }
  if (encoded_.empty() && !overflow_) return std::nullopt;  // zeros between frames
  std::optional<Reply> reply = overflow_ ? std::nullopt : Decode();
  if (!reply) ++damaged_;
  encoded_.clear();
  overflow_ = false;
  return reply;
}

std::optional<Reply> ReplyDecoder::Decode() {
  const std::optional<std::vector<uint8_t>> frame = CobsDecode(encoded_);
  if (!frame || frame->size() < 6 || Crc32(*frame) != kCrcResidue) return std::nullopt;
  const uint8_t* b = frame->data() + 2;
  const std::size_t body = frame->size() - 6;
  const uint8_t seq = (*frame)[1];
  switch (static_cast<ReplyType>((*frame)[0])) {
    case ReplyType::kReady:
      if (body != 10) return std::nullopt;
      return Ready{b[0], b[1], Half(b + 2), Half(b + 4), Half(b + 6), b[8], b[9]};
    case ReplyType::kStatus:
      if (body != 7) return std::nullopt;
      return Status{b[0], b[1], static_cast<StatusCode>(b[2]), Word(b + 3)};
    case ReplyType::kCrcResult:
      if (body != 12) return std::nullopt;
      return CrcResult{seq, Word(b), Word(b + 4), Word(b + 8)};
    case ReplyType::kBaudReady:
      if (body != 4) return std::nullopt;
      return BaudReady{seq, Word(b)};
    case ReplyType::kBaudConfirmed:
      if (body != 4) return std::nullopt;
      return BaudConfirmed{Word(b)};
  }
  return std::nullopt;
}

StubSender::StubSender(uint32_t lineBaud, uint64_t nowMs)
    : rate_(lineBaud), last_reply_ms_(nowMs), last_progress_ms_(nowMs), wire_free_ms_(nowMs) {}

void StubSender::Add(Job job) {
  if (state_ == SenderState::kFailed) return;
  if (job.command == Command::kWrite) bytes_total_ += job.dataBytes;
  jobs_.push_back(std::move(job));
  if (state_ == SenderState::kDone) state_ = SenderState::kRunning;
}

void StubSender::ErasePages(uint32_t address, uint16_t count) {
  Job job(Command::kErasePages);
  PutWord(job.body, address);
  job.body.push_back(static_cast<uint8_t>(count));
  job.body.push_back(static_cast<uint8_t>(count >> 8));
  Add(std::move(job));
}

void StubSender::EraseAll() {
  Add(Job(Command::kEraseAll));
}

void StubSender::Write(uint32_t address, std::span<const uint8_t> data, bool skipErased) {
  // Whole half-words: an odd start or end is filled with 0xFF, which programs nothing.
  std::vector<uint8_t> bytes;
  const uint32_t start = address & ~1u;
  if (address & 1) bytes.push_back(0xFF);
  bytes.insert(bytes.end(), data.begin(), data.end());
  if (bytes.size() & 1) bytes.push_back(0xFF);
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    // Frames end on kMaxData boundaries of the address, so each lies in as few pages as can be.
    const uint32_t at = start + static_cast<uint32_t>(offset);
    const std::size_t room = kMaxData - at % kMaxData;
    const std::size_t count = std::min(room, bytes.size() - offset);
    const auto chunk = std::span<const uint8_t>(bytes).subspan(offset, count);
    offset += count;
    if (skipErased &&
        std::all_of(chunk.begin(), chunk.end(), [](uint8_t b) { return b == 0xFF; })) {
      continue;
    }
    Job job(Command::kWrite);
    PutWord(job.body, at);
    job.body.insert(job.body.end(), chunk.begin(), chunk.end());
    job.dataBytes = static_cast<uint32_t>(count);
    Add(std::move(job));
  }
}

void StubSender::Verify(uint32_t address, std::span<const uint8_t> expected) {
  Job job(Command::kCrc);
  PutWord(job.body, address);
  PutWord(job.body, static_cast<uint32_t>(expected.size()));
  job.expectedCrc = Crc32(expected);
  Add(std::move(job));
}

void StubSender::SwitchBaud(uint32_t rate) {
  Job job(Command::kBaud);
  PutWord(job.body, rate);
  Add(std::move(job));
}

void StubSender::Leave() {
  Add(Job(Command::kLeave));
}

bool StubSender::Blocked(std::size_t index) const {
  // A rate switch or the leave goes only when everything before it has been executed, and
  // nothing goes after it until it has been: frames behind it would meet the wrong rate, or
  // the ROM bootloader.
  const Command command = jobs_[index].command;
  if (index > 0 && (command == Command::kBaud || command == Command::kLeave)) return true;
  for (std::size_t i = 0; i < index; ++i) {
    if (jobs_[i].command == Command::kBaud || jobs_[i].command == Command::kLeave) return true;
  }
  return false;
}

std::vector<uint8_t> StubSender::TakeOutgoing(uint64_t nowMs) {
  std::vector<uint8_t> out;
  out.swap(control_out_);
  if (state_ == SenderState::kRunning && baud_phase_ == BaudPhase::kNone) {
    while (in_flight_ < jobs_.size() && in_flight_ < ready_->window && !Blocked(in_flight_)) {
      const Job& job = jobs_[in_flight_];
      const std::vector<uint8_t> frame = EncodeFrame(job.command, SeqAt(in_flight_), job.body);
      out.insert(out.end(), frame.begin(), frame.end());
      ++frames_sent_;
      if (in_flight_ < highest_sent_) ++frames_resent_;
      ++in_flight_;
      highest_sent_ = std::max(highest_sent_, in_flight_);
    }
  }
  if (!out.empty()) {
    // The bytes leave the host one after another at the line's rate; replies to the last of
    // them cannot come before that.
    const uint64_t wireMs = (uint64_t(out.size()) * kBitsPerByte * 1000 + rate_ - 1) / rate_;
    wire_free_ms_ = std::max(wire_free_ms_, nowMs) + wireMs;
  }
  return out;
}

void StubSender::Control(Command command, std::span<const uint8_t> body, uint64_t nowMs) {
  const std::vector<uint8_t> frame = EncodeFrame(command, 0, body);
  control_out_.insert(control_out_.end(), frame.begin(), frame.end());
  if (command == Command::kQuery || command == Command::kHello) {
    ++queries_sent_;
    last_query_ms_ = nowMs;
  }
}

void StubSender::OnByte(uint8_t byte, uint64_t nowMs) {
  if (std::optional<Reply> reply = decoder_.Feed(byte)) OnReply(*reply, nowMs);
}

void StubSender::OnReply(const Reply& reply, uint64_t nowMs) {
  if (state_ == SenderState::kFailed || state_ == SenderState::kDone) return;
  last_reply_ms_ = nowMs;
  queries_unanswered_ = 0;
  if (const auto* ready = std::get_if<Ready>(&reply)) {
    if (state_ != SenderState::kStarting) return;
    if (ready->window == 0 || ready->maxData < kMaxData) {
      Fail(StatusCode::kOk, 0, "the stub's frames are smaller than this host's");
      return;
    }
    ready_ = *ready;
    done_seq_ = ready->expect;
    last_progress_ms_ = nowMs;
    state_ = jobs_.empty() ? SenderState::kDone : SenderState::kRunning;
    return;
  }
  if (state_ == SenderState::kStarting) return;
  if (const auto* status = std::get_if<Status>(&reply)) {
    OnStatus(*status, nowMs);
  } else if (const auto* crc = std::get_if<CrcResult>(&reply)) {
    const std::size_t index = static_cast<uint8_t>(crc->seq - done_seq_);
    if (index >= in_flight_) return;
    Job& job = jobs_[index];
    if (job.command != Command::kCrc || Word(job.body.data()) != crc->address ||
        Word(job.body.data() + 4) != crc->length) {
      return;
    }
    job.resultSeen = true;
    crc_results_.push_back(*crc);
    if (job.expectedCrc && *job.expectedCrc != crc->crc) {
      Fail(StatusCode::kVerifyFailed, crc->address,
           "the flash's CRC-32 differs from the image's in the range");
      return;
    }
    Executed(index + 1, nowMs);
  } else if (const auto* baud = std::get_if<BaudReady>(&reply)) {
    if (baud_phase_ != BaudPhase::kNone || in_flight_ == 0 || jobs_.empty() ||
        jobs_.front().command != Command::kBaud || baud->seq != done_seq_ ||
        Word(jobs_.front().body.data()) != baud->rate) {
      return;
    }
    // The stub switches once this reply has left it; the port follows, and the first frame at
    // the new rate asks the stub to confirm.
    old_rate_ = rate_;
    rate_ = baud->rate;
    baud_switched_ms_ = nowMs;
    wire_free_ms_ = nowMs;
    baud_phase_ = BaudPhase::kAwaitConfirmed;
    std::vector<uint8_t> body;
    PutWord(body, baud->rate);
    Control(Command::kConfirmBaud, body, nowMs);
  } else if (const auto* confirmed = std::get_if<BaudConfirmed>(&reply)) {
    if (baud_phase_ != BaudPhase::kAwaitConfirmed || confirmed->rate != rate_) return;
    // Both directions work at the new rate; the stub keeps it once it hears from us again.
    baud_phase_ = BaudPhase::kCommitting;
    Control(Command::kQuery, {}, nowMs);
  }
}

void StubSender::OnStatus(const Status& status, uint64_t nowMs) {
  const bool answersQuery = query_outstanding_;
  query_outstanding_ = false;
  const std::size_t executed = static_cast<uint8_t>(status.done - done_seq_);
  if (executed <= in_flight_) Executed(executed, nowMs);
  if (state_ != SenderState::kRunning && state_ != SenderState::kDone) return;
  switch (status.code) {
    case StatusCode::kOk: {
      // The answer to a Query comes after everything sent before it: a frame the stub has not
      // taken by then was lost (the last of a burst leaves no later frame to show a gap).
      const std::size_t taken = static_cast<uint8_t>(status.expect - done_seq_);
      if (answersQuery && taken < in_flight_) in_flight_ = taken;
      return;
    }
    case StatusCode::kGap: {
      const std::size_t taken = static_cast<uint8_t>(status.expect - done_seq_);
      if (taken <= in_flight_) in_flight_ = taken;  // sent again from there
      return;
    }
    case StatusCode::kBaudRefused:
      // The stub stays at (or went back to) the old rate; its next frame has the switch's
      // sequence number. After that the code is stale until the next frame is taken.
      if (!jobs_.empty() && jobs_.front().command == Command::kBaud && status.done == done_seq_) {
        baud_outcomes_.push_back({Word(jobs_.front().body.data()), false});
        if (old_rate_) rate_ = old_rate_;
        old_rate_ = 0;
        baud_phase_ = BaudPhase::kNone;
        jobs_.pop_front();
        in_flight_ = 0;
        highest_sent_ = 0;
        last_progress_ms_ = nowMs;
        if (jobs_.empty()) state_ = SenderState::kDone;
      }
      return;
    default:
      Fail(status.code, status.address, StatusText(status.code));
      return;
  }
}

void StubSender::Executed(std::size_t count, uint64_t nowMs) {
  for (std::size_t i = 0; i < count && !jobs_.empty(); ++i) {
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    ++done_seq_;
    in_flight_ = in_flight_ > 0 ? in_flight_ - 1 : 0;
    highest_sent_ = highest_sent_ > 0 ? highest_sent_ - 1 : 0;
    switch (job.command) {
      case Command::kWrite:
        bytes_done_ += job.dataBytes;
        break;
      case Command::kBaud:
        baud_outcomes_.push_back({rate_, true});
        baud_phase_ = BaudPhase::kNone;
        old_rate_ = 0;
        break;
      case Command::kLeave:
        leave_confirmed_ = true;
        break;
      case Command::kCrc:
        if (!job.resultSeen && job.expectedCrc) {
          // Executed, but its result was lost on the way: ask again before anything not yet
          // sent (frames already sent keep their sequence numbers).
          if (++job.crcTries >= kMaxCrcTries) {
            Fail(StatusCode::kOk, Word(job.body.data()), "the stub's CRC replies were lost");
            return;
          }
          job.resultSeen = false;
          jobs_.insert(jobs_.begin() + long(in_flight_), std::move(job));
        }
        break;
      default:
        break;
    }
  }
  if (count > 0) last_progress_ms_ = nowMs;
  if (jobs_.empty() && state_ == SenderState::kRunning) state_ = SenderState::kDone;
}

void StubSender::Fail(StatusCode code, uint32_t address, std::string text) {
  if (state_ == SenderState::kFailed) return;
  state_ = SenderState::kFailed;
  failure_ = {code, address, std::move(text)};
  control_out_.clear();
}

std::optional<uint64_t> StubSender::Deadline() const {
  switch (state_) {
    case SenderState::kDone:
    case SenderState::kFailed:
      return std::nullopt;
    case SenderState::kStarting:
      return std::max(last_reply_ms_, last_query_ms_) + kReplyTimeoutMs;
    case SenderState::kRunning:
      break;
  }
  if (baud_phase_ == BaudPhase::kAwaitConfirmed) return baud_switched_ms_ + kBaudConfirmMs;
  if (baud_phase_ == BaudPhase::kFallingBack) return baud_switched_ms_ + kBaudFallbackQueryMs;
  return std::max({last_reply_ms_, last_query_ms_, wire_free_ms_}) + kReplyTimeoutMs;
}

void StubSender::OnTimer(uint64_t nowMs) {
  const std::optional<uint64_t> due = Deadline();
  if (!due || *due > nowMs) return;
  if (baud_phase_ == BaudPhase::kAwaitConfirmed) {
    // No confirmation at the new rate: back to the old one, and ask there once the stub has
    // surely given up its trial too.
    rate_ = old_rate_;
    old_rate_ = 0;
    baud_phase_ = BaudPhase::kFallingBack;
    return;
  }
  if (baud_phase_ == BaudPhase::kFallingBack) {
    baud_phase_ = BaudPhase::kNone;
    Control(Command::kQuery, {}, nowMs);
    return;
  }
  if (state_ == SenderState::kRunning && in_flight_ > 0 &&
      jobs_.front().command == Command::kLeave && queries_unanswered_ >= 1) {
    // No answer to Leave nor to a Query after it: the stub has left, its last Status lost.
    // (Should a Query reach the ROM bootloader, it holds no 0x7F to sync it.)
    jobs_.clear();
    in_flight_ = 0;
    state_ = SenderState::kDone;
    return;
  }
  if (queries_unanswered_ >= kMaxQueries) {
    Fail(StatusCode::kOk, 0,
         state_ == SenderState::kStarting ? "the stub did not start" : "the stub does not answer");
    return;
  }
  if (state_ == SenderState::kRunning && nowMs - last_progress_ms_ >= kNoProgressMs) {
    Fail(StatusCode::kOk, 0, "the stub answers but executes nothing");
    return;
  }
  ++queries_unanswered_;
  query_outstanding_ = state_ == SenderState::kRunning;
  Control(state_ == SenderState::kStarting ? Command::kHello : Command::kQuery, {}, nowMs);
}

}  // namespace korvelt::stub
