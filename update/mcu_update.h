#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/window_services.h"
#include "update/mcu_image.h"
#include "update/mcu_stub_session.h"
#include "update/stm32_boot_client.h"

namespace korvelt {

class UpdaterDialog;
class PortOperations;
class NotificationChannel;

// How a front end wants MCU updates done; given before the update button is pressed.
struct McuUpdateOptions {
  // The dialog writes with its long-standing pacing; korvelt-cli and the dialog's --fast-mcu
  // with the acknowledged one.
  Stm32Pacing pacing = Stm32Pacing::kWritten;
  bool verify = false;    // read every written block back and compare
  std::string imageFile;  // not empty: recognised by its content, instead of the fixed path
  // Acknowledged pacing: after a verified write, Go to the flash base starts the new firmware.
  bool start = false;
  // Acknowledged pacing: the image goes through the flashing stub (stub/), loaded into the
  // MCU's RAM after the identity reads, and is checked by CRC-32 there; when the stub does not
  // answer, the ROM bootloader's own commands write the image in the same update.
  bool stub = false;
  // With `stub`: the line rate the stub and the port switch to for the image; 0 keeps the
  // port's rate. A rate the link cannot carry falls back to the port's.
  uint32_t stubBaud = 0;
};

// The MCU update through the STM32 bootloader: from the ISP banner to the port shown closed.
// The window keeps what its design names (m_bStm32Mode, m_stm32State, m_stm32Address,
// m_stm32Tx, m_stm32TxLen, m_imagePos, g_nStm32SubStep, timers 8, 9 and 10) and forwards the
// received bytes and the timers here; everything else of the conversation lives in this object.
class McuUpdate {
 public:
  McuUpdate(UpdaterDialog& window, WindowServices& services, PortOperations& port,
            NotificationChannel* channel);

  void Configure(McuUpdateOptions options) { options_ = std::move(options); }
  const McuUpdateOptions& options() const { return options_; }

  // The update button: the image is loaded. The written pacing sends the ISP request; the
  // acknowledged pacing first looks for a bootloader already waiting on the line (an update
  // cut before), and sends the request when none answers.
  void Request();
  // The firmware answered the ISP request again with its fallback line: the request went out
  // once more, and the wait for the banner starts again.
  void RequestRepeated();
  // The request is forgotten (another start, an abandon): no banner is waited for any more.
  void ForgetRequest();
  // The ISP banner came and the image is loaded: the port is reopened for the bootloader
  // (timer 8's first tick in the written pacing, at once in the acknowledged one).
  void Begin();
  void OnByte(uint8_t byte);  // m_bStm32Mode is 1
  void OnSyncTimer();         // timer 8
  void OnSendTimer();         // timer 9
  void OnReplyTimer();        // timer 10
  void OnCheckTimer();        // timer 11: the banner's wait, the check for a bootloader
  void OnStubTimer();         // timer 12: the flashing stub's deadline, the wait for its exit
  void OnTxDone();            // a write has left: the stub's stream goes on
  // The operator ended the update (Close Port, a search, a port choice, closing the window):
  // no success, no box.
  void Abandon();

  // From the banner until the window shows the port closed.
  bool running() const { return running_; }
  bool verified() const { return verified_; }
  const McuFacts& facts() const { return facts_; }
  uint32_t failedBlocks() const { return failed_blocks_; }

  // The ranges of the image buffer that hold data, as offsets from the flash base; empty: the
  // whole buffer (a raw binary). Every load of the buffer sets them.
  void SetImageRanges(std::vector<McuRange> ranges) { image_ranges_ = std::move(ranges); }

 private:
  bool acknowledged() const { return options_.pacing == Stm32Pacing::kAcknowledged; }
  const Stm32PacingTable& pacing() const { return PacingTable(options_.pacing); }

