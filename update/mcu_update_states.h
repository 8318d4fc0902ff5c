#pragma once

namespace korvelt::mcu_state {

// The MCU update's states, in the window's m_stm32State. The first seven are the window's
// design; McuUpdate's files share the rest.
enum Stm32State {
  kStateSync = 0,
  kStateGet,
  kStateGetId,
  kStateReadFlashStart,
  kStateReadFlashSize,
  kStateErase,
  kStateWrite,
  // Not in the window's design:
  kStateVerify,
  kStateCheck,      // looking for a bootloader that waits on the line
  kStateDrain,      // it answered: waiting for the line to be quiet
  kStateGo,         // starting the new firmware
  kStateReadUid,    // reading the unique device ID
  kStateStubLoad,   // writing the flashing stub into RAM
  kStateStubCheck,  // reading it back
  kStateStubGo,     // starting it
  kStateStub,       // the image through the stub
  kStateStubExit,   // waiting for a stub that stopped answering to return to the ROM
};

}  // namespace korvelt::mcu_state
