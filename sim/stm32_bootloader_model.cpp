#include "sim/stm32_bootloader_model.h"

#include <algorithm>

namespace korvelt::sim {

namespace {

constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;
constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kBootloaderVersion = 0x22;
constexpr uint8_t kCommands[] = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92};
constexpr std::size_t kEraseCommandIndex = 6;
constexpr uint8_t kExtendedEraseCommand = 0x44;

// A byte sent or received at a rate the link cannot carry.
uint8_t Garble(uint8_t byte) {
  return static_cast<uint8_t>((byte ^ 0xA5) + 0x3B);
}

}  // namespace

Stm32BootloaderModel::Stm32BootloaderModel(Stm32Config config)
    : config_(config), flash_(config.flashBytes, 0xFF), ram_(kRamBytes, 0x00) {
  // A factory firmware's vector table: the initial stack pointer and the reset handler.
  static const std::vector<uint8_t> kFactoryFirmware = {0x00, 0x50, 0x00, 0x20,
                                                        0x01, 0x01, 0x00, 0x08};
  const auto& contents = config_.flashContents.empty() && config_.factoryFirmware
                             ? kFactoryFirmware
                             : config_.flashContents;
  const std::size_t kept = std::min(contents.size(), flash_.size());
  std::copy_n(contents.begin(), kept, flash_.begin());
}

Stm32BootloaderModel::~Stm32BootloaderModel() = default;

void Stm32BootloaderModel::Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count) {
  now_ = nowMs;
  if (emulator_) {
    emulator_->RunUntil(nowMs);
    if (emulator_->exit() == Stm32Exit::kRunning) {
      emulator_->Receive(nowMs, bytes, count);
      return;
    }
    TakeBackFromRamCode();
    now_ = nowMs;
  }
  const bool garbled = LineGarbles();
  for (std::size_t i = 0; i < count; ++i) OnByte(garbled ? Garble(bytes[i]) : bytes[i]);
}

void Stm32BootloaderModel::AdvanceTo(uint64_t nowMs) {
  if (!emulator_) return;
  emulator_->RunUntil(nowMs);
  if (emulator_->exit() != Stm32Exit::kRunning) TakeBackFromRamCode();
}

void Stm32BootloaderModel::SetHostBaud(uint32_t baud) {
  host_baud_ = baud;
  if (emulator_) emulator_->SetHostBaud(baud);
}

bool Stm32BootloaderModel::LineGarbles() const {
  return config_.maxLineBaud != 0 && host_baud_ > config_.maxLineBaud;
}

std::vector<TimedByte> Stm32BootloaderModel::TakeOutput() {
  if (emulator_) {
    for (const TimedByte& byte : emulator_->TakeOutput()) output_.push_back(byte);
  }
  std::vector<TimedByte> out;
  out.swap(output_);
  return out;
}

void Stm32BootloaderModel::StartRamCode(uint32_t address) {
  Stm32EmulatorSetup setup;
  setup.config = &config_;
  setup.flash = &flash_;
  setup.ram = ram_;
  setup.goAddress = address;
  setup.startMs = busy_until_;  // once the Go's acknowledgement is out
  setup.lineBaud = host_baud_;  // the rate the bootloader autobauded to
  setup.hostBaud = host_baud_;
  emulator_ = Stm32Emulator::Start(std::move(setup));
  if (emulator_) ++ram_code_runs_;
}

// The code in RAM ended: the ROM bootloader has the part again (a jump to its entry, a reset),
// or nothing has it (a lockup: the part stays silent until it is powered again).
void Stm32BootloaderModel::TakeBackFromRamCode() {
  for (const TimedByte& byte : emulator_->TakeOutput()) output_.push_back(byte);
  last_exit_ = emulator_->exit();
  last_stats_ = emulator_->stats();
  // What the code programmed counts as written, as Write Memory's data does.
  flash_written_end_ = std::max(flash_written_end_, last_stats_.flashWrittenEnd);
  const uint64_t exitMs = emulator_->exitMs();
  const std::vector<TimedByte> unread = emulator_->TakeUnreadInput();
  emulator_.reset();
  synced_ = false;
  collected_.clear();
  phase_ = last_exit_ == Stm32Exit::kLockup ? Phase::kSilent : Phase::kWaitSync;
  busy_until_ = std::max(busy_until_, exitMs);
  const bool garbled = LineGarbles();
  for (const TimedByte& byte : unread) {
    now_ = std::max(byte.atMs, exitMs);
    OnByte(garbled ? Garble(byte.byte) : byte.byte);
  }
}

