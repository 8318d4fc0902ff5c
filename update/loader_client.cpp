#include "app/updater_dialog.h"

namespace korvelt {

void UpdaterDialog::OnSerialTxDone() {}
void UpdaterDialog::OnLoaderByte(uint8_t) {}

}  // namespace korvelt
