#include "sim/stm32_emulator.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>

#include "sim/stm32_bootloader_model.h"

namespace korvelt::sim {

namespace {

constexpr uint32_t kFlashStart = 0x08000000;
constexpr uint32_t kSystemMemory = 0x1FFFF000;   // the ROM bootloader, its vectors first
constexpr uint32_t kSystemMemoryBytes = 0x1000;  // up to the option bytes' end
constexpr uint32_t kRomEntrySp = 0x200001FC;     // what the ROM's vector table holds
constexpr uint32_t kRomEntryPc = 0x1FFFF021;
constexpr uint32_t kRamStart = 0x20000000;
constexpr uint32_t kPeripherals = 0x40000000;
constexpr uint32_t kPeripheralBytes = 0x24000;
constexpr uint32_t kPpb = 0xE000E000;  // SysTick, NVIC, SCB
constexpr uint32_t kPpbBytes = 0x1000;

constexpr uint32_t kIwdg = 0x3000;
constexpr uint32_t kUsart1 = 0x13800;
constexpr uint32_t kRcc = 0x21000;
constexpr uint32_t kFlashController = 0x22000;

// USART status and control bits.
constexpr uint32_t kPe = 1u << 0, kOre = 1u << 3, kRxne = 1u << 5, kTc = 1u << 6, kTxe = 1u << 7;
constexpr uint32_t kRe = 1u << 2, kTe = 1u << 3, kPs = 1u << 9, kPce = 1u << 10, kM = 1u << 12,
                   kUe = 1u << 13;
constexpr uint32_t kBitsPerByte = 11;  // start, 8 data, parity, stop
// How far apart the two ends' rates may be before bytes arrive garbled (8E1 tolerates about
// 4 % in all; the receivers' sampling takes some of it).
constexpr double kRateTolerance = 0.03;

// Flash controller bits.
constexpr uint32_t kBsy = 1u << 0, kPgerr = 1u << 2, kWrprterr = 1u << 4, kEop = 1u << 5;
constexpr uint32_t kPg = 1u << 0, kPer = 1u << 1, kMer = 1u << 2, kStrt = 1u << 6, kLock = 1u << 7;
constexpr uint32_t kKey1 = 0x45670123, kKey2 = 0xCDEF89AB;

constexpr uint32_t kLsiHz = 40000;  // the watchdog's own oscillator

uint8_t Garble(uint8_t byte) {
  return static_cast<uint8_t>((byte ^ 0xA5) + 0x3B);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

bool EvenParityBit(uint8_t byte) {
  return __builtin_popcount(byte) & 1;
}

class UnicornStm32 final : public Stm32Emulator {
 public:
  explicit UnicornStm32(Stm32EmulatorSetup setup);
  ~UnicornStm32() override {
    if (uc_) uc_close(uc_);
  }
  bool ok() const { return uc_ != nullptr; }

  void Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count) override;
  void RunUntil(uint64_t nowMs) override;
  std::vector<TimedByte> TakeOutput() override {
    std::vector<TimedByte> out;
    out.swap(output_);
    return out;
  }
  void SetHostBaud(uint32_t baud) override { host_baud_ = baud; }
  Stm32Exit exit() const override { return exit_; }
  uint64_t exitMs() const override { return CyclesToMs(exit_cycle_); }
  std::vector<TimedByte> TakeUnreadInput() override;
  const Stm32EmulatorStats& stats() const override { return stats_; }
  uint32_t unitBaud() const override {
    return brr_ ? static_cast<uint32_t>(config_.cpuHz / brr_) : 0;
  }

 private:
  struct Arrival {
    uint64_t atCycle;
    uint8_t byte;
  };

  uint64_t MsToCycles(uint64_t ms) const { return ms * config_.cpuHz / 1000; }
  uint64_t CyclesToMs(uint64_t cycles) const {
    return (cycles * 1000 + config_.cpuHz - 1) / config_.cpuHz;
  }
  uint64_t ByteCycles(uint32_t baud) const {
    return baud ? uint64_t(config_.cpuHz) * kBitsPerByte / baud : 1;
  }
  bool LineGarbles() const;
  void Fault(const std::string& what);
  void End(Stm32Exit how);

  // Peripheral time: applies everything due up to now.
  void Sync();
  uint64_t NextEvent() const;
  void UpdateCheck() { next_check_ = std::min(NextEvent(), stop_cycle_); }
  bool IdlePoll(uint64_t pc);
  void StatusRead();

  uint64_t ReadPeripheral(uint32_t offset, unsigned size);
  void WritePeripheral(uint32_t offset, unsigned size, uint32_t value);
  uint64_t ReadPpb(uint32_t offset);
  void WritePpb(uint32_t offset, uint32_t value);
  uint64_t ReadFlash(uint32_t offset, unsigned size);
  void WriteFlash(uint32_t offset, unsigned size, uint32_t value);
  uint32_t ReadSystemTick();
  void StartFlashOperation(uint64_t durationCycles);
  bool PageProtected(uint32_t offset) const;
  void EnterHardFault();

  static void OnCode(uc_engine* uc, uint64_t address, uint32_t size, void* user);
  static bool OnInvalid(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t value,
                        void* user);
  static void OnInterrupt(uc_engine* uc, uint32_t number, void* user);

  Stm32Config config_;
  std::vector<uint8_t>& flash_;
  uc_engine* uc_ = nullptr;
  std::array<uc_hook, 3> hooks_{};
  uint64_t cycles_ = 0;
  uint64_t stop_cycle_ = 0;
  uint64_t next_check_ = 0;
  uint32_t pc_ = 0;
  Stm32Exit exit_ = Stm32Exit::kRunning;
  uint64_t exit_cycle_ = 0;
  std::optional<std::string> pending_fault_;
  bool in_fault_handler_ = false;
  uint32_t host_baud_;
  Stm32EmulatorStats stats_;
  std::vector<TimedByte> output_;

  // Idle detection: the registers at the last status read from each instruction address.
  struct Poll {
    uint64_t pc = 0;
    uint64_t epoch = 0;
    std::array<uint32_t, 16> regs{};
  };
  std::array<Poll, 8> polls_{};
  std::size_t next_poll_slot_ = 0;
  uint64_t epoch_ = 0;  // moves whenever the part's state changes outside the CPU

  // USART1.
  uint32_t sr_ = kTxe | kTc;
  uint32_t cr1_ = kUe | kM | kPce | kTe | kRe;
  uint32_t brr_ = 0;
  uint16_t rdr_ = 0;
  bool sr_read_ = false;
  std::deque<Arrival> rx_;
  uint64_t rx_line_free_ = 0;
  std::optional<uint8_t> tdr_;
  std::optional<uint8_t> shift_;
  uint64_t shift_done_ = 0;

  // Flash controller.
  uint32_t flash_sr_ = 0;
  uint32_t flash_cr_ = kLock;
  uint32_t flash_ar_ = 0;
  int key_step_ = 0;
  bool keys_broken_ = false;
  uint64_t flash_busy_until_ = 0;
  enum class FlashOp { kNone, kProgram, kPageErase, kMassErase } flash_op_ = FlashOp::kNone;
  uint32_t flash_op_offset_ = 0;
  uint16_t flash_op_value_ = 0;
  uint64_t flash_reads_ = 0;

  // SysTick.
  uint32_t syst_csr_ = 0;
  uint32_t syst_rvr_ = 0;
  uint64_t syst_base_ = 0;  // the cycle at which the counter last started from 0
  uint64_t syst_next_wrap_ = std::numeric_limits<uint64_t>::max();

  // Independent watchdog.
  bool iwdg_running_ = false;
  bool iwdg_unlocked_ = false;
  uint32_t iwdg_pr_ = 0;
  uint32_t iwdg_rlr_ = 0xFFF;
  uint64_t iwdg_expires_ = std::numeric_limits<uint64_t>::max();

  uint32_t vtor_ = 0;
};

UnicornStm32::UnicornStm32(Stm32EmulatorSetup setup)
    : config_(*setup.config), flash_(*setup.flash), host_baud_(setup.hostBaud) {
  cycles_ = MsToCycles(setup.startMs);
  stop_cycle_ = cycles_;
  rx_line_free_ = cycles_;
  // The ROM bootloader autobauded to the host's rate, 8E1, and leaves the flash locked.
  brr_ = static_cast<uint32_t>((config_.cpuHz + setup.lineBaud / 2) / setup.lineBaud);
  if (config_.usartOffAtGo) cr1_ = 0;
  if (config_.watchdogRunning) {
    iwdg_running_ = true;
    iwdg_expires_ = cycles_ + uint64_t(iwdg_rlr_ + 1) * (4u << iwdg_pr_) * config_.cpuHz / kLsiHz;
  }
  if (uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc_) !=
      UC_ERR_OK) {
    uc_ = nullptr;
    return;
  }
  uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M3);
  setup.ram.resize(Stm32BootloaderModel::kRamBytes, 0);
  uc_mem_map(uc_, kRamStart, Stm32BootloaderModel::kRamBytes, UC_PROT_ALL);
  uc_mem_write(uc_, kRamStart, setup.ram.data(), setup.ram.size());
  // System memory: readable, never executed here. A jump into it is the ROM taking over.
  std::vector<uint8_t> rom(kSystemMemoryBytes, 0xFF);
  const uint32_t entry[2] = {kRomEntrySp, kRomEntryPc};
  std::memcpy(rom.data(), entry, sizeof entry);
  const uint16_t kib = static_cast<uint16_t>(config_.flashBytes / 1024);
  std::memcpy(rom.data() + (Stm32BootloaderModel::kFlashSizeRegister - kSystemMemory), &kib, 2);
  // Option bytes as the ROM model reports them: no read protection, nothing else set.
  const uint32_t options = Stm32BootloaderModel::kOptionBytes - kSystemMemory;
  for (uint32_t i = 0; i < 16; ++i) rom[options + i] = i % 2 == 0 ? 0xFF : 0x00;
  rom[options] = 0xA5;
  rom[options + 1] = 0x5A;
  uc_mem_map(uc_, kSystemMemory, kSystemMemoryBytes, UC_PROT_READ);
  uc_mem_write(uc_, kSystemMemory, rom.data(), rom.size());
  uc_mmio_map(
      uc_, kFlashStart, (config_.flashBytes + 0xFFF) & ~0xFFFu,
      [](uc_engine*, uint64_t offset, unsigned size, void* user) -> uint64_t {
        return static_cast<UnicornStm32*>(user)->ReadFlash(static_cast<uint32_t>(offset), size);
      },
      this,
      [](uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
        static_cast<UnicornStm32*>(user)->WriteFlash(static_cast<uint32_t>(offset), size,
                                                     static_cast<uint32_t>(value));
      },
      this);
  uc_mmio_map(
      uc_, kPeripherals, kPeripheralBytes,
      [](uc_engine*, uint64_t offset, unsigned size, void* user) -> uint64_t {
        return static_cast<UnicornStm32*>(user)->ReadPeripheral(static_cast<uint32_t>(offset),
                                                                size);
      },
      this,
      [](uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
        static_cast<UnicornStm32*>(user)->WritePeripheral(static_cast<uint32_t>(offset), size,
                                                          static_cast<uint32_t>(value));
      },
      this);
  uc_mmio_map(
      uc_, kPpb, kPpbBytes,
      [](uc_engine*, uint64_t offset, unsigned, void* user) -> uint64_t {
        return static_cast<UnicornStm32*>(user)->ReadPpb(static_cast<uint32_t>(offset));
      },
      this,
      [](uc_engine*, uint64_t offset, unsigned, uint64_t value, void* user) {
        static_cast<UnicornStm32*>(user)->WritePpb(static_cast<uint32_t>(offset),
                                                   static_cast<uint32_t>(value));
      },
      this);
  uc_hook_add(uc_, &hooks_[0], UC_HOOK_CODE, reinterpret_cast<void*>(&OnCode), this, 1, 0);
  uc_hook_add(uc_, &hooks_[1], UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&OnInvalid), this, 1,
              0);
  uc_hook_add(uc_, &hooks_[2], UC_HOOK_INTR, reinterpret_cast<void*>(&OnInterrupt), this, 1, 0);

  // Go: the stack pointer from the address, the reset handler from the next word.
  uint32_t sp = 0;
  uint32_t pc = 0;
  if (setup.goAddress >= kRamStart &&
      setup.goAddress - kRamStart + 8 <= Stm32BootloaderModel::kRamBytes) {
    std::memcpy(&sp, setup.ram.data() + (setup.goAddress - kRamStart), 4);
    std::memcpy(&pc, setup.ram.data() + (setup.goAddress - kRamStart) + 4, 4);
  }
  uc_reg_write(uc_, UC_ARM_REG_MSP, &sp);
  uc_reg_write(uc_, UC_ARM_REG_SP, &sp);
  pc_ = pc;
  if (!(pc & 1)) Fault("the reset handler's address has no Thumb bit");
  UpdateCheck();
}

