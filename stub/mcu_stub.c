// The flashing stub: runs from RAM on the unit's main MCU (Cortex-M3, 128 KiB of flash in
// 1 KiB pages), talks over the USART the ROM bootloader set up and writes the flash at the
// line's pace. See README.md beside this file for the protocol.
//
// No libc, no interrupts: one loop polls the USART, the flash controller and SysTick, and
// never waits on one of them while another may need it. Every time-out counts SysTick
// milliseconds, derived from the USART's BRR and the line rate in the parameter block.

#include <stdbool.h>
#include <stdint.h>

#define REG(address) (*(volatile uint32_t*)(address))

// USART1, as the ROM bootloader left it (autobauded, 8 data bits + even parity, 1 stop bit).
#define USART_SR REG(0x40013800u)
#define USART_DR REG(0x40013804u)
#define USART_BRR REG(0x40013808u)
#define USART_CR1 REG(0x4001380Cu)
enum {
  kUsartPe = 1u << 0,
  kUsartFe = 1u << 1,
  kUsartNe = 1u << 2,
  kUsartOre = 1u << 3,
  kUsartRxne = 1u << 5,
  kUsartTc = 1u << 6,
  kUsartTxe = 1u << 7,
  kUsartEnabled = 1u << 13,
  kUsartErrors = kUsartPe | kUsartFe | kUsartNe | kUsartOre,
};

// The flash controller.
#define FLASH_KEYR REG(0x40022004u)
#define FLASH_SR REG(0x4002200Cu)
#define FLASH_CR REG(0x40022010u)
#define FLASH_AR REG(0x40022014u)
enum {
  kFlashBusy = 1u << 0,
  kFlashProgramError = 1u << 2,
  kFlashProtectError = 1u << 4,
  kFlashEndOfOperation = 1u << 5,
  kFlashPg = 1u << 0,
  kFlashPer = 1u << 1,
  kFlashMer = 1u << 2,
  kFlashStrt = 1u << 6,
  kFlashLock = 1u << 7,
  kFlashStart = 0x08000000,
  kPageBytes = 1024,
};
static const uint32_t kFlashKey1 = 0x45670123u;
static const uint32_t kFlashKey2 = 0xCDEF89ABu;
#define FLASH_SIZE_KIB (*(volatile uint16_t*)0x1FFFF7E0u)

#define RCC_CFGR REG(0x40021004u)
#define IWDG_KR REG(0x40003000u)
#define SYST_CSR REG(0xE000E010u)
#define SYST_RVR REG(0xE000E014u)
#define SYST_CVR REG(0xE000E018u)
#define SCB_VTOR REG(0xE000ED08u)
enum {
  kSysTickEnable = 1u << 0,
  kSysTickCoreClock = 1u << 2,
  kSysTickCountFlag = 1u << 16,
  kWatchdogRefresh = 0xAAAAu,
};

// The ROM bootloader's own entry: its stack pointer and reset handler.
#define SYSTEM_MEMORY_SP (*(volatile uint32_t*)0x1FFFF000u)
#define SYSTEM_MEMORY_RESET (*(volatile uint32_t*)0x1FFFF004u)

enum {
  kVersion = 1,
  kSlots = 14,                        // frames buffered: the host's window
  kAckEvery = kSlots / 2,             // acknowledge at least every half window
  kMaxData = 1024,                    // data bytes in one Write frame
  kSlotBytes = 2 + 4 + kMaxData + 4,  // type, sequence, address, data, CRC
  kScratchBytes = 16,                 // for the small unsequenced frames while every slot is taken
  kTxBytes = 256,
  kRxRing = 64,        // received bytes not yet decoded (a power of two)
  kQuietMs = 2000,     // no valid frame for this long: back to the ROM bootloader
  kBaudTrialMs = 300,  // a new rate must be confirmed (and used once) within this
  kCrcChunk = 16,      // bytes of flash per pass of the loop, so a received byte waits little
};
// The CRC register after a frame that ends with its own CRC.
static const uint32_t kCrcResidue = 0xDEBB20E3u;

