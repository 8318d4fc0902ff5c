// The reply parser: assembles reply frames one byte at a time, drops anything malformed
// without a word, and dispatches good frames through the command table.
#include "app/updater_dialog.h"
#include "protocol/frame.h"

namespace korvelt {

namespace {

constexpr int kIdle = -1;

}  // namespace

void UpdaterDialog::OnReplyByte(uint8_t byte) {
  const int state = m_parserState;
  if (state == kIdle) {
    if (byte == kReplyStart) {
      m_replyBuf[0] = byte;
      m_parserState = 0;
    } else if (m_bIspRequested == 1 || m_bSubMcuRequested == 1 || m_bInputBoardRequested == 1) {
      OnBannerByte(byte);  // may switch the routing modes; the parser stays idle
    }
    return;
  }
  switch (state) {
    case 0:
      if (byte != m_deviceType) break;
      m_replyBuf[1] = byte;
      m_parserState = 1;
      return;
    case 1:
      if (byte != m_deviceSubType) break;
      m_replyBuf[2] = byte;
      m_parserState = 2;
      return;
    case 2:
      m_replyBuf[3] = byte;
      m_replyLength = byte;
      m_parserState = 3;
      return;
    case 3:
      if (byte > 1) break;
      m_replyBuf[4] = byte;
      m_replyLength += byte * 256;
      // A length below 5 could never reach its command code (0 would never end at all).
      if (m_replyLength > kMaxReplyLength || m_replyLength < kMinFrameLength) break;
      m_parserState = 4;
      return;
    default: {
      // Collecting byte state+1. A search interrupted mid-reply can leave any state and a
      // stale length behind: whatever they hold, nothing is stored past the buffer or past
      // the frame's own end.
      const int index = state + 1;
      const int lastIndex = m_replyLength + 4;
      if (state < 4 || m_replyLength < kMinFrameLength || m_replyLength > kMaxReplyLength ||
          index > lastIndex || index >= static_cast<int>(m_replyBuf.size())) {
        break;
      }
      m_replyBuf[static_cast<std::size_t>(index)] = byte;
      if (index < lastIndex) {
        m_parserState = index;
        return;
      }
      ProcessReplyFrame();
      break;
    }
  }
  m_parserState = kIdle;
}

bool UpdaterDialog::ReplyPassesFilter(uint16_t code) const {
  if (code == kFilterExemptCommand) return true;
  const uint8_t g = m_groupAddress;
  const uint8_t m = m_machineAddress;
  const bool broadcast = (g == 0x00 && m == 0x00) || (g == 0xFF && m == 0xFF) ||
                         (g != 0x00 && g != 0xFF && (m == 0x00 || m == 0xFF));
  return broadcast || (m_replyBuf[5] == g && m_replyBuf[6] == m);
}

void UpdaterDialog::ProcessReplyFrame() {
  const std::size_t frameBytes = static_cast<std::size_t>(m_replyLength) + 5;
  if (!SumsToZero(m_replyBuf.data(), frameBytes)) return;
  const uint16_t code = ReplyCommandCode(m_replyBuf.data());
  for (int slot = 0; slot < kCommandSlots; ++slot) {
    if (m_commandCodes[static_cast<std::size_t>(slot)] != code) continue;
    if (!ReplyPassesFilter(code)) return;
    ++reply_counters_.framesDispatched;
    reply_counters_.lastDispatchedSlot = slot;
    (this->*m_commandHandlers[static_cast<std::size_t>(slot)])();
    return;
  }
}

}  // namespace korvelt
