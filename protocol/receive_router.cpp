#include "app/updater_dialog.h"

namespace korvelt {

int UpdaterDialog::ReceiveRouter(uint8_t byte, int portNumber) {
  if (portNumber <= 0 || portNumber >= 100) return -1;
  (void)byte;
  return 0;
}

}  // namespace korvelt