bool UnicornStm32::LineGarbles() const {
  const uint32_t unit = unitBaud();
  const double limit = config_.maxLineBaud * (1 + kRateTolerance);
  if (config_.maxLineBaud && (host_baud_ > limit || unit > limit)) return true;
  if ((cr1_ & (kM | kPce | kPs)) != (kM | kPce)) return true;  // not 8E1
  const double off = std::abs(double(unit) - double(host_baud_)) / double(host_baud_);
  return off > kRateTolerance;
}

void UnicornStm32::Fault(const std::string& what) {
  stats_.faults.push_back(what);
  if (!pending_fault_) pending_fault_ = what;
  if (uc_) uc_emu_stop(uc_);
}

void UnicornStm32::End(Stm32Exit how) {
  if (exit_ != Stm32Exit::kRunning) return;
  exit_ = how;
  exit_cycle_ = cycles_;
  if (uc_) uc_emu_stop(uc_);
}

void UnicornStm32::Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count) {
  RunUntil(nowMs);
  const uint64_t now = std::max(MsToCycles(nowMs), cycles_);
  for (std::size_t i = 0; i < count; ++i) {
    rx_line_free_ = std::max(rx_line_free_, now) + ByteCycles(host_baud_);
    rx_.push_back({rx_line_free_, bytes[i]});
  }
  UpdateCheck();
}

