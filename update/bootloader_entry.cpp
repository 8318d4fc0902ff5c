#include "app/updater_dialog.h"

namespace korvelt {

void UpdaterDialog::OnUpdateGeneratorMcu() {}
void UpdaterDialog::OnUpdateAnalyzerMcu() {}
void UpdaterDialog::OnUpdateSubMcu() {}
void UpdaterDialog::OnUpdateInputBoard1() {}
void UpdaterDialog::OnUpdateInputBoard2() {}
void UpdaterDialog::OnUpdateInputBoard3() {}
void UpdaterDialog::OnUpdateInputBoard4() {}

}  // namespace korvelt
