#include "app/updater_dialog.h"
#include "protocol/frame.h"

namespace korvelt {

bool UpdaterDialog::SendCommandFrame(uint16_t code, const uint8_t* payload, int length) {
  if (length > kMaxCommandPayload) {
    Refuse("Too much parameter.", kCaptionConsole);
    return false;
  }
  const std::size_t payloadBytes = length > 0 ? static_cast<std::size_t>(length) : 0;
  const std::size_t frameBytes =
      BuildFrame(kCommandStart, {m_deviceType, m_deviceSubType, m_groupAddress, m_machineAddress},
                 code, payload, payloadBytes, m_txFrame.data());
  if (m_bPortOpen == 0) {
    Refuse(kPortNotOnYet, kCaptionConsole);
    return false;
  }
  m_port.QueueWrite(m_txFrame.data(), static_cast<int>(frameBytes));
  return true;
}

}  // namespace korvelt