std::vector<TimedByte> UnicornStm32::TakeUnreadInput() {
  std::vector<TimedByte> out;
  for (const Arrival& a : rx_) out.push_back({CyclesToMs(a.atCycle), a.byte});
  rx_.clear();
  return out;
}

uint64_t UnicornStm32::NextEvent() const {
  uint64_t next = std::numeric_limits<uint64_t>::max();
  if (!rx_.empty()) next = std::min(next, rx_.front().atCycle);
  if (shift_) next = std::min(next, shift_done_);
  if (flash_op_ != FlashOp::kNone) next = std::min(next, flash_busy_until_);
  if (syst_csr_ & 1) next = std::min(next, syst_next_wrap_);
  if (iwdg_running_) next = std::min(next, iwdg_expires_);
  return next;
}

void UnicornStm32::Sync() {
  for (;;) {
    const uint64_t due = NextEvent();
    if (due > cycles_) break;
    ++epoch_;
    if (iwdg_running_ && iwdg_expires_ <= cycles_) {
      End(Stm32Exit::kWatchdogReset);
      iwdg_running_ = false;
      continue;
    }
    if (!rx_.empty() && rx_.front().atCycle == due) {
      const Arrival a = rx_.front();
      rx_.pop_front();
      if (!(cr1_ & kUe) || !(cr1_ & kRe)) continue;
      const bool garbled = LineGarbles();
      const uint8_t byte = garbled ? Garble(a.byte) : a.byte;
      if (sr_ & kRxne) {
        // The code has not read the last byte yet: this one is lost.
        sr_ |= kOre;
        ++stats_.overruns;
        continue;
      }
      rdr_ = static_cast<uint16_t>(byte | (EvenParityBit(byte) ^ garbled) << 8);
      sr_ |= kRxne;
      if (garbled) sr_ |= kPe;
      continue;
    }
    if (shift_ && shift_done_ == due) {
      const bool garbled = LineGarbles();
      output_.push_back({CyclesToMs(shift_done_), garbled ? Garble(*shift_) : *shift_});
      shift_.reset();
      if (tdr_) {
        shift_ = tdr_;
        tdr_.reset();
        shift_done_ = due + ByteCycles(unitBaud());
        sr_ |= kTxe;
      } else {
        sr_ |= kTc;
      }
      continue;
    }
    if (flash_op_ != FlashOp::kNone && flash_busy_until_ == due) {
      switch (flash_op_) {
        case FlashOp::kProgram:
          flash_[flash_op_offset_] = static_cast<uint8_t>(flash_op_value_);
          flash_[flash_op_offset_ + 1] = static_cast<uint8_t>(flash_op_value_ >> 8);
          ++stats_.halfWordsProgrammed;
          stats_.flashWrittenEnd = std::max(stats_.flashWrittenEnd, flash_op_offset_ + 2);
          break;
        case FlashOp::kPageErase:
          std::fill_n(flash_.begin() + flash_op_offset_, config_.pageBytes, 0xFF);
          ++stats_.pagesErased;
          break;
        case FlashOp::kMassErase:
          for (uint32_t page = 0; page < config_.flashBytes; page += config_.pageBytes) {
            if (PageProtected(page)) continue;
            std::fill_n(flash_.begin() + page, config_.pageBytes, 0xFF);
            ++stats_.pagesErased;
          }
          break;
        case FlashOp::kNone:
          break;
      }
      flash_op_ = FlashOp::kNone;
      flash_sr_ = (flash_sr_ & ~kBsy) | kEop;
      continue;
    }
    if ((syst_csr_ & 1) && syst_next_wrap_ == due) {
      syst_csr_ |= 1u << 16;  // COUNTFLAG
      const uint64_t period = uint64_t(syst_rvr_ + 1) * ((syst_csr_ & 4) ? 1 : 8);
      syst_next_wrap_ = due + std::max<uint64_t>(period, 1);
      continue;
    }
  }
  UpdateCheck();
}

