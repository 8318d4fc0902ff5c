#include "app/updater_dialog.h"

namespace korvelt {

void UpdaterDialog::OnUpdateGeneratorMcu() {}
void UpdaterDialog::OnUpdateAnalyzerMcu() {}
void UpdaterDialog::OnUpdateSubMcu() {}
void UpdaterDialog::OnUpdateInputBoard1() {}
void UpdaterDialog::OnUpdateInputBoard2() {}
void UpdaterDialog::OnUpdateInputBoard3() {}
void UpdaterDialog::OnUpdateInputBoard4() {}
void UpdaterDialog::OnBannerByte(uint8_t byte) {
  if (m_bIspRequested != 1 && m_bSubMcuRequested != 1 && m_bInputBoardRequested != 1) return;
  m_bannerPos = (m_bannerPos + 1) % static_cast<int>(m_bannerRing.size());
  m_bannerRing[static_cast<std::size_t>(m_bannerPos)] = byte;
}

}  // namespace korvelt