// Commands (host to stub) and replies (stub to host).
enum {
  kHello = 0x01,
  kQuery = 0x02,
  kConfirmBaud = 0x03,
  kErasePages = 0x10,
  kEraseAll = 0x11,
  kWrite = 0x12,
  kCrc = 0x13,
  kBaud = 0x14,
  kLeave = 0x15,
  kReady = 0x80,
  kStatus = 0x81,
  kCrcResult = 0x82,
  kBaudReady = 0x83,
  kBaudConfirmed = 0x84,
};

// Status codes.
enum {
  kOk = 0,
  kGap = 1,  // a frame was lost or damaged: send again from `expect`
  kEraseFailed = 2,
  kNotErased = 3,  // programming found the half-word not erased
  kWriteProtected = 4,
  kVerifyFailed = 5,  // the half-word reads back other than written
  kBadRange = 6,      // outside the flash, or misaligned
  kBadCommand = 7,
  kBaudRefused = 8,  // the rate cannot be made from this clock
};

// The host may patch the line rate before it starts the stub (the image carries 115200).
struct Params {
  uint32_t magic;
  uint32_t lineBaud;
};

void StubReset(void);
void StubFault(void);
extern uint32_t _bss_start, _bss_end, _stack_top;

__attribute__((section(".vectors"), used)) static void (*const kVectors[16])(void) = {
    (void (*)(void))(&_stack_top),
    StubReset,
    StubFault,
    StubFault,
    StubFault,
    StubFault,
    StubFault,
    0,
    0,
    0,
    0,
    StubFault,
    StubFault,
    0,
    StubFault,
    StubFault,
};
__attribute__((section(".params"), used)) static const volatile struct Params kParams = {
    .magic = 0x3153564Bu,  // "KVS1"
    .lineBaud = 115200,
};

static uint32_t crc_table[256];

static struct {
  uint8_t slot[kSlots][kSlotBytes];
  uint16_t slot_length[kSlots];
  uint32_t accepted;  // frames taken into slots
  uint32_t executed;  // frames done
  uint8_t expect;     // sequence number of the next frame to take
  uint8_t done;       // sequence number of the next frame to execute
  uint8_t acked;      // `done` in the last Status sent
  bool gap_reported;  // a Gap status went out since the last frame taken
  uint8_t error;      // sticky: set by a failed command until its sequence number comes again
  uint32_t error_address;
  // The frame being received (COBS).
  uint8_t scratch[kScratchBytes];
  uint8_t* rx;
  uint16_t rx_capacity;
  uint16_t rx_length;
  uint8_t cobs_left;
  bool cobs_zero;
  bool rx_bad;
  bool rx_started;
  uint32_t rx_crc;
  // The command being executed.
  uint32_t step;  // half-words written, pages erased, bytes summed
  uint32_t crc;
  bool flash_pending;
  uint32_t flash_address;
  uint16_t flash_value;
  // Bytes taken from the USART, with its error flags, not yet decoded.
  uint16_t rx_ring[kRxRing];
  uint8_t rx_ring_head, rx_ring_tail;
  // Replies waiting for the line.
  uint8_t tx[kTxBytes];
  uint16_t tx_head, tx_tail;
  // Time.
  uint32_t quiet_ms;
  uint32_t flash_bytes;
  // The rate switch on trial.
  uint32_t line_baud;
  uint32_t old_brr;
  uint32_t old_baud;
  uint32_t trial_ms;
  uint8_t trial;  // 0 none, 1 switching (Baud Ready on the line), 2 waiting, 3 confirmed
} s;

__attribute__((noreturn, used)) void EnterRom(void) {
  // What the ROM bootloader expects at its reset: its vector table, the flash locked, SysTick
  // off. It autobauds again on the host's next 0x7F.
  SYST_CSR = 0;
  SYST_RVR = 0;
  SYST_CVR = 0;
  FLASH_CR = kFlashLock;
  SCB_VTOR = 0;
  uint32_t sp = SYSTEM_MEMORY_SP;
  uint32_t entry = SYSTEM_MEMORY_RESET;
  __asm volatile("msr msp, %0\n bx %1\n" : : "r"(sp), "r"(entry) : "memory");
  __builtin_unreachable();
}

