#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvelt {

// The flashing stub for the main MCU (stub/), built into the program from the committed
// stub/mcu_stub.bin. The host writes it into RAM with the ROM bootloader's Write Memory and
// starts it with Go at kMcuStubLoadAddress (its vector table: stack pointer, reset handler).
inline constexpr uint32_t kMcuStubLoadAddress = 0x20000200;
// The parameter block after the vector table: a magic word, then the line rate in baud.
inline constexpr std::size_t kMcuStubParamsOffset = 0x40;
inline constexpr uint32_t kMcuStubParamsMagic = 0x3153564B;  // "KVS1"

std::span<const uint8_t> McuStubImage();
// The image with the line rate the ROM bootloader runs at (the stub times its time-outs by it);
// empty if the embedded image has no parameter block.
std::vector<uint8_t> McuStubImageFor(uint32_t lineBaud);

}  // namespace korvelt
