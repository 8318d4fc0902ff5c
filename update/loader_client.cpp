#include "app/updater_dialog.h"

namespace korvelt {

void UpdaterDialog::OnSerialTxDone() {}

}  // namespace korvelt
