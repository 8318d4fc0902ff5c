#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include <memory>
#include <string>

#include "sim/command_frame_assembler.h"

namespace korvelt::sim {

// One byte the unit sends, and when (in the model's own milliseconds).
struct TimedByte {
  uint64_t atMs;
  uint8_t byte;
};

// A block of an upload as the unit received it.
struct BlockSeen {
  uint64_t frameIndex;  // counts every block frame, resends included
  uint8_t kind;         // 0x00 FPGA, 0x01 AUX FPGA, 0x30 NAND, 0x21 data flash
  uint16_t number;
  bool last;
  uint8_t headerDeviceType;
};

// How the unit answers one block; anything but kAccept leaves the block unstored.
enum class BlockAnswer {
  kAccept,
  kNack,         // status 1: "send it again"
  kNoAnswer,     // the acknowledgement is lost
  kBadChecksum,  // the acknowledgement arrives damaged
  kWrongMagic,   // payload 'x', 'y' instead of 'x', 'x'
  kMachineFF,    // the acknowledgement carries machine address 0xFF
};

// How the firmware answers a bootloader request, by firmware version.
enum class BannerVariant {
  kIsp,                   // "... ISP MODE..." and a carriage return
  kNone,                  // says nothing
  kTwoDots,               // "... ISP MODE.." and a carriage return
  kLineFeedBeforeReturn,  // "... ISP MODE..." then a line feed, then a carriage return
  kFallbackUbd07,         // "UBD 07" and a carriage return, and stays in the firmware
};

struct Stm32Config;
class Stm32BootloaderModel;
struct InputBoardConfig;
class InputBoardModel;

// Where the line to the MCU's bootloader is cut, for tests of interrupted updates: from the
// moment the bootloader has done the thing named, bytes either way are lost for `forMs`.
struct LineCut {
  enum class When {
    kSync,         // the bootloader took its sync byte
    kGet,          // it took the Get command
    kErase,        // it erased its flash
    kWriteBlock,   // it wrote its `block`-th block (1-based)
    kVectorBlock,  // it wrote the block at the flash start
    kVerify,       // it took the first Read Memory after a write
    kGo,           // it took the Go command
  };
  When when = When::kSync;
  uint32_t block = 1;
  uint32_t forMs = 10000;
};

struct InstrumentConfig {
  uint8_t deviceType = 0;  // 0 signal generator, 1 signal analyzer, 2..7 further types
  uint8_t group = 0x01;
  uint8_t machine = 0x01;
  bool silent = false;                  // answers nothing
  std::optional<uint8_t> answerAsType;  // answers the probe as another device type
  uint32_t replyDelayMs = 2;            // from the end of a command to the first reply byte
  uint32_t replyByteGapMs = 0;          // between reply bytes
  bool corruptSearchChecksum = false;   // the probe answer carries a wrong checksum
  uint32_t blockProcessingMs = 0;       // from a block's last byte to its acknowledgement
  uint32_t nackEvery = 0;               // refuse the first try of every n-th block
  std::function<BlockAnswer(const BlockSeen&)> blockFault;  // decides per block if set
  BannerVariant banner = BannerVariant::kIsp;
  // Set: the MCU request is answered with the fallback line "UBD 07" first and with the ISP
  // banner this many ms later, as firmware that reports a status before it restarts does.
  std::optional<uint32_t> bannerAfterFallbackMs;
  std::shared_ptr<Stm32Config> stm32;  // the main MCU's bootloader; defaults if unset
  bool startInBootloader = false;      // the MCU waits in its bootloader from the start
  std::optional<LineCut> lineCut;      // once, in an MCU update
  // The firmware an MCU update starts answers the probe as this type: the wrong image.
  std::optional<uint8_t> startsAsType;
  std::shared_ptr<InputBoardConfig> inputBoard;  // the input boards; defaults if unset
  // Set: after this many accepted blocks the firmware crashes and restarts for ever, writing
  // its boot line every kBootLoopMs and answering nothing (until the unit is powered again).
  std::optional<uint32_t> bootLoopAfterBlocks;
};

// What the unit's memories hold after uploads, per kind byte.
struct UploadedImage {
  std::vector<uint8_t> bytes;  // placed by block number, 256 bytes a block
  uint64_t blocksAccepted = 0;
  bool lastBlockAccepted = false;
  uint16_t lastBlockNumber = 0;
};

// The running firmware of a unit, as far as the updater talks to it: it takes the bytes the
// host sends and produces the bytes the unit answers, with their times.
class InstrumentModel {
 public:
  // kNoFirmware: the flash's first word is erased, so the part runs nothing and, with BOOT0
  // low, does not start its bootloader either; only a debug probe or a jumper brings it back.
  enum class Mode { kFirmware, kStm32Bootloader, kInputBoardLoader, kNoFirmware };

