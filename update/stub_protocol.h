#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

// The host's side of the flashing stub's protocol (stub/README.md): frames, the reply decoder
// and a sender that keeps the window. Pure code: bytes and times in, bytes out; the caller owns
// the port and the timer.
namespace korvelt::stub {

enum class Command : uint8_t {
  kHello = 0x01,        // unsequenced: answered with Ready
  kQuery = 0x02,        // unsequenced: answered with Status
  kConfirmBaud = 0x03,  // unsequenced: the first frame at a new rate
  kErasePages = 0x10,
  kEraseAll = 0x11,
  kWrite = 0x12,
  kCrc = 0x13,
  kBaud = 0x14,
  kLeave = 0x15,
};

enum class ReplyType : uint8_t {
  kReady = 0x80,
  kStatus = 0x81,
  kCrcResult = 0x82,
  kBaudReady = 0x83,
  kBaudConfirmed = 0x84,
};

enum class StatusCode : uint8_t {
  kOk = 0,
  kGap = 1,  // a frame was lost or damaged: send again from `expect`
  kEraseFailed = 2,
  kNotErased = 3,
  kWriteProtected = 4,
  kVerifyFailed = 5,
  kBadRange = 6,
  kBadCommand = 7,
  kBaudRefused = 8,
};
const char* StatusText(StatusCode code);

inline constexpr uint32_t kFlashStart = 0x08000000;
inline constexpr std::size_t kMaxData = 1024;  // data bytes in one Write frame
// The stub's own limits, for the host's timers: it returns to the ROM bootloader after this
// long without a valid frame, and undoes a rate switch not confirmed and used within the trial.
inline constexpr uint32_t kStubQuietMs = 2000;
inline constexpr uint32_t kStubBaudTrialMs = 300;
// The host's limits. A reply is due this long after the last frame has left the wire (the
// stub's slowest step, a mass erase, takes 40 ms; a CRC of 128 KiB about 0.2 s at 8 MHz).
inline constexpr uint32_t kReplyTimeoutMs = 500;
inline constexpr int kMaxQueries = 3;             // unanswered queries in a row: the stub is gone
inline constexpr uint32_t kNoProgressMs = 10000;  // answered, but nothing executed for this long
// After a switch the host waits this long for the stub's confirmation at the new rate, then
// goes back to the old rate and asks there once the stub's trial is surely over.
inline constexpr uint32_t kBaudConfirmMs = 150;
inline constexpr uint32_t kBaudFallbackQueryMs = kStubBaudTrialMs + 50;

// CRC-32 as zlib computes it (IEEE 802.3, reflected, init and final XOR all ones).
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

// A frame to the stub: a zero, then type, sequence number, body and CRC-32, COBS-encoded and
// ended by a zero. The leading zero ends whatever garbage came before.
std::vector<uint8_t> EncodeFrame(Command command, uint8_t seq, std::span<const uint8_t> body);
std::vector<uint8_t> CobsEncode(std::span<const uint8_t> bytes);
// Decodes one COBS frame (without its ending zero); nullopt if malformed.
std::optional<std::vector<uint8_t>> CobsDecode(std::span<const uint8_t> encoded);

struct Ready {
  uint8_t version = 0;
  uint8_t window = 0;  // frames the stub buffers
  uint16_t maxData = 0;
  uint16_t pageBytes = 0;
  uint16_t flashKib = 0;
  uint8_t done = 0;
  uint8_t expect = 0;
};
struct Status {
  uint8_t done = 0;    // every frame before this sequence number has been executed
  uint8_t expect = 0;  // the sequence number the stub takes next
  StatusCode code = StatusCode::kOk;
  uint32_t address = 0;
};
struct CrcResult {
  uint8_t seq = 0;
  uint32_t address = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
};
struct BaudReady {
  uint8_t seq = 0;
  uint32_t rate = 0;
};
struct BaudConfirmed {
  uint32_t rate = 0;
};
using Reply = std::variant<Ready, Status, CrcResult, BaudReady, BaudConfirmed>;

// The stub's replies, byte by byte: a reply comes out when the zero that ends it arrives and
// its CRC and size are right; anything else is counted and dropped.
class ReplyDecoder {
 public:
  std::optional<Reply> Feed(uint8_t byte);
  uint64_t damaged() const { return damaged_; }

 private:
  std::optional<Reply> Decode();
  std::vector<uint8_t> encoded_;
  bool overflow_ = false;
  uint64_t damaged_ = 0;
};

// How a conversation with the stub ended, or that it has not.
enum class SenderState { kStarting, kRunning, kDone, kFailed };

struct SenderFailure {
  StatusCode code = StatusCode::kOk;  // the stub's code, or kOk when the host gave up
  uint32_t address = 0;
  std::string text;
};

// The conversation with a started stub: waits for its Ready, then sends the queued commands in
// order, at most a window of them ahead of what the stub has executed; sends again from where
// the stub says after a Gap; asks with Query when a reply is overdue; fails on the stub's first
// error (with its address), on a CRC that differs from the image, or when the stub stops
// answering.
//
// A byte-driven caller: write TakeOutgoing()'s bytes whenever there are any (first setting its
// port to lineRate() if that changed), hand every received byte to OnByte(), and arm one timer
// for Deadline(), calling OnTimer() when it fires. No call blocks.
class StubSender {
 public:
  // The stub was started at `nowMs` with the port at `lineBaud`.
  StubSender(uint32_t lineBaud, uint64_t nowMs);