bool UnicornStm32::IdlePoll(uint64_t pc) {
  static constexpr int kRegs[16] = {UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                    UC_ARM_REG_R4,  UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                    UC_ARM_REG_R8,  UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                                    UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR,  UC_ARM_REG_XPSR};
  Poll now;
  now.pc = pc;
  now.epoch = epoch_;
  void* ptrs[16];
  for (int i = 0; i < 16; ++i) ptrs[i] = &now.regs[i];
  uc_reg_read_batch(uc_, const_cast<int*>(kRegs), ptrs, 16);
  // A loop polls from a few places; each keeps its own last visit.
  Poll* slot = nullptr;
  for (Poll& poll : polls_) {
    if (poll.pc == pc) slot = &poll;
  }
  if (!slot) {
    slot = &polls_[next_poll_slot_];
    next_poll_slot_ = (next_poll_slot_ + 1) % polls_.size();
  }
  const bool same = slot->pc == now.pc && slot->epoch == now.epoch && slot->regs == now.regs;
  *slot = now;
  return same;
}

// A status register read: if the code has been round its loop once without anything changing,
// it will go round the same way until something falls due, so the clock jumps there.
void UnicornStm32::StatusRead() {
  uint32_t pc = 0;
  uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
  Sync();
  if (!IdlePoll(pc)) return;
  cycles_ = std::max(cycles_, std::min(NextEvent(), stop_cycle_));
  Sync();
  if (cycles_ >= stop_cycle_) uc_emu_stop(uc_);
}

