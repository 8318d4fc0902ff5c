#include "app/updater_dialog.h"

namespace korvelt {

void UpdaterDialog::OnSearchGenerator() {}
void UpdaterDialog::OnSearchAnalyzer() {}
void UpdaterDialog::OnSearchType2() {}
void UpdaterDialog::OnSearchType3() {}
void UpdaterDialog::OnSearchType4() {}
void UpdaterDialog::OnSearchType5() {}
void UpdaterDialog::OnSearchType6() {}
void UpdaterDialog::OnSearchType7() {}

}  // namespace korvelt