  // Commands, executed by the stub in this order.
  void ErasePages(uint32_t address, uint16_t count);
  void EraseAll();
  // `data` from `address` in Write frames of at most the stub's maximum; with `skipErased`,
  // frames whose bytes are all 0xFF are left out (the erase left them so). An odd start or
  // length is padded with 0xFF to whole half-words.
  void Write(uint32_t address, std::span<const uint8_t> data, bool skipErased = true);
  // Asks the stub for the CRC-32 of the flash range and compares it with `expected`'s.
  void Verify(uint32_t address, std::span<const uint8_t> expected);
  void SwitchBaud(uint32_t rate);
  void Leave();

  std::vector<uint8_t> TakeOutgoing(uint64_t nowMs);
  void OnByte(uint8_t byte, uint64_t nowMs);
  void OnTimer(uint64_t nowMs);
  std::optional<uint64_t> Deadline() const;

  SenderState state() const { return state_; }
  const SenderFailure& failure() const { return failure_; }
  const std::optional<Ready>& ready() const { return ready_; }
  uint32_t lineRate() const { return rate_; }
  // Data bytes in Write frames the stub has executed, and in all of them.
  uint64_t bytesDone() const { return bytes_done_; }
  uint64_t bytesTotal() const { return bytes_total_; }
  uint64_t framesSent() const { return frames_sent_; }
  uint64_t framesResent() const { return frames_resent_; }
  uint64_t queriesSent() const { return queries_sent_; }
  const std::vector<CrcResult>& crcResults() const { return crc_results_; }
  // Rate switches asked for, each with whether it now holds.
  struct BaudOutcome {
    uint32_t rate;
    bool accepted;
  };
  const std::vector<BaudOutcome>& baudOutcomes() const { return baud_outcomes_; }
  bool leaveConfirmed() const { return leave_confirmed_; }
  const ReplyDecoder& decoder() const { return decoder_; }

 private:
  struct Job {
    explicit Job(Command c) : command(c) {}
    Command command;
    std::vector<uint8_t> body;
    uint32_t dataBytes = 0;               // Write: data bytes
    std::optional<uint32_t> expectedCrc;  // Crc: what the image gives
    int crcTries = 0;                     // Crc: asked again after a lost result
    bool resultSeen = false;              // Crc: its result has come
  };
  // A rate switch: kNone until the stub's Baud Ready (and again once the switch is settled).
  enum class BaudPhase { kNone, kAwaitConfirmed, kCommitting, kFallingBack };

  void Add(Job job);
  void OnReply(const Reply& reply, uint64_t nowMs);
  void OnStatus(const Status& status, uint64_t nowMs);
  void Executed(std::size_t count, uint64_t nowMs);
  void Fail(StatusCode code, uint32_t address, std::string text);
  void Control(Command command, std::span<const uint8_t> body, uint64_t nowMs);
  uint8_t SeqAt(std::size_t index) const { return static_cast<uint8_t>(done_seq_ + index); }
  bool Blocked(std::size_t index) const;

  SenderState state_ = SenderState::kStarting;
  SenderFailure failure_;
  ReplyDecoder decoder_;
  std::optional<Ready> ready_;
  uint32_t rate_;
  std::deque<Job> jobs_;       // not yet executed; the front has sequence number done_seq_
  std::size_t in_flight_ = 0;  // jobs from the front that were sent since the last go-back
  uint8_t done_seq_ = 0;
  std::vector<uint8_t> control_out_;  // unsequenced frames waiting to go
  uint64_t last_reply_ms_ = 0;
  uint64_t last_query_ms_ = 0;
  uint64_t last_progress_ms_ = 0;
  uint64_t wire_free_ms_ = 0;  // when what was handed out has left the host's wire
  int queries_unanswered_ = 0;
  bool query_outstanding_ = false;  // a Query went out after the frames in flight
  uint64_t bytes_done_ = 0;
  uint64_t bytes_total_ = 0;
  uint64_t frames_sent_ = 0;
  uint64_t frames_resent_ = 0;
  uint64_t queries_sent_ = 0;
  std::size_t highest_sent_ = 0;  // jobs from the front ever sent (for counting resends)
  std::vector<CrcResult> crc_results_;
  std::vector<BaudOutcome> baud_outcomes_;
  BaudPhase baud_phase_ = BaudPhase::kNone;
  uint32_t old_rate_ = 0;  // while switched and not settled: the rate to go back to
  uint64_t baud_switched_ms_ = 0;
  bool leave_confirmed_ = false;
};

}  // namespace korvelt::stub
