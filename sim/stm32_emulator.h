#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/instrument_model.h"

namespace korvelt::sim {

struct Stm32Config;

// How the emulated code ended.
enum class Stm32Exit {
  kRunning,
  kRomEntry,       // jumped to the ROM bootloader's reset handler, as the stub leaves
  kWatchdogReset,  // the independent watchdog ran out: a reset, into the ROM bootloader
  kSystemReset,    // the code asked for a reset (AIRCR): into the ROM bootloader
  kLockup,         // a fault with no handler, or a jump into the ROM elsewhere: the part hangs
};

// What the part looks like when the ROM bootloader's Go hands it to code in RAM.
struct Stm32EmulatorSetup {
  const Stm32Config* config = nullptr;
  std::vector<uint8_t>* flash = nullptr;  // the ROM model's flash; the code writes into it
  std::vector<uint8_t> ram;               // 20 KiB, as the host wrote it
  uint32_t goAddress = 0;                 // stack pointer at it, reset handler at +4
  uint64_t startMs = 0;
  uint32_t lineBaud = 115200;  // the rate the ROM bootloader autobauded to
  uint32_t hostBaud = 115200;  // the rate the host's port runs at
};

struct Stm32EmulatorStats {
  uint64_t instructions = 0;
  uint64_t cycles = 0;        // emulated cycles since the start, fast-forwarded ones included
  double wallSeconds = 0;     // real time spent emulating
  uint64_t overruns = 0;      // received bytes lost because the code read too late
  uint64_t txOverwrites = 0;  // bytes written to DR while it still held one
  uint64_t halfWordsProgrammed = 0;
  uint32_t flashWrittenEnd = 0;  // the end of the highest half-word programmed, from the start
  uint64_t pagesErased = 0;
  // Things the part would not do or the stub must not do (bus faults, a wrong key, a clock
  // change...), each in words. Tests expect none unless they provoke one.
  std::vector<std::string> faults;
};

// The unit's main MCU (Cortex-M3, STM32F1 medium density) executing code from RAM in an ARM
// emulator, with the peripherals that code may use: the flash and its controller, USART1,
// the independent watchdog, SysTick, the vector table offset and the system-memory entry.
//
// Time is kept in CPU cycles at Stm32Config::cpuHz; one instruction counts one cycle.
// Received bytes reach the USART at their wire time (11 bits each at the host's rate), so a
// byte the code does not read in time overruns. While the code only polls status registers
// with nothing changing, the clock jumps to the next thing due.
//
// Time only moves when the owner calls RunUntil (or Receive, which runs up to its time first),
// so the emulated part never runs ahead of the host's clock.
class Stm32Emulator {
 public:
  // Starts the code; nullptr where no emulator is built (Windows).
  static std::unique_ptr<Stm32Emulator> Start(Stm32EmulatorSetup setup);
  virtual ~Stm32Emulator() = default;

  // Bytes from the host at `nowMs`; they arrive one after another at the wire's pace.
  virtual void Receive(uint64_t nowMs, const uint8_t* bytes, std::size_t count) = 0;
  virtual void RunUntil(uint64_t nowMs) = 0;
  // What the USART sent, with the time each byte had left the wire.
  virtual std::vector<TimedByte> TakeOutput() = 0;
  virtual void SetHostBaud(uint32_t baud) = 0;

  virtual Stm32Exit exit() const = 0;
  virtual uint64_t exitMs() const = 0;
  // Bytes the host sent that had not reached the code when it ended, with their arrival times:
  // the ROM bootloader gets them.
  virtual std::vector<TimedByte> TakeUnreadInput() = 0;
  virtual const Stm32EmulatorStats& stats() const = 0;
  // The USART's rate now (its clock over BRR).
  virtual uint32_t unitBaud() const = 0;
};

}  // namespace korvelt::sim
