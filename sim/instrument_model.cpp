#include "sim/instrument_model.h"

#include <algorithm>

#include "protocol/frame.h"
#include "sim/input_board_model.h"
#include "sim/stm32_bootloader_model.h"

namespace korvelt::sim {

InstrumentModel::InstrumentModel(InstrumentConfig config)
    : config_(config),
      assembler_([this](const std::vector<uint8_t>& frame) { OnFrame(frame); },
                 [this](uint8_t byte) { OnTextByte(byte); }),
      mcu_(std::make_unique<Stm32BootloaderModel>(config.stm32 ? *config.stm32 : Stm32Config{})),
      input_board_model_(std::make_unique<InputBoardModel>(
          config.inputBoard ? *config.inputBoard : InputBoardConfig{})) {
  PowerCycle();
}

InstrumentModel::~InstrumentModel() = default;

void InstrumentModel::PowerCycle() {
  if (config_.startInBootloader) {
    mode_ = Mode::kStm32Bootloader;
  } else {
    mode_ = mcu_->FirstWordErased() ? Mode::kNoFirmware : Mode::kFirmware;
  }
  mcu_->Reset();
  assembler_.Reset();
  line_.clear();
  boot_looping_ = false;
}

void InstrumentModel::Tick(uint64_t nowMs) {
  if (!boot_looping_) return;
  static const std::string kBootLine = "KORVELT BOOT\r\n";
  for (; next_boot_line_ms_ <= nowMs; next_boot_line_ms_ += kBootLoopMs) {
    uint64_t at = next_boot_line_ms_;
    for (char c : kBootLine) output_.push_back({at++, static_cast<uint8_t>(c)});
  }
}

void InstrumentModel::CutLine(uint64_t untilMs) {
  cut_from_ = now_;
  cut_until_ = untilMs;
}

bool InstrumentModel::CutDue() const {
  using W = LineCut::When;
  const LineCut& cut = *config_.lineCut;
  const Stm32BootloaderModel& mcu = *mcu_;
  switch (cut.when) {
    case W::kSync:
      return mcu.synced();
    case W::kGet:
      return mcu.commandsTaken(0x00) > 0;
    case W::kErase:
      return mcu.erases() > 0;
    case W::kWriteBlock:
      return mcu.writesAccepted() >= cut.block;
    case W::kVectorBlock:
      return mcu.lastWriteAddress() == Stm32BootloaderModel::kFlashStart;
    case W::kVerify:
      return mcu.writesAccepted() > 0 && mcu.commandsTaken(0x11) > writes_at_first_read_;
    case W::kGo:
      return mcu.commandsTaken(0x21) > 0;
  }
  return false;
}

void InstrumentModel::AfterBootloaderByte() {
  if (config_.lineCut && !cut_done_) {
    // The identity reads come before the writes; a read after them is the read-back's.
    if (mcu_->writesAccepted() == 0) writes_at_first_read_ = mcu_->commandsTaken(0x11);
    if (CutDue()) {
      cut_done_ = true;
      CutLine(now_ + config_.lineCut->forMs);
    }
  }
  if (mcu_->flashStarts() != flash_starts_seen_) {
    // Go to the flash start: the firmware runs, if there is one.
    flash_starts_seen_ = mcu_->flashStarts();
    mode_ = mcu_->FirstWordErased() ? Mode::kNoFirmware : Mode::kFirmware;
    if (config_.startsAsType) config_.answerAsType = config_.startsAsType;
    mcu_->Reset();
    assembler_.Reset();
    line_.clear();
  }
}

void InstrumentModel::Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count) {
  now_ = nowMs;
  if (LineCutAt(nowMs)) return;  // lost on the way
  for (std::size_t i = 0; i < count; ++i) {
    switch (mode_) {
      case Mode::kFirmware:
        assembler_.Feed(bytes[i], nowMs);
        break;
      case Mode::kNoFirmware:
        break;
      case Mode::kStm32Bootloader:
        if (config_.silent) break;  // a silent unit answers nothing at all
        mcu_->Receive(nowMs, bytes + i, 1);
        AfterBootloaderByte();
        break;
      case Mode::kInputBoardLoader:
        if (input_board_model_->FinishedBy(nowMs)) {
          // The board restarted after its update: the firmware has the link again.
          mode_ = Mode::kFirmware;
          assembler_.Reset();
          line_.clear();
          assembler_.Feed(bytes[i], nowMs);
          break;
        }
        input_board_model_->Receive(nowMs, bytes + i, 1);
        break;
    }
  }
}

