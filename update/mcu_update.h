#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/window_services.h"
#include "update/mcu_image.h"
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

  // The ISP banner came and the image is loaded: timer 8 reopens the port for the bootloader.
  void Begin();
  void OnByte(uint8_t byte);  // m_bStm32Mode is 1
  void OnSyncTimer();         // timer 8
  void OnSendTimer();         // timer 9
  void OnReplyTimer();        // timer 10
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

  void Step(uint8_t byte, bool substitute);
  void EnterSync();
  void ReplyStep(uint8_t byte, bool ack);
  void IdentityReadStep(uint8_t byte, uint32_t address, uint32_t length);
  void StartErase();
  void EraseStep(uint8_t byte, bool substitute);
  void StartWrites();
  void WriteStep(uint8_t byte, bool substitute);
  void BuildAndScheduleDataBlock();
  void RetryBlock();
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
  void Fail(FailureKind kind, const std::string& why, std::optional<uint32_t> address = {});
  void Refuse(FailureKind kind, const std::string& wholeText);
  void End(OperationResult result, const std::string& boxText);

  UpdaterDialog& window_;
  WindowServices& services_;
  PortOperations& port_;
  NotificationChannel* channel_;
  McuUpdateOptions options_;

  bool running_ = false;
  bool port_reopened_ = false;  // timer 8 has reopened the port with even parity
  bool send_pending_ = false;   // bytes wait for timer 9; nothing can have answered them yet
  int sync_ticks_ = 0;          // sync bytes sent without an answer
  std::vector<McuRange> image_ranges_;
  // What the bootloader tells about itself.
  std::vector<uint8_t> reply_;  // a Get or Get ID reply between its acknowledgements
  McuFacts facts_;
  // The blocks to write and the blocks the read-back checks.
  std::vector<McuRange> blocks_;
  std::vector<McuRange> checked_blocks_;
  std::size_t block_index_ = 0;
  uint32_t block_start_ = 0;  // image offset of the block in flight
  int attempts_ = 0;          // tries of the block in flight
  uint32_t failed_blocks_ = 0;
  uint32_t first_failed_address_ = 0;
  std::vector<McuRange> verify_reads_;
  std::size_t verify_index_ = 0;
  uint32_t verified_bytes_ = 0;
  bool verified_ = false;    // the last update read every block back and found it right
  bool identified_ = false;  // the bootloader's facts were all read
};

}  // namespace korvelt