uint64_t UnicornStm32::ReadPeripheral(uint32_t offset, unsigned size) {
  Sync();
  if (offset >= kUsart1 && offset < kUsart1 + 0x1C) {
    switch (offset - kUsart1) {
      case 0x00:
        StatusRead();
        sr_read_ = true;
        return sr_;
      case 0x04: {
        const uint16_t value = rdr_;
        if (sr_read_) sr_ &= ~(kOre | kPe);
        sr_ &= ~kRxne;
        sr_read_ = false;
        ++epoch_;
        return value;
      }
      case 0x08:
        return brr_;
      case 0x0C:
        return cr1_;
      default:
        return 0;
    }
  }
  if (offset >= kFlashController && offset < kFlashController + 0x24) {
    switch (offset - kFlashController) {
      case 0x0C:
        StatusRead();
        return flash_sr_;
      case 0x10:
        return flash_cr_;
      case 0x14:
        return flash_ar_;
      case 0x20:  // WRPR: a cleared bit protects four pages
        return config_.protectedAddress
                   ? ~(1u << ((*config_.protectedAddress - kFlashStart) / config_.pageBytes / 4))
                   : 0xFFFFFFFF;
      default:
        return 0;
    }
  }
  if (offset >= kIwdg && offset < kIwdg + 0x10) return offset == kIwdg + 0x08 ? iwdg_rlr_ : 0;
  if (offset >= kRcc && offset < kRcc + 0x28) {
    // The internal RC oscillator on and ready, selected, no prescalers.
    return offset == kRcc ? 0x00000083u : 0;
  }
  Fault("read of an unmodelled peripheral register at " + Hex(kPeripherals + offset) + " (" +
        std::to_string(size) + " bytes)");
  return 0;
}