void Stm32BootloaderModel::Reply(const std::vector<uint8_t>& bytes, uint32_t delayMs) {
  uint64_t at = std::max(now_ + config_.replyDelayMs + delayMs, busy_until_);
  const bool garbled = LineGarbles();
  for (uint8_t byte : bytes) output_.push_back({at, garbled ? Garble(byte) : byte});
  busy_until_ = at;
}

void Stm32BootloaderModel::Reply(std::initializer_list<uint8_t> bytes, uint32_t delayMs) {
  Reply(std::vector<uint8_t>(bytes), delayMs);
}

bool Stm32BootloaderModel::ReadByte(uint32_t address, uint8_t* value) const {
  if (address >= kFlashStart && address - kFlashStart < flash_.size()) {
    *value = flash_[address - kFlashStart];
    return true;
  }
  if (address >= kRamStart && address - kRamStart < ram_.size()) {
    *value = ram_[address - kRamStart];
    return true;
  }
  if (address >= kUniqueId && address < kUniqueId + config_.uniqueId.size()) {
    *value = config_.uniqueId[address - kUniqueId];
    return true;
  }
  if (address >= kFlashSizeRegister && address < kFlashSizeRegister + 16) {
    const uint32_t kib = config_.flashBytes / 1024;
    const uint32_t offset = address - kFlashSizeRegister;
    *value = offset == 0 ? uint8_t(kib & 0xFF) : offset == 1 ? uint8_t(kib >> 8) : 0x00;
    return true;
  }
  if (address >= kOptionBytes && address < kOptionBytes + 16) {
    // Read protection off (0xA5), every other option byte erased; each with its complement.
    const uint32_t offset = address - kOptionBytes;
    *value = offset == 0 ? 0xA5 : offset == 1 ? 0x5A : (offset % 2 == 0 ? 0xFF : 0x00);
    return true;
  }
  return false;
}

bool Stm32BootloaderModel::ReadableRange(uint32_t address, uint32_t length) const {
  uint8_t ignored;
  return ReadByte(address, &ignored) && ReadByte(address + length - 1, &ignored);
}

void Stm32BootloaderModel::OnByte(uint8_t byte) {
  switch (phase_) {
    case Phase::kSilent:
      return;
    case Phase::kWaitSync:
      if (byte == kSync && !config_.noSync) {
        synced_ = true;
        Reply({kAck});
        phase_ = Phase::kCommand;
      }
      return;
    case Phase::kCommand:
      command_ = byte;
      phase_ = Phase::kCommandComplement;
      return;
    case Phase::kCommandComplement:
      if (byte != uint8_t(command_ ^ 0xFF)) {
        Reply({kNack});
        phase_ = Phase::kCommand;
        return;
      }
      StartCommand(command_);
      return;
    case Phase::kAddress:
      collected_.push_back(byte);
      if (collected_.size() == 5) OnAddress();
      return;
    case Phase::kReadLength:
      collected_.push_back(byte);
      if (collected_.size() < 2) return;
      phase_ = Phase::kCommand;
      if (collected_[1] != uint8_t(collected_[0] ^ 0xFF) ||
          !ReadableRange(address_, collected_[0] + 1u)) {
        Reply({kNack});
        return;
      }
      {
        std::vector<uint8_t> data = {kAck};
        for (uint32_t i = 0; i <= collected_[0]; ++i) {
          uint8_t value = 0;
          ReadByte(address_ + i, &value);
          data.push_back(value);
        }
        Reply(data);
      }
      return;
    case Phase::kWriteLength:
      collected_ = {byte};
      expected_ = byte + 1u + 1u;  // the data and the checksum after the length
      phase_ = Phase::kWriteData;
      return;
    case Phase::kWriteData:
      collected_.push_back(byte);
      if (collected_.size() == expected_ + 1) FinishWrite();
      return;
    case Phase::kEraseCount:
      collected_ = {byte};
      expected_ = byte == 0xFF ? 1 : byte + 1u + 1u;  // complement, or pages and checksum
      phase_ = Phase::kErasePages;
      return;
    case Phase::kErasePages:
      collected_.push_back(byte);
      if (collected_.size() == expected_ + 1) FinishErase();
      return;
    case Phase::kExtendedErase: {
      // Two bytes N, then N+1 two-byte page numbers (or nothing for FFFF, FFFE, FFFD), then
      // the XOR of everything before it.
      collected_.push_back(byte);
      if (collected_.size() < 2) return;
      const uint32_t n = uint32_t(collected_[0]) << 8 | collected_[1];
      const std::size_t total = n >= 0xFFF0 ? 3 : 2 + 2 * (n + 1) + 1;
      if (collected_.size() == total) FinishExtendedErase();
      return;
    }
  }
}