  // Why the line is checked for a bootloader, and so what silence means.
  enum class CheckPurpose {
    kBeforeRequest,  // the button, acknowledged pacing: silence sends the ISP request
    kAfterNoBanner,  // no banner within its wait: silence means nobody is there
    kRetry,          // a write attempt failed: silence ends the update
    kStubFallback,   // the stub did not answer: the ROM bootloader writes the image
    kAfterStub,      // the stub wrote and checked the image and left: Go follows
    // A block's answer did not come: a byte of it may have been lost, and the bootloader may
    // still wait for the rest. Filler completes it; the block then goes again.
    kResyncBlock,
  };
  void BeginCheck(CheckPurpose purpose);
  void SendFiller();
  void CheckStep(uint8_t byte);
  void NobodyAnswered();
  void Synced();
  bool ReopenPort(char parity, int baudRate = 0);  // 0: the window's rate
  void ResetConversation();
  void StartVectorPhase();
  void FinishImage();
  void GoStep(uint8_t byte);

  // The flashing stub (mcu_update_stub.cpp): loaded with Write Memory, read back, started
  // with Go, then the image through McuStubSession.
  bool UseStub() const { return acknowledged() && options_.stub && !stub_refused_; }
  void StartStubLoad();
  void SendStubBlock();
  void StubLoadStep(uint8_t byte);
  void StartStubCheck();
  void StubCheckStep(uint8_t byte);
  void StubGoStep(uint8_t byte);
  void StubTimedOut();
  // The ROM bootloader refused a part of the stub's start: it waits for a command again, and
  // writes the image itself.
  void StubRefused();
  void StartStubSession();
  void StubByte(uint8_t byte);
  void PumpStub();
  void StubEnded();
  void ReportStubProgress();
  // A stub that may still run returns to the ROM bootloader after 2 s without a valid frame;
  // the line is checked for the bootloader once that is surely over.
  void AwaitStubExit(CheckPurpose then);
  void EndStubStream();
  void NoteStubWrite(std::size_t bytes);
  uint64_t VerifyTotal() const;
  unsigned EraseTimeoutMs() const;
  void BadVerifyPiece(FailureKind kind, const std::string& why, uint32_t address);
  void Step(uint8_t byte, bool substitute);
  void EnterSync();
  void ReplyStep(uint8_t byte, bool ack);
  void IdentityReadStep(uint8_t byte, uint32_t address, uint32_t length);
  void StartErase();
  void StartRomErase();
  void EraseStep(uint8_t byte, bool substitute);
  void StartWrites();
  void WriteStep(uint8_t byte, bool substitute);
  void BuildAndScheduleDataBlock();
  // `answered`: the bootloader refused, so it waits for a command; else it may not.
  void RetryBlock(bool answered);
  void FinishBlock(bool accepted);
  void FinishWrites();
  void StartVerify();
  void SendVerifyRead();
  void VerifyStep(uint8_t byte);
  void TimedOut();
  // A NACK where the pacing takes it as a refusal ends the update: true then.
  bool Refused(uint8_t byte, const char* command);

  void SendAfter(unsigned pauseMs, std::span<const uint8_t> bytes);
  void SendCommand(Stm32Command command, unsigned pauseMs);
  void Schedule(std::span<const uint8_t> bytes, unsigned delayMs);
  void ScheduleWriteCommand(unsigned delayMs, unsigned replyTimeoutMs);
  void SendTx(unsigned delayMs);
  void ArmReply(unsigned timeoutMs);
  void ReportProgress(ProgressPhase phase, uint64_t done, uint64_t total);

  // The one way out of the conversation, for success, failure and abandon alike: bytes go to
  // the reply parser again, the next port opened speaks 8N1, timers 8 and 9 stop.
  void LeaveConversation();
  void Succeed();
  // A failure after the erase began starts the write again from a fresh sync, up to
  // kMaxWriteAttempts in all (acknowledged pacing); any other ends the update.
  void Fail(FailureKind kind, const std::string& why, std::optional<uint32_t> address = {});
  void FailFinally(FailureKind kind, const std::string& why, std::optional<uint32_t> address);
  void Refuse(FailureKind kind, const std::string& wholeText);
  void End(OperationResult result, const std::string& boxText);