// Any fault: the unit must not be left in a stub that no longer answers.
__attribute__((naked, noreturn)) void StubFault(void) {
  __asm volatile("ldr r0, =_stack_top\n msr msp, r0\n b EnterRom\n");
}

// Takes a received byte off the USART before the next one overruns it. Called from the loop
// and from every loop that may run longer than a byte's time on the line; it only stores.
static void PollRx(void) {
  const uint32_t status = USART_SR;
  if (!(status & kUsartRxne)) return;
  const uint32_t byte = USART_DR & 0xFF;
  s.rx_ring[s.rx_ring_head % kRxRing] = (uint16_t)(byte | (status & kUsartErrors) << 8);
  ++s.rx_ring_head;  // the loop decodes long before 64 bytes wait
}

static uint32_t CrcByte(uint32_t crc, uint8_t byte) {
  return crc_table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

static void Put(uint8_t byte) {
  uint16_t next = (uint16_t)((s.tx_head + 1) % kTxBytes);
  if (next == s.tx_tail) return;  // never with the replies' sizes; the host asks again
  s.tx[s.tx_head] = byte;
  s.tx_head = next;
  PollRx();
}

static void PutWord(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = (uint8_t)(value >> (8 * i));
}

// Sends `length` bytes of `frame` (type, sequence, body) with its CRC, COBS-encoded and ended
// by a zero.
static void Send(uint8_t* frame, uint32_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < length; ++i) crc = CrcByte(crc, frame[i]);
  PutWord(frame + length, ~crc);
  length += 4;
  uint32_t group = 0;  // start of the current group
  while (group <= length) {
    uint32_t end = group;
    while (end < length && frame[end] != 0 && end - group < 254) ++end;
    Put((uint8_t)(end - group + 1));
    for (uint32_t i = group; i < end; ++i) Put(frame[i]);
    if (end == length) break;
    group = end - group == 254 ? end : end + 1;  // a full group implies no zero
  }
  Put(0);
}

static void SendStatus(void) {
  uint8_t frame[2 + 7 + 4] = {kStatus, 0, s.done, s.expect, s.error};
  PutWord(frame + 5, s.error_address);
  Send(frame, 9);
  s.acked = s.done;
}

static void SendReady(void) {
  uint8_t frame[2 + 10 + 4] = {kReady,
                               0,
                               kVersion,
                               kSlots,
                               (uint8_t)kMaxData,
                               (uint8_t)(kMaxData >> 8),
                               (uint8_t)kPageBytes,
                               (uint8_t)(kPageBytes >> 8),
                               (uint8_t)(s.flash_bytes >> 10),
                               (uint8_t)(s.flash_bytes >> 18),
                               s.done,
                               s.expect};
  Send(frame, 12);
}

static void SendRate(uint8_t type, uint8_t seq, uint32_t rate) {
  uint8_t frame[2 + 4 + 4] = {type, seq};
  PutWord(frame + 2, rate);
  Send(frame, 6);
}

