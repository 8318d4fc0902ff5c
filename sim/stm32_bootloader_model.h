#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sim/instrument_model.h"
#include "sim/stm32_emulator.h"

namespace korvelt::sim {

struct Stm32Config {
  // An STM32F1 medium-density part: 128 KiB of flash in 1 KiB pages.
  uint32_t flashBytes = 128 * 1024;
  uint32_t pageBytes = 1024;
  uint32_t programMsPer256 = 7;  // about 50 us a half-word
  uint32_t pageEraseMs = 20;
  uint32_t massEraseMs = 40;
  uint32_t replyDelayMs = 0;
  // The Get reply offers Extended Erase 0x44 (two-byte page numbers) instead of Erase 0x43.
  bool extendedErase = false;
  // Writes to the page holding this flash address are acknowledged but not programmed, and
  // erases leave it alone, as on a write-protected page.
  std::optional<uint32_t> protectedAddress;
  // What the flash holds at power-up from its start (the rest erased): an older firmware.
  // Empty: a factory firmware (only its vector table's first words matter here), or an erased
  // flash without `factoryFirmware`.
  std::vector<uint8_t> flashContents;
  bool factoryFirmware = true;
  // Read protection is on: Read Memory, Write Memory, Go and the erases are refused.
  bool readProtected = false;
  // The 96-bit unique device ID at 0x1FFFF7E8, in address order.
  std::array<uint8_t, 12> uniqueId = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36,
                                      0x37, 0x38, 0x39, 0x3A, 0x3B, 0x03};
  // Fault switches.
  bool noSync = false;               // never answers the synchronisation byte
  uint32_t nackWriteNumber = 0;      // refuses the n-th Write Memory data (1-based) once
  bool nackEveryWrite = false;       // refuses every Write Memory data
  bool nackErase = false;            // refuses the Erase Memory command
  bool silentAfterEraseAck = false;  // acknowledges Erase Memory, then says nothing more
  // Decides per Write Memory data (flash address, 1-based count of writes): true refuses it.
  std::function<bool(uint32_t address, uint64_t writeNumber)> refuseWrite;

  // Code started in RAM by Go runs in an ARM emulator (Linux builds; elsewhere Go to RAM only
  // records the address). The core's clock while the ROM bootloader has it: the 8 MHz
  // internal RC oscillator, no PLL. Code that derives its timing from the USART's BRR, as
  // the flashing stub does, behaves the same at any clock; only its instructions take longer.
  uint32_t cpuHz = 8'000'000;
  uint32_t programUsPerHalfWord = 52;  // the flash controller's half-word programming time
  // The highest rate the unit's serial link carries (its USB bridge); above it, bytes either
  // way arrive garbled. 0: any rate.
  uint32_t maxLineBaud = 0;
  bool watchdogRunning = false;  // the hardware watchdog option: the IWDG runs from reset
  // The bootloader stops USART1 before it jumps to Go's address, as on parts we do not know:
  // code in RAM finds it off.
  bool usartOffAtGo = false;
  // Fault injection: the n-th flash read (1-based) by emulated code is a bus fault.
  uint64_t busFaultAtFlashRead = 0;
};

// The MCU's built-in USART bootloader, as a byte-driven model of the published protocol:
// sync, Get, Get Version, Get ID, Read Memory, Go, Write Memory, Erase Memory (global and page
// lists), and the protection commands as no-ops.
class Stm32BootloaderModel {
 public:
  static constexpr uint32_t kFlashStart = 0x08000000;
  static constexpr uint32_t kFlashSizeRegister = 0x1FFFF7E0;
  static constexpr uint32_t kUniqueId = 0x1FFFF7E8;
  static constexpr uint32_t kOptionBytes = 0x1FFFF800;
  static constexpr uint32_t kRamStart = 0x20000000;
  static constexpr uint32_t kRamBytes = 20 * 1024;
  static constexpr uint16_t kProductId = 0x0410;

  explicit Stm32BootloaderModel(Stm32Config config = {});
  ~Stm32BootloaderModel();