  UpdaterDialog& window_;
  WindowServices& services_;
  PortOperations& port_;
  NotificationChannel* channel_;
  McuUpdateOptions options_;

  bool running_ = false;
  bool port_reopened_ = false;       // timer 8 has reopened the port with even parity
  bool send_pending_ = false;        // bytes wait for timer 9; nothing can have answered them yet
  int sync_ticks_ = 0;               // sync bytes sent without an answer
  bool waiting_for_banner_ = false;  // timer 11 waits for the ISP banner
  CheckPurpose check_purpose_ = CheckPurpose::kBeforeRequest;
  int read_refusals_ = 0;         // Read Memory of the flash refused: twice means read protection
  int verify_reads_done_ = 0;     // reads of the piece in flight: a damaged one is read again
  bool verify_draining_ = false;  // a bad piece's bytes are let pass before it is read again
  bool filler_sent_ = false;      // the check sent filler: its answers end with a settle
  // This update reached the bootloader through the firmware's banner and has not begun to
  // erase: the old firmware is whole, and re-powering the unit is safe.
  bool firmware_whole_ = false;
  int write_attempts_ = 0;  // whole writes, each from a fresh sync
  struct Failure {
    FailureKind kind = FailureKind::kNone;
    std::string why;
    std::optional<uint32_t> address;
  } last_failure_;
  std::vector<McuRange> image_ranges_;
  // What the bootloader tells about itself.
  std::vector<uint8_t> reply_;  // a Get or Get ID reply between its acknowledgements
  McuFacts facts_;
  // The blocks to write and the blocks the read-back checks.
  std::vector<McuRange> blocks_;
  std::vector<McuRange> checked_blocks_;
  // The block at the flash base (the vector table) goes last: written after every other block
  // is written and read back, so that a cut anywhere before leaves the first word erased.
  std::optional<McuRange> vector_write_;
  std::vector<McuRange> vector_checked_;
  bool vector_phase_ = false;   // the writes and reads in flight are the vector table's
  uint64_t bytes_written_ = 0;  // the acknowledged pacing's progress
  uint64_t write_total_ = 0;
  std::size_t block_index_ = 0;
  uint32_t block_start_ = 0;  // image offset of the block in flight
  int attempts_ = 0;          // tries of the block in flight
  uint32_t failed_blocks_ = 0;
  uint32_t first_failed_address_ = 0;
  std::vector<McuRange> verify_reads_;
  std::size_t verify_index_ = 0;
  uint32_t verified_bytes_ = 0;
  bool verified_ = false;     // the last update read every block back and found it right
  bool identified_ = false;   // the bootloader's facts were all read
  bool go_accepted_ = false;  // the MCU took Go to the flash base

  // The flashing stub.
  bool stub_refused_ = false;  // this update writes through the ROM bootloader after all
  std::vector<uint8_t> stub_image_;
  std::size_t stub_offset_ = 0;  // the stub's block in flight, or the next to read back
  int stub_attempts_ = 0;
  bool stub_differs_ = false;  // the read-back found a byte other than written
  bool stub_may_run_ = false;  // Go to the stub went out and it has not left
  std::unique_ptr<McuStubSession> stub_session_;
  int stub_writes_ = 0;             // port writes of the stream not yet done
  int port_rate_ = 0;               // the rate the port was reopened at; 0: the window's
  uint64_t stub_wire_free_ms_ = 0;  // when the bytes written so far have reached the part
  std::optional<uint64_t> stub_deadline_;
  CheckPurpose stub_then_ = CheckPurpose::kStubFallback;
  uint64_t stub_reported_ = 0;  // progress last reported
  bool stub_verifying_ = false;
};

}  // namespace korvelt