void InstrumentModel::AdvanceTo(uint64_t nowMs) {
  if (mode_ == Mode::kStm32Bootloader) mcu_->AdvanceTo(nowMs);
}

void InstrumentModel::SetHostBaud(uint32_t baud) {
  mcu_->SetHostBaud(baud);
}

bool InstrumentModel::mcuRunsRamCode() const {
  return mode_ == Mode::kStm32Bootloader && mcu_->runningRamCode();
}

void InstrumentModel::ReceiveDamaged(uint64_t nowMs, uint8_t byte) {
  if (mode_ != Mode::kFirmware) {
    Receive(nowMs, &byte, 1);
    return;
  }
  now_ = nowMs;
  assembler_.Feed(byte, nowMs, true);
}

std::vector<TimedByte> InstrumentModel::TakeOutput() {
  std::vector<TimedByte> out;
  out.swap(output_);
  for (const TimedByte& byte : mcu_->TakeOutput()) out.push_back(byte);
  for (const TimedByte& byte : input_board_model_->TakeOutput()) out.push_back(byte);
  if (cut_until_ > cut_from_) {
    std::erase_if(out, [this](const TimedByte& b) { return LineCutAt(b.atMs); });
  }
  return out;
}

void InstrumentModel::SendText(const std::string& text) {
  Send(std::vector<uint8_t>(text.begin(), text.end()));
}

void InstrumentModel::OnTextByte(uint8_t byte) {
  if (byte == '\r' || byte == '\n') {
    if (!line_.empty()) OnTextLine(line_);
    line_.clear();
    return;
  }
  if (line_.size() < 64) line_.push_back(static_cast<char>(byte));
}

void InstrumentModel::SendIspBanner() {
  switch (config_.banner) {
    case BannerVariant::kIsp:
      SendText("KORVELT ISP MODE...\r");
      break;
    case BannerVariant::kNone:
      break;
    case BannerVariant::kTwoDots:
      SendText("KORVELT ISP MODE..\r");
      break;
    case BannerVariant::kLineFeedBeforeReturn:
      SendText("KORVELT ISP MODE...\n\r");
      break;
    case BannerVariant::kFallbackUbd07:
      SendText("UBD 07\r");
      break;
  }
}

void InstrumentModel::OnTextLine(const std::string& line) {
  if (config_.silent || boot_looping_) return;
  text_commands_.push_back(line);
  static const std::string kSubRequest = "UBP 32 2 ";
  if (line == "ISP 32 1" && config_.bannerAfterFallbackMs) {
    SendText("UBD 07\r");
    const std::string banner = "KORVELT ISP MODE...\r";
    Send(std::vector<uint8_t>(banner.begin(), banner.end()), *config_.bannerAfterFallbackMs);
    mode_ = Mode::kStm32Bootloader;
  } else if (line == "ISP 32 1") {
    SendIspBanner();
    // The firmware restarts in the MCU's bootloader, unless it only answered with a status.
    if (config_.banner != BannerVariant::kFallbackUbd07 && config_.banner != BannerVariant::kNone) {
      mode_ = Mode::kStm32Bootloader;
    }
  } else if (line.rfind(kSubRequest, 0) == 0 && line.size() == kSubRequest.size() + 2) {
    sub_mcu_ = line.substr(kSubRequest.size());
    SendIspBanner();
  } else if (line.rfind(kSubRequest, 0) == 0 && line.size() == kSubRequest.size() + 1) {
    input_board_ = line.back() - '0';
    input_board_model_ = std::make_unique<InputBoardModel>(config_.inputBoard ? *config_.inputBoard
                                                                              : InputBoardConfig{});
    SendText("UBD 0" + line.substr(kSubRequest.size()) + "\r");
    mode_ = Mode::kInputBoardLoader;
  }
}