void UnicornStm32::WritePeripheral(uint32_t offset, unsigned size, uint32_t value) {
  Sync();
  ++epoch_;
  if (offset >= kUsart1 && offset < kUsart1 + 0x1C) {
    switch (offset - kUsart1) {
      case 0x00:
        sr_ &= value | ~(kTc | kRxne);  // TC and RXNE clear by writing 0
        return;
      case 0x04: {
        if (!(cr1_ & kUe) || !(cr1_ & kTe)) return;
        const uint8_t byte = static_cast<uint8_t>(value);
        if (sr_read_) sr_ &= ~kTc;
        sr_read_ = false;
        if (!shift_) {
          shift_ = byte;
          shift_done_ = cycles_ + ByteCycles(unitBaud());
          sr_ &= ~kTc;
        } else {
          if (tdr_) ++stats_.txOverwrites;  // written while TXE was clear: a byte lost
          tdr_ = byte;
          sr_ &= ~(kTxe | kTc);
        }
        UpdateCheck();
        return;
      }
      case 0x08:
        brr_ = value & 0xFFFF;
        if (brr_ < 16) Fault("USART BRR set below 16");
        return;
      case 0x0C:
        cr1_ = value;
        return;
      default:
        return;
    }
  }
  if (offset >= kFlashController && offset < kFlashController + 0x24) {
    switch (offset - kFlashController) {
      case 0x04:  // KEYR
        if (keys_broken_ || !(flash_cr_ & kLock)) {
          keys_broken_ = true;
          flash_cr_ |= kLock;
          Fault("flash key written out of sequence: the controller stays locked");
          return;
        }
        if (key_step_ == 0 && value == kKey1) {
          key_step_ = 1;
        } else if (key_step_ == 1 && value == kKey2) {
          key_step_ = 0;
          flash_cr_ &= ~kLock;
        } else {
          keys_broken_ = true;
          Fault("wrong flash key sequence: the controller stays locked");
        }
        return;
      case 0x0C:
        flash_sr_ &= ~(value & (kPgerr | kWrprterr | kEop));
        return;
      case 0x10: {
        if (flash_cr_ & kLock) return;  // locked: CR does not change
        if (value & kLock) {
          flash_cr_ = kLock;
          return;
        }
        if (flash_sr_ & kBsy) {
          Fault("flash CR written while the controller is busy");
          return;
        }
        flash_cr_ = value & ~kStrt;
        if (value & kStrt) {
          if (value & kMer) {
            bool anyProtected = false;
            for (uint32_t page = 0; page < config_.flashBytes; page += config_.pageBytes) {
              anyProtected |= PageProtected(page);
            }
            if (anyProtected) flash_sr_ |= kWrprterr;
            flash_op_ = FlashOp::kMassErase;
            StartFlashOperation(MsToCycles(config_.massEraseMs));
          } else if (value & kPer) {
            const uint32_t page = (flash_ar_ - kFlashStart) / config_.pageBytes * config_.pageBytes;
            if (flash_ar_ < kFlashStart || page >= config_.flashBytes) {
              Fault("page erase outside the flash");
              return;
            }
            if (PageProtected(page)) {
              flash_sr_ |= kWrprterr;
              return;
            }
            flash_op_ = FlashOp::kPageErase;
            flash_op_offset_ = page;
            StartFlashOperation(MsToCycles(config_.pageEraseMs));
          }
        }
        return;
      }
      case 0x14:
        flash_ar_ = value;
        return;
      default:
        return;
    }
  }
  if (offset >= kIwdg && offset < kIwdg + 0x10) {
    const uint32_t reg = offset - kIwdg;
    if (reg == 0x00) {
      iwdg_unlocked_ = value == 0x5555;
      if (value == 0xCCCC) iwdg_running_ = true;
      if ((value == 0xAAAA || value == 0xCCCC) && iwdg_running_) {
        iwdg_expires_ =
            cycles_ + uint64_t(iwdg_rlr_ + 1) * (4u << iwdg_pr_) * config_.cpuHz / kLsiHz;
      }
    } else if (reg == 0x04 && iwdg_unlocked_) {
      iwdg_pr_ = value & 7;
    } else if (reg == 0x08 && iwdg_unlocked_) {
      iwdg_rlr_ = value & 0xFFF;
    }
    UpdateCheck();
    return;
  }
  if (offset >= kRcc && offset < kRcc + 0x28) {
    Fault("the clock configuration (RCC) was written: the stub must keep the ROM's clock");
    return;
  }
  Fault("write of an unmodelled peripheral register at " + Hex(kPeripherals + offset) + " (" +
        std::to_string(size) + " bytes)");
}

uint32_t UnicornStm32::ReadSystemTick() {
  // CVR counts down from RVR, reloading after 0.
  if (!(syst_csr_ & 1)) return 0;
  const uint64_t scale = (syst_csr_ & 4) ? 1 : 8;
  const uint64_t period = uint64_t(syst_rvr_ + 1) * scale;
  const uint64_t into = (cycles_ - syst_base_) % std::max<uint64_t>(period, 1);
  return static_cast<uint32_t>(syst_rvr_ - into / scale);
}

uint64_t UnicornStm32::ReadPpb(uint32_t offset) {
  Sync();
  switch (offset) {
    case 0x010: {  // SYST_CSR: COUNTFLAG clears on read
      StatusRead();
      const uint32_t value = syst_csr_;
      if (value & (1u << 16)) ++epoch_;
      syst_csr_ &= ~(1u << 16);
      return value;
    }
    case 0x014:
      return syst_rvr_;
    case 0x018:
      return ReadSystemTick();
    case 0xD00:
      return 0x411FC231;  // CPUID: Cortex-M3 r1p1
    case 0xD08:
      return vtor_;
    default:
      return 0;
  }
}