  // Bytes from the host at the model's time `nowMs`; answers appear in TakeOutput().
  void Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count);
  std::vector<TimedByte> TakeOutput();
  // Lets the part's time reach `nowMs` with nothing received: code running from RAM goes on
  // (the ROM bootloader itself only answers what it receives).
  void AdvanceTo(uint64_t nowMs);
  // The rate of the host's port (115200 until told otherwise): code in RAM that switches the
  // USART's rate hears the host only while the two agree.
  void SetHostBaud(uint32_t baud);

  // A reset: the bootloader waits for its synchronisation byte again; the flash is kept.
  void Reset() {
    phase_ = Phase::kWaitSync;
    synced_ = false;
    collected_.clear();
    emulator_.reset();
  }
  // The bytes of a command in progress never came: the bootloader waits for a command again,
  // as it does after it has refused one.
  void AbortCommand() {
    if (phase_ == Phase::kWaitSync) return;
    phase_ = Phase::kCommand;
    collected_.clear();
  }
  const std::vector<uint8_t>& flash() const { return flash_; }
  bool synced() const { return synced_; }
  uint64_t writesAccepted() const { return writes_accepted_; }
  uint64_t writesRefused() const { return writes_refused_; }
  uint64_t writesIntoUnerasedFlash() const { return unerased_writes_; }
  uint64_t erases() const { return erases_; }
  // How many times the bootloader took a command with this code (its complement was right).
  uint64_t commandsTaken(uint8_t code) const { return commands_taken_[code]; }
  // The last flash address a Write Memory programmed.
  std::optional<uint32_t> lastWriteAddress() const { return last_write_address_; }
  // Go to the flash start was taken this many times: the firmware there runs.
  uint64_t flashStarts() const { return flash_starts_; }
  // The flash's first word is erased: at power-up the part finds no firmware, and with BOOT0
  // low this family does not start its bootloader either.
  bool FirstWordErased() const;
  // The end of the highest flash write (by Write Memory, or by code run from RAM once it has
  // ended), as an offset from the flash start.
  uint32_t flashWrittenEnd() const { return flash_written_end_; }
  std::optional<uint32_t> goAddress() const { return go_address_; }
  // The code started in RAM while it runs; after it ended, how it ended and its counters.
  const Stm32Emulator* emulator() const { return emulator_.get(); }
  bool runningRamCode() const { return emulator_ != nullptr; }
  Stm32Exit lastRamCodeExit() const { return last_exit_; }
  const Stm32EmulatorStats& lastRamCodeStats() const { return last_stats_; }
  uint64_t ramCodeRuns() const { return ram_code_runs_; }
  Stm32Config& config() { return config_; }

 private:
  enum class Phase {
    kWaitSync,
    kCommand,
    kCommandComplement,
    kAddress,
    kReadLength,
    kWriteLength,
    kWriteData,
    kEraseCount,
    kErasePages,
    kExtendedErase,
    kSilent,
  };
  void OnByte(uint8_t byte);
  void StartCommand(uint8_t command);
  void OnAddress();
  void Reply(std::initializer_list<uint8_t> bytes, uint32_t delayMs = 0);
  void Reply(const std::vector<uint8_t>& bytes, uint32_t delayMs = 0);
  bool ReadableRange(uint32_t address, uint32_t length) const;
  bool ReadByte(uint32_t address, uint8_t* value) const;
  void FinishWrite();
  void FinishErase();
  void FinishExtendedErase();
  void MassErase();  // every page but a protected one, then the ACK
  void ErasePage(std::size_t page);
  void StartRamCode(uint32_t address);
  void TakeBackFromRamCode();
  bool LineGarbles() const;

  Stm32Config config_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> ram_;
  std::vector<TimedByte> output_;
  uint64_t now_ = 0;
  uint64_t busy_until_ = 0;
  Phase phase_ = Phase::kWaitSync;
  bool synced_ = false;
  uint8_t command_ = 0;
  std::vector<uint8_t> collected_;
  std::size_t expected_ = 0;
  uint32_t address_ = 0;
  uint64_t writes_seen_ = 0;
  uint64_t writes_accepted_ = 0;
  uint64_t writes_refused_ = 0;
  uint64_t unerased_writes_ = 0;
  uint64_t erases_ = 0;
  std::optional<uint32_t> go_address_;
  uint32_t flash_written_end_ = 0;
  std::array<uint64_t, 256> commands_taken_{};
  std::optional<uint32_t> last_write_address_;
  uint64_t flash_starts_ = 0;
  uint32_t host_baud_ = 115200;
  std::unique_ptr<Stm32Emulator> emulator_;
  Stm32Exit last_exit_ = Stm32Exit::kRunning;
  Stm32EmulatorStats last_stats_;
  uint64_t ram_code_runs_ = 0;
};

}  // namespace korvelt::sim