bool Stm32BootloaderModel::FirstWordErased() const {
  return flash_.size() < 4 ||
         std::all_of(flash_.begin(), flash_.begin() + 4, [](uint8_t b) { return b == 0xFF; });
}

void Stm32BootloaderModel::StartCommand(uint8_t command) {
  collected_.clear();
  phase_ = Phase::kCommand;
  ++commands_taken_[command];
  const bool protectedCommand =
      command == 0x11 || command == 0x21 || command == 0x31 || command == 0x43 || command == 0x44;
  if (config_.readProtected && protectedCommand) {
    Reply({kNack});
    return;
  }
  switch (command) {
    case 0x00: {  // Get
      std::vector<uint8_t> reply = {kAck, uint8_t(sizeof kCommands), kBootloaderVersion};
      reply.insert(reply.end(), std::begin(kCommands), std::end(kCommands));
      if (config_.extendedErase) reply[3 + kEraseCommandIndex] = kExtendedEraseCommand;
      reply.push_back(kAck);
      Reply(reply);
      return;
    }
    case 0x01:  // Get Version and read protection
      Reply({kAck, kBootloaderVersion, 0x00, 0x00, kAck});
      return;
    case 0x02:  // Get ID
      Reply({kAck, 0x01, uint8_t(kProductId >> 8), uint8_t(kProductId & 0xFF), kAck});
      return;
    case 0x11:  // Read Memory
    case 0x21:  // Go
    case 0x31:  // Write Memory
      Reply({kAck});
      phase_ = Phase::kAddress;
      return;
    case 0x43:  // Erase Memory
    case 0x44:  // Extended Erase Memory
      if (config_.nackErase || (command == 0x44) != config_.extendedErase) {
        Reply({kNack});
        return;
      }
      Reply({kAck});
      phase_ = config_.silentAfterEraseAck ? Phase::kSilent
               : command == 0x44           ? Phase::kExtendedErase
                                           : Phase::kEraseCount;
      return;
    case 0x63:  // the protection commands change nothing here
    case 0x73:
    case 0x82:
    case 0x92:
      Reply({kAck, kAck});
      return;
    default:
      Reply({kNack});
      return;
  }
}

void Stm32BootloaderModel::OnAddress() {
  const uint8_t* a = collected_.data();
  const uint32_t address = uint32_t(a[0]) << 24 | uint32_t(a[1]) << 16 | uint32_t(a[2]) << 8 | a[3];
  const bool checksumOk = (a[0] ^ a[1] ^ a[2] ^ a[3]) == a[4];
  collected_.clear();
  phase_ = Phase::kCommand;
  if (!checksumOk) {
    Reply({kNack});
    return;
  }
  address_ = address;
  switch (command_) {
    case 0x11:
      if (!ReadableRange(address, 1)) {
        Reply({kNack});
        return;
      }
      Reply({kAck});
      phase_ = Phase::kReadLength;
      return;
    case 0x21:
      Reply({kAck});
      go_address_ = address;
      if (address == kFlashStart) ++flash_starts_;
      phase_ = Phase::kWaitSync;  // the application runs; the bootloader is gone
      synced_ = false;
      // Code in RAM runs in the emulator until it hands the part back.
      if (address >= kRamStart && address - kRamStart < ram_.size()) StartRamCode(address);
      return;
    default: {  // 0x31
      const bool inFlash = address >= kFlashStart && address - kFlashStart < flash_.size();
      const bool inRam = address >= kRamStart && address - kRamStart < ram_.size();
      if (!inFlash && !inRam) {
        Reply({kNack});
        return;
      }
      Reply({kAck});
      phase_ = Phase::kWriteLength;
      return;
    }
  }
}