void UnicornStm32::WritePpb(uint32_t offset, uint32_t value) {
  Sync();
  ++epoch_;
  switch (offset) {
    case 0x010:
      if (value & 2) Fault("SysTick interrupt enabled: the model has no interrupts");
      syst_csr_ = (syst_csr_ & (1u << 16)) | (value & 7);
      if (syst_csr_ & 1) {
        const uint64_t scale = (syst_csr_ & 4) ? 1 : 8;
        syst_next_wrap_ = syst_base_ + uint64_t(syst_rvr_ + 1) * scale;
        while (syst_next_wrap_ <= cycles_) syst_next_wrap_ += uint64_t(syst_rvr_ + 1) * scale;
      }
      break;
    case 0x014:
      syst_rvr_ = value & 0xFFFFFF;
      break;
    case 0x018:  // any write clears the counter and COUNTFLAG
      syst_csr_ &= ~(1u << 16);
      syst_base_ = cycles_;
      syst_next_wrap_ = cycles_ + uint64_t(syst_rvr_ + 1) * ((syst_csr_ & 4) ? 1 : 8);
      break;
    case 0xD08:
      vtor_ = value & 0x3FFFFF80u;
      break;
    case 0xD0C:
      if ((value >> 16) == 0x05FA && (value & 4)) End(Stm32Exit::kSystemReset);
      break;
    default:
      if (offset >= 0x100 && offset < 0x500) Fault("NVIC written: the model has no interrupts");
      break;
  }
  UpdateCheck();
}

bool UnicornStm32::PageProtected(uint32_t offset) const {
  return config_.protectedAddress && *config_.protectedAddress >= kFlashStart &&
         offset / config_.pageBytes ==
             (*config_.protectedAddress - kFlashStart) / config_.pageBytes;
}

void UnicornStm32::StartFlashOperation(uint64_t durationCycles) {
  flash_sr_ |= kBsy;
  flash_busy_until_ = cycles_ + std::max<uint64_t>(durationCycles, 1);
  UpdateCheck();
}

uint64_t UnicornStm32::ReadFlash(uint32_t offset, unsigned size) {
  // A read while the controller is busy stalls the bus until it is done.
  if (flash_op_ != FlashOp::kNone) {
    cycles_ = std::max(cycles_, flash_busy_until_);
    Sync();
  }
  ++flash_reads_;
  if (config_.busFaultAtFlashRead && flash_reads_ == config_.busFaultAtFlashRead) {
    Fault("bus fault injected at a flash read");
    return 0;
  }
  uint64_t value = 0;
  for (unsigned i = 0; i < size && offset + i < flash_.size(); ++i) {
    value |= uint64_t(flash_[offset + i]) << (8 * i);
  }
  return value;
}

void UnicornStm32::WriteFlash(uint32_t offset, unsigned size, uint32_t value) {
  if (flash_op_ != FlashOp::kNone) {
    cycles_ = std::max(cycles_, flash_busy_until_);
    Sync();
  }
  ++epoch_;
  if (!(flash_cr_ & kPg) || (flash_cr_ & kLock)) {
    Fault("flash written without PG set");
    return;
  }
  if (size != 2 || (offset & 1) || offset + 2 > flash_.size()) {
    Fault("flash programmed with a " + std::to_string(size) + "-byte write");
    return;
  }
  if (PageProtected(offset)) {
    flash_sr_ |= kWrprterr;
    return;
  }
  const uint16_t old = static_cast<uint16_t>(flash_[offset] | flash_[offset + 1] << 8);
  if (old != 0xFFFF && value != 0) {
    flash_sr_ |= kPgerr;  // only erased half-words (or a zero) can be programmed
    return;
  }
  flash_op_ = FlashOp::kProgram;
  flash_op_offset_ = offset;
  flash_op_value_ = static_cast<uint16_t>(value);
  StartFlashOperation(uint64_t(config_.programUsPerHalfWord) * config_.cpuHz / 1000000);
}

