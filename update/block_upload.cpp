#include "app/updater_dialog.h"

namespace korvelt {

void UpdaterDialog::OnGeneratorFpga() {}
void UpdaterDialog::OnAnalyzerFpga() {}
void UpdaterDialog::OnAuxFpga() {}
void UpdaterDialog::OnGeneratorDataFlash() {}
void UpdaterDialog::OnAnalyzerDataFlash() {}
void UpdaterDialog::OnNandFlash() {}
void UpdaterDialog::OnBlockAck() {}

}  // namespace korvelt
