#include "sim/stm32_emulator.h"

namespace korvelt::sim {

// The Windows build has no ARM emulator: Go to RAM only records its address there.
std::unique_ptr<Stm32Emulator> Stm32Emulator::Start(Stm32EmulatorSetup) {
  return nullptr;
}

}  // namespace korvelt::sim