void UnicornStm32::EnterHardFault() {
  const std::string what = *pending_fault_;
  pending_fault_.reset();
  uint32_t handler = 0;
  const bool tableInRam =
      vtor_ >= kRamStart && vtor_ + 16 <= kRamStart + Stm32BootloaderModel::kRamBytes;
  if (tableInRam) uc_mem_read(uc_, vtor_ + 12, &handler, 4);
  if (in_fault_handler_ || !tableInRam || !(handler & 1)) {
    stats_.faults.push_back("lockup after: " + what);
    End(Stm32Exit::kLockup);
    return;
  }
  // Exception entry: the eight registers go onto the stack, LR gets the return code.
  uint32_t sp = 0;
  uc_reg_read(uc_, UC_ARM_REG_SP, &sp);
  static constexpr int kStacked[8] = {UC_ARM_REG_R0, UC_ARM_REG_R1,  UC_ARM_REG_R2,
                                      UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_LR,
                                      UC_ARM_REG_PC, UC_ARM_REG_XPSR};
  uint32_t frame[8] = {};
  for (int i = 0; i < 8; ++i) uc_reg_read(uc_, kStacked[i], &frame[i]);
  sp = (sp - 32) & ~7u;
  if (sp >= kRamStart && sp + 32 <= kRamStart + Stm32BootloaderModel::kRamBytes) {
    uc_mem_write(uc_, sp, frame, sizeof frame);
  }
  uc_reg_write(uc_, UC_ARM_REG_SP, &sp);
  const uint32_t excReturn = 0xFFFFFFF9;
  uc_reg_write(uc_, UC_ARM_REG_LR, &excReturn);
  in_fault_handler_ = true;
  pc_ = handler;
  cycles_ += 12;  // exception entry
}

void UnicornStm32::RunUntil(uint64_t nowMs) {
  if (!uc_ || exit_ != Stm32Exit::kRunning) return;
  const uint64_t target = MsToCycles(nowMs);
  if (target <= cycles_) return;
  const auto started = std::chrono::steady_clock::now();
  stop_cycle_ = target;
  UpdateCheck();
  while (exit_ == Stm32Exit::kRunning && cycles_ < stop_cycle_) {
    if (pending_fault_) {
      EnterHardFault();
      continue;
    }
    const uc_err err = uc_emu_start(uc_, pc_ | 1, 0, 0, 0);
    uint32_t pc = 0;
    uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
    pc_ = pc;
    if (exit_ != Stm32Exit::kRunning) break;
    if ((pc & ~1u) >= kSystemMemory && (pc & ~1u) < kSystemMemory + kSystemMemoryBytes) {
      uint32_t msp = 0;
      uc_reg_read(uc_, UC_ARM_REG_MSP, &msp);
      if ((pc | 1) != kRomEntryPc) {
        stats_.faults.push_back("jumped into the ROM at " + Hex(pc) + ", not its reset handler");
        End(Stm32Exit::kLockup);
      } else {
        if (msp != kRomEntrySp) stats_.faults.push_back("entered the ROM with a foreign stack");
        End(Stm32Exit::kRomEntry);
      }
      break;
    }
    if (err != UC_ERR_OK && !pending_fault_) Fault(std::string("CPU: ") + uc_strerror(err));
  }
  Sync();
  stats_.cycles = cycles_;
  stats_.wallSeconds +=
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

void UnicornStm32::OnCode(uc_engine* uc, uint64_t address, uint32_t, void* user) {
  auto* self = static_cast<UnicornStm32*>(user);
  ++self->cycles_;
  ++self->stats_.instructions;
  if ((address & ~1ull) >= kSystemMemory &&
      (address & ~1ull) < kSystemMemory + kSystemMemoryBytes) {
    uc_emu_stop(uc);
    return;
  }
  if (self->cycles_ >= self->next_check_) {
    self->Sync();
    if (self->cycles_ >= self->stop_cycle_) uc_emu_stop(uc);
  }
}

bool UnicornStm32::OnInvalid(uc_engine*, uc_mem_type type, uint64_t address, int size, int64_t,
                             void* user) {
  auto* self = static_cast<UnicornStm32*>(user);
  if ((type == UC_MEM_FETCH_PROT || type == UC_MEM_FETCH_UNMAPPED) && address >= kSystemMemory &&
      address < kSystemMemory + kSystemMemoryBytes) {
    return false;  // the ROM takes over; RunUntil sees where
  }
  const char* what = type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT   ? "write"
                     : type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT ? "fetch"
                                                                                  : "read";
  self->Fault(std::string("bus fault: ") + what + " of " + std::to_string(size) + " bytes at " +
              Hex(static_cast<uint32_t>(address)));
  return false;
}

void UnicornStm32::OnInterrupt(uc_engine*, uint32_t number, void* user) {
  static_cast<UnicornStm32*>(user)->Fault("CPU exception " + std::to_string(number) +
                                          " (undefined instruction, SVC or breakpoint)");
}

}  // namespace

std::unique_ptr<Stm32Emulator> Stm32Emulator::Start(Stm32EmulatorSetup setup) {
  auto emulator = std::make_unique<UnicornStm32>(std::move(setup));
  if (!emulator->ok()) return nullptr;
  return emulator;
}

}  // namespace korvelt::sim
