#include "app/updater_dialog.h"

namespace korvelt {

int UpdaterDialog::ReceiveRouter(uint8_t byte, int portNumber) {
  // Only COM1 to COM99 exist for the window; the port number is not compared with the one
  // in use.
  if (portNumber <= 0 || portNumber >= 100) return -1;
  if (options_.resendBlocks) WatchLineQuiet();
  if (m_bSearching == 1) {
    OnSearchReplyByte(byte);
  } else if (m_bLoaderMode == 1) {
    OnLoaderByte(byte);
  } else if (m_bStm32Mode == 1) {
    OnStm32Byte(byte);
  } else {
    OnReplyByte(byte);
  }
  return 0;
}

}  // namespace korvelt