static uint32_t Word(const uint8_t* at) {
  return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

static void StartFrame(void) {
  uint32_t free_slots = kSlots - (s.accepted - s.executed);
  if (free_slots > 0) {
    s.rx = s.slot[s.accepted % kSlots];
    s.rx_capacity = kSlotBytes;
  } else {
    s.rx = s.scratch;
    s.rx_capacity = kScratchBytes;
  }
  s.rx_length = 0;
  s.cobs_left = 0;
  s.cobs_zero = false;
  s.rx_bad = false;
  s.rx_started = false;
  s.rx_crc = 0xFFFFFFFFu;
}

static void Store(uint8_t byte) {
  if (s.rx_length >= s.rx_capacity) {
    s.rx_bad = true;
    return;
  }
  s.rx[s.rx_length++] = byte;
  s.rx_crc = CrcByte(s.rx_crc, byte);
}

static bool IsSequenced(uint8_t type) {
  return type >= kErasePages && type <= kLeave;
}

// A frame that passed its CRC.
static void OnFrame(void) {
  const uint8_t type = s.rx[0];
  const uint8_t seq = s.rx[1];
  const uint32_t body = s.rx_length - 6u;
  s.quiet_ms = 0;
  if (s.trial == 3) s.trial = 0;  // a frame after the confirmation: the new rate holds
  if (type == kHello) {
    SendReady();
  } else if (type == kQuery) {
    SendStatus();
  } else if (type == kConfirmBaud) {
    if (s.trial == 2 && body == 4 && Word(s.rx + 2) == s.line_baud) {
      s.trial = 3;
      SendRate(kBaudConfirmed, seq, s.line_baud);
    }
  } else if (!IsSequenced(type)) {
    // Unknown: nothing to execute; the host hears of it when it asks.
  } else if (seq != s.expect || s.rx != s.slot[s.accepted % kSlots]) {
    // Out of order: a frame before it was lost (or it came again). One Gap tells the host;
    // a failed command has already said where to go on from.
    if (!s.gap_reported && s.error == kOk) {
      s.gap_reported = true;
      s.error = kGap;
      SendStatus();
      s.error = kOk;
    }
  } else {
    s.slot_length[s.accepted % kSlots] = (uint16_t)(s.rx_length - 4u);
    ++s.accepted;
    ++s.expect;
    s.gap_reported = false;
    s.error = kOk;
  }
}

static void OnByte(uint16_t received) {
  const uint8_t byte = (uint8_t)received;
  if (received >> 8) s.rx_bad = true;  // parity, framing, noise or overrun
  if (byte == 0) {
    if (!s.rx_bad && s.cobs_left == 0 && s.rx_length >= 6 && s.rx_crc == kCrcResidue) {
      OnFrame();
    }
    StartFrame();
    return;
  }
  s.rx_started = true;
  if (s.cobs_left == 0) {
    if (s.cobs_zero) Store(0);
    s.cobs_left = (uint8_t)(byte - 1);
    s.cobs_zero = byte != 0xFF;
  } else {
    Store(byte);
    --s.cobs_left;
  }
}

static void Fail(uint8_t code, uint32_t address) {
  // Nothing after the failed command runs; the host goes on from its sequence number.
  s.error = code;
  s.error_address = address;
  s.accepted = s.executed;
  s.expect = s.done;
  s.step = 0;
  s.flash_pending = false;
  FLASH_CR = 0;
  SendStatus();
  StartFrame();  // a frame being received may have been given a slot that is free again
}

static void Complete(void) {
  ++s.executed;
  ++s.done;
  s.step = 0;
  s.flash_pending = false;
  FLASH_CR = 0;
  const bool idle = s.executed == s.accepted && !s.rx_started;
  if ((uint8_t)(s.done - s.acked) >= kAckEvery || idle) SendStatus();
}

static bool InFlash(uint32_t address, uint32_t length) {
  return address >= kFlashStart && length <= s.flash_bytes &&
         address - kFlashStart <= s.flash_bytes - length;
}

// Checks the controller after an operation; true if it went well.
static bool FlashOk(uint8_t code, uint32_t address) {
  const uint32_t status = FLASH_SR;
  FLASH_SR = kFlashProgramError | kFlashProtectError | kFlashEndOfOperation;
  if (status & kFlashProtectError) {
    Fail(kWriteProtected, address);
    return false;
  }
  if (status & kFlashProgramError) {
    Fail(code, address);
    return false;
  }
  return true;
}

static void ExecuteWrite(const uint8_t* frame, uint32_t length) {
  const uint32_t start = Word(frame + 2);
  const uint32_t bytes = length - 6u;
  if (s.step == 0 && !s.flash_pending &&
      ((start & 1) || (bytes & 1) || bytes == 0 || !InFlash(start, bytes))) {
    Fail(kBadRange, start);
    return;
  }
  if (s.flash_pending) {
    if (!FlashOk(kNotErased, s.flash_address)) return;
    if (*(volatile uint16_t*)s.flash_address != s.flash_value) {
      Fail(kVerifyFailed, s.flash_address);
      return;
    }
    s.flash_pending = false;
  }
  // Erased half-words stay as they are; each other one is programmed and read back. A long
  // erased run is passed over a few half-words a pass, so a received byte waits little.
  for (uint32_t skipped = 0; s.step < bytes && skipped < kCrcChunk; ++skipped) {
    const uint32_t address = start + s.step;
    const uint16_t value = (uint16_t)(frame[6 + s.step] | frame[7 + s.step] << 8);
    s.step += 2;
    if (value == 0xFFFF) {
      PollRx();
      if (*(volatile uint16_t*)address != 0xFFFF) {
        Fail(kVerifyFailed, address);
        return;
      }
      continue;
    }
    FLASH_CR = kFlashPg;
    *(volatile uint16_t*)address = value;
    s.flash_pending = true;
    s.flash_address = address;
    s.flash_value = value;
    return;  // the loop serves the line while the controller programs
  }
  if (s.step >= bytes) Complete();
}

static void ExecuteErase(const uint8_t* frame, uint32_t length, bool all) {
  uint32_t start = kFlashStart;
  uint32_t pages = s.flash_bytes / kPageBytes;
  if (!all) {
    if (length != 2u + 6u) {
      Fail(kBadCommand, 0);
      return;
    }
    start = Word(frame + 2);
    pages = (uint32_t)frame[6] | (uint32_t)frame[7] << 8;
    if (start % kPageBytes || pages == 0 || !InFlash(start, pages * kPageBytes)) {
      Fail(kBadRange, start);
      return;
    }
  }
  if (s.flash_pending) {
    if (!FlashOk(kEraseFailed, s.flash_address)) return;
    s.flash_pending = false;
  }
  if (s.step == (all ? 1u : pages)) {
    Complete();
    return;
  }
  s.flash_address = start + s.step * kPageBytes;
  if (all) {
    FLASH_CR = kFlashMer;
    FLASH_CR = kFlashMer | kFlashStrt;
  } else {
    FLASH_CR = kFlashPer;
    FLASH_AR = s.flash_address;
    FLASH_CR = kFlashPer | kFlashStrt;
  }
  ++s.step;
  s.flash_pending = true;
}

static void ExecuteCrc(const uint8_t* frame, uint32_t length, uint8_t seq) {
  const uint32_t start = Word(frame + 2);
  const uint32_t bytes = Word(frame + 6);
  if (length != 2u + 8u || !InFlash(start, bytes)) {
    Fail(kBadRange, start);
    return;
  }
  if (s.step == 0) s.crc = 0xFFFFFFFFu;
  for (uint32_t n = 0; n < kCrcChunk && s.step < bytes; ++n, ++s.step) {
    s.crc = CrcByte(s.crc, *(const volatile uint8_t*)(start + s.step));
  }
  PollRx();
  if (s.step < bytes) return;
  uint8_t reply[2 + 12 + 4] = {kCrcResult, seq};
  PutWord(reply + 2, start);
  PutWord(reply + 6, bytes);
  PutWord(reply + 10, ~s.crc);
  Send(reply, 14);
  Complete();
}

static bool TxIdle(void) {
  return s.tx_head == s.tx_tail && (USART_SR & kUsartTc);
}

static void ExecuteBaud(const uint8_t* frame, uint32_t length, uint8_t seq) {
  if (s.trial == 1) {
    if (!TxIdle()) return;
    USART_BRR = (s.old_brr * s.old_baud + s.line_baud / 2) / s.line_baud;
    s.trial = 2;
    s.trial_ms = 0;
    StartFrame();
    return;
  }
  if (s.trial != 0) return;  // on trial: nothing else runs until the new rate holds or is undone
  if (s.step == 1) {
    Complete();  // the new rate holds
    return;
  }
  const uint32_t rate = length == 2u + 4u ? Word(frame + 2) : 0;
  const uint32_t clock = USART_BRR * s.line_baud;  // the USART's clock, from the current rate
  const uint32_t brr = rate ? (clock + rate / 2) / rate : 0;
  // The F1's USART divides by at least 16; more than 2 % off is more than 8E1 tolerates.
  if (brr < 16 || brr > 0xFFFF ||
      (brr * rate > clock ? brr * rate - clock : clock - brr * rate) > clock / 50) {
    Fail(kBaudRefused, rate);
    return;
  }
  s.old_brr = USART_BRR;
  s.old_baud = s.line_baud;
  s.line_baud = rate;
  s.trial = 1;
  s.step = 1;
  SendRate(kBaudReady, seq, rate);
}

static void Execute(void) {
  if (s.executed == s.accepted) return;
  const uint32_t index = s.executed % kSlots;
  const uint8_t* frame = s.slot[index];
  const uint32_t length = s.slot_length[index];
  switch (frame[0]) {
    case kWrite:
      ExecuteWrite(frame, length);
      break;
    case kErasePages:
      ExecuteErase(frame, length, false);
      break;
    case kEraseAll:
      ExecuteErase(frame, length, true);
      break;
    case kCrc:
      ExecuteCrc(frame, length, frame[1]);
      break;
    case kBaud:
      ExecuteBaud(frame, length, frame[1]);
      break;
    case kLeave:
      if (s.step == 0) {
        ++s.done;
        SendStatus();
        s.step = 1;
      } else if (TxIdle()) {
        EnterRom();
      }
      break;
    default:
      Fail(kBadCommand, frame[0]);
      break;
  }
}

static void OnMillisecond(void) {
  IWDG_KR = kWatchdogRefresh;
  if (++s.quiet_ms >= kQuietMs) EnterRom();
  if (s.trial >= 2 && ++s.trial_ms >= kBaudTrialMs) {
    if (s.trial == 2 || s.trial == 3) {
      // Unconfirmed, or confirmed but never used: back to the old rate, where the host
      // will look for the stub after its own time-out.
      USART_BRR = s.old_brr;
      s.line_baud = s.old_baud;
      s.trial = 0;
      s.step = 0;
      Fail(kBaudRefused, s.old_baud);
    }
  }
}

__attribute__((noreturn, used)) void StubStart(void) {
  for (uint32_t* p = &_bss_start; p < &_bss_end; ++p) *p = 0;
  SCB_VTOR = (uint32_t)kVectors;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & -(c & 1));
    crc_table[i] = c;
  }
  // A USART the bootloader has not set up cannot carry the protocol.
  if (!(USART_CR1 & kUsartEnabled) || USART_BRR < 16 || kParams.lineBaud == 0) EnterRom();
  s.line_baud = kParams.lineBaud;
  s.flash_bytes = (uint32_t)FLASH_SIZE_KIB * 1024u;
  if (s.flash_bytes == 0 || s.flash_bytes > 512u * 1024u) s.flash_bytes = 128u * 1024u;
  // SysTick counts core cycles; the USART counts APB2 cycles: BRR of them a bit.
  const uint32_t apb2 = (RCC_CFGR >> 11) & 7u;
  const uint32_t cycles_per_bit = USART_BRR << (apb2 >= 4 ? apb2 - 3 : 0);
  uint32_t reload = cycles_per_bit * s.line_baud / 1000u;
  if (reload > 0x1000000u) reload = 0x1000000u;
  if (reload < 2) reload = 2;
  SYST_RVR = reload - 1;
  SYST_CVR = 0;
  SYST_CSR = kSysTickEnable | kSysTickCoreClock;
  if (FLASH_CR & kFlashLock) {
    FLASH_KEYR = kFlashKey1;
    FLASH_KEYR = kFlashKey2;
  }
  FLASH_SR = kFlashProgramError | kFlashProtectError | kFlashEndOfOperation;
  StartFrame();
  SendReady();
  for (;;) {
    PollRx();
    while (s.rx_ring_tail != s.rx_ring_head) OnByte(s.rx_ring[s.rx_ring_tail++ % kRxRing]);
    if ((USART_SR & kUsartTxe) && s.tx_head != s.tx_tail) {
      USART_DR = s.tx[s.tx_tail];
      s.tx_tail = (uint16_t)((s.tx_tail + 1) % kTxBytes);
    }
    if (!(FLASH_SR & kFlashBusy)) Execute();
    if (SYST_CSR & kSysTickCountFlag) OnMillisecond();
  }
}

__attribute__((naked, noreturn)) void StubReset(void) {
  __asm volatile("cpsid i\n ldr r0, =_stack_top\n msr msp, r0\n b StubStart\n");
}