bool InstrumentModel::Addressed(uint8_t group, uint8_t machine) const {
  if (group == 0x00 && machine == 0x00) return true;   // everybody, with replies
  if (group == 0xFF && machine == 0xFF) return false;  // everybody, no replies
  if (group != config_.group) return false;
  return machine == 0x00 || machine == config_.machine;
}

void InstrumentModel::Send(const std::vector<uint8_t>& bytes, uint32_t extraDelayMs) {
  uint64_t at = std::max(now_ + config_.replyDelayMs + extraDelayMs, busy_until_);
  for (uint8_t byte : bytes) {
    output_.push_back({at, byte});
    at += config_.replyByteGapMs;
  }
  busy_until_ = at;
}

void InstrumentModel::OnFrame(const std::vector<uint8_t>& frame) {
  ++frames_seen_;
  if (config_.silent || boot_looping_ || !Addressed(frame[5], frame[6])) return;
  const uint16_t command = static_cast<uint16_t>(frame[7] | (frame[8] << 8));
  if (command == kSearchCommand && frame[1] == config_.deviceType) {
    const uint8_t type = config_.answerAsType.value_or(config_.deviceType);
    auto reply = BuildFrame(kReplyStart, {type, 0, config_.group, config_.machine}, kSearchCommand,
                            {type, 0x00});
    if (config_.corruptSearchChecksum) reply.back() ^= 0x5A;
    ++probes_answered_;
    Send(reply);
  } else if (command == kBlockCommand && frame.size() == 270) {
    OnBlock(frame);
  }
}

BlockAnswer InstrumentModel::DecideBlock(const BlockSeen& block) {
  if (config_.blockFault) return config_.blockFault(block);
  if (config_.nackEvery > 0 && (distinct_blocks_ + 1) % config_.nackEvery == 0 &&
      refused_block_ != block.number) {
    return BlockAnswer::kNack;
  }
  return BlockAnswer::kAccept;
}

void InstrumentModel::OnBlock(const std::vector<uint8_t>& frame) {
  const uint8_t* payload = frame.data() + kFrameHeaderBytes;
  BlockSeen block{block_frames_++, payload[0],
                  static_cast<uint16_t>(payload[1] | (payload[2] << 8)), payload[3] == 0x40,
                  frame[1]};
  const BlockAnswer answer = DecideBlock(block);
  uint8_t status = 0;
  if (answer == BlockAnswer::kAccept) {
    refused_block_.reset();
    ++distinct_blocks_;
    UploadedImage& image = uploads_[block.kind];
    const std::size_t offset = static_cast<std::size_t>(block.number) * 256;
    if (image.bytes.size() < offset + 256) image.bytes.resize(offset + 256);
    std::copy(payload + 4, payload + 260, image.bytes.begin() + static_cast<long>(offset));
    ++image.blocksAccepted;
    if (assembler_.lastFrameDamaged()) ++damaged_blocks_taken_;
    if (block.last) {
      image.lastBlockAccepted = true;
      image.lastBlockNumber = block.number;
      image.bytes.resize(offset + 256);  // the image ends with its last block
    }
    if (config_.bootLoopAfterBlocks && distinct_blocks_ >= *config_.bootLoopAfterBlocks) {
      boot_looping_ = true;  // it crashes while it stores the block: no acknowledgement
      next_boot_line_ms_ = now_;
      return;
    }
  } else {
    refused_block_ = block.number;
    status = 1;
  }
  if (answer == BlockAnswer::kNoAnswer) return;
  std::vector<uint8_t> ackPayload = {
      0x78, answer == BlockAnswer::kWrongMagic ? uint8_t{0x79} : uint8_t{0x78}, status};
  const uint8_t machine = answer == BlockAnswer::kMachineFF ? 0xFF : config_.machine;
  auto ack = BuildFrame(kReplyStart, {config_.deviceType, 0, config_.group, machine},
                        kBlockAckCommand, ackPayload);
  if (answer == BlockAnswer::kBadChecksum) ack.back() ^= 0x01;
  Send(ack, config_.blockProcessingMs);
}

}  // namespace korvelt::sim