  explicit InstrumentModel(InstrumentConfig config);
  ~InstrumentModel();

  static constexpr uint64_t kBootLoopMs = 100;

  // Bytes the host sent, at the model's time `nowMs`.
  void Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count);
  // One byte the line damaged on its way (a noisy line): what the unit does with it is the
  // same; it only counts a block it takes with such a byte (its checksum did not show it).
  void ReceiveDamaged(uint64_t nowMs, uint8_t byte);
  // Time passes with nothing received: what the unit says by itself (a boot loop's lines).
  void Tick(uint64_t nowMs);
  // What the unit has to send, in time order; taken once.
  std::vector<TimedByte> TakeOutput();
  // Lets the unit's time reach `nowMs` with nothing received: code the MCU runs from RAM (the
  // flashing stub) goes on meanwhile.
  void AdvanceTo(uint64_t nowMs);
  // The rate the host's port runs at; the MCU's link garbles what it cannot carry.
  void SetHostBaud(uint32_t baud);
  // The MCU runs code from its RAM (the flashing stub), which keeps time of its own.
  bool mcuRunsRamCode() const;

  InstrumentConfig& config() { return config_; }
  uint64_t framesSeen() const { return frames_seen_; }
  uint64_t probesAnswered() const { return probes_answered_; }
  const std::map<uint8_t, UploadedImage>& uploads() const { return uploads_; }
  uint64_t blockFramesSeen() const { return block_frames_; }
  // Blocks taken although the line had damaged them: a noisy line's errors that cancel in the
  // frame's checksum. Nothing the host does can tell them.
  uint64_t damagedBlocksTaken() const { return damaged_blocks_taken_; }
  uint64_t badFrames() const { return assembler_.badChecksums() + assembler_.malformed(); }
  Mode mode() const { return mode_; }
  bool bootLooping() const { return boot_looping_; }
  // Power off and on: the firmware in the MCU's flash runs again (the flash keeps what was
  // written), or nothing does when the flash's first word is erased.
  void PowerCycle();
  // The line is cut until `untilMs`: what either side sends meanwhile is lost.
  void CutLine(uint64_t untilMs);
  bool LineCutAt(uint64_t ms) const { return ms >= cut_from_ && ms < cut_until_; }
  Stm32BootloaderModel& mcu() { return *mcu_; }
  // The input board that the last input-board request addressed.
  InputBoardModel& inputBoard() { return *input_board_model_; }
  const std::vector<std::string>& textCommands() const { return text_commands_; }
  // The sub-MCU selector of the last sub-MCU request ("20" for the LAN MCU), if any.
  const std::string& subMcuRequested() const { return sub_mcu_; }
  int inputBoardRequested() const { return input_board_; }

 private:
  void OnFrame(const std::vector<uint8_t>& frame);
  void OnTextByte(uint8_t byte);
  void OnTextLine(const std::string& line);
  void SendText(const std::string& text);
  void SendIspBanner();
  bool Addressed(uint8_t group, uint8_t machine) const;
  void Send(const std::vector<uint8_t>& bytes, uint32_t extraDelayMs = 0);
  void OnBlock(const std::vector<uint8_t>& frame);
  void AfterBootloaderByte();
  bool CutDue() const;
  BlockAnswer DecideBlock(const BlockSeen& block);

  InstrumentConfig config_;
  CommandFrameAssembler assembler_;
  uint64_t now_ = 0;
  uint64_t busy_until_ = 0;  // the unit answers one thing after another
  std::vector<TimedByte> output_;
  uint64_t frames_seen_ = 0;
  uint64_t probes_answered_ = 0;
  uint64_t block_frames_ = 0;
  uint64_t distinct_blocks_ = 0;
  uint64_t damaged_blocks_taken_ = 0;
  std::optional<uint16_t> refused_block_;  // the block refused last, taken on its next try
  std::map<uint8_t, UploadedImage> uploads_;
  Mode mode_ = Mode::kFirmware;
  std::unique_ptr<Stm32BootloaderModel> mcu_;
  std::unique_ptr<InputBoardModel> input_board_model_;
  std::string line_;
  std::vector<std::string> text_commands_;
  std::string sub_mcu_;
  int input_board_ = 0;
  uint64_t cut_from_ = 0;
  uint64_t cut_until_ = 0;
  bool cut_done_ = false;
  uint64_t flash_starts_seen_ = 0;
  uint64_t writes_at_first_read_ = 0;
  bool boot_looping_ = false;
  uint64_t next_boot_line_ms_ = 0;
};

}  // namespace korvelt::sim
