#include "app/updater_dialog.h"

namespace korvelt {

void UpdaterDialog::OnStm32Byte(uint8_t) {}

}  // namespace korvelt