void Stm32BootloaderModel::FinishWrite() {
  phase_ = Phase::kCommand;
  const std::size_t count = collected_[0] + 1u;
  uint8_t checksum = 0;
  for (std::size_t i = 0; i <= count; ++i) checksum ^= collected_[i];
  const uint8_t received = collected_.back();
  ++writes_seen_;
  const bool refused = config_.nackEveryWrite ||
                       (config_.nackWriteNumber != 0 && writes_seen_ == config_.nackWriteNumber) ||
                       (config_.refuseWrite && config_.refuseWrite(address_, writes_seen_));
  const bool inFlash = address_ >= kFlashStart && address_ - kFlashStart + count <= flash_.size();
  const bool inRam = address_ >= kRamStart && address_ - kRamStart + count <= ram_.size();
  if (checksum != received || refused || (!inFlash && !inRam)) {
    ++writes_refused_;
    Reply({kNack});
    return;
  }
  const uint8_t* data = collected_.data() + 1;
  if (inFlash) {
    uint8_t* target = flash_.data() + (address_ - kFlashStart);
    bool unerased = false;
    const uint32_t firstOffset = address_ - kFlashStart;
    for (std::size_t i = 0; i < count; ++i) {
      // A protected page takes the write without a word and keeps what it held.
      if (config_.protectedAddress && *config_.protectedAddress >= kFlashStart &&
          (firstOffset + i) / config_.pageBytes ==
              (*config_.protectedAddress - kFlashStart) / config_.pageBytes) {
        continue;
      }
      // Flash programs only erased cells; anything else keeps its old value.
      if (target[i] != 0xFF && data[i] != 0xFF) {
        unerased = true;
        continue;
      }
      target[i] = data[i];
    }
    if (unerased) ++unerased_writes_;
    flash_written_end_ = std::max<uint32_t>(flash_written_end_,
                                            address_ - kFlashStart + static_cast<uint32_t>(count));
  } else {
    std::copy(data, data + count, ram_.begin() + (address_ - kRamStart));
  }
  ++writes_accepted_;
  if (inFlash) last_write_address_ = address_;
  Reply({kAck}, static_cast<uint32_t>((count * config_.programMsPer256 + 255) / 256));
}

void Stm32BootloaderModel::FinishErase() {
  phase_ = Phase::kCommand;
  if (collected_[0] == 0xFF) {
    if (collected_[1] != 0x00) {
      Reply({kNack});
      return;
    }
    MassErase();
    return;
  }
  uint8_t checksum = 0;
  for (std::size_t i = 0; i + 1 < collected_.size(); ++i) checksum ^= collected_[i];
  if (checksum != collected_.back()) {
    Reply({kNack});
    return;
  }
  const std::size_t pages = collected_[0] + 1u;
  for (std::size_t i = 1; i <= pages; ++i) ErasePage(collected_[i]);
  ++erases_;
  Reply({kAck}, static_cast<uint32_t>(pages * config_.pageEraseMs));
}

void Stm32BootloaderModel::MassErase() {
  for (std::size_t page = 0; page * config_.pageBytes < flash_.size(); ++page) ErasePage(page);
  ++erases_;
  Reply({kAck}, config_.massEraseMs);
}

void Stm32BootloaderModel::ErasePage(std::size_t page) {
  if (config_.protectedAddress && *config_.protectedAddress >= kFlashStart &&
      page == (*config_.protectedAddress - kFlashStart) / config_.pageBytes) {
    return;
  }
  const std::size_t start = page * config_.pageBytes;
  if (start + config_.pageBytes <= flash_.size()) {
    std::fill(flash_.begin() + long(start), flash_.begin() + long(start + config_.pageBytes), 0xFF);
  }
}

void Stm32BootloaderModel::FinishExtendedErase() {
  phase_ = Phase::kCommand;
  uint8_t checksum = 0;
  for (std::size_t i = 0; i + 1 < collected_.size(); ++i) checksum ^= collected_[i];
  if (checksum != collected_.back()) {
    Reply({kNack});
    return;
  }
  const uint32_t n = uint32_t(collected_[0]) << 8 | collected_[1];
  if (n >= 0xFFF0) {  // mass erase (FFFF) or a bank (FFFE, FFFD): this part has one bank
    if (n < 0xFFFD) {
      Reply({kNack});
      return;
    }
    MassErase();
    return;
  }
  for (uint32_t i = 0; i <= n; ++i) {
    ErasePage(std::size_t(collected_[2 + 2 * i]) << 8 | collected_[3 + 2 * i]);
  }
  ++erases_;
  Reply({kAck}, (n + 1) * config_.pageEraseMs);
}

}  // namespace korvelt::sim
