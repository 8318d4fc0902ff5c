#include <cstdio>

#include "serial/serial_port.h"

namespace korvelt {

std::string SerialPort::PortName(int portNumber) {
  char name[32];
  // COM10 and above are only reachable through the device namespace prefix.
  if (portNumber >= 10) {
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", portNumber);
  } else {
    std::snprintf(name, sizeof name, "COM%d", portNumber);
  }
  return name;
}

std::string SerialPort::LineDefinition(int baudRate, char parity, int dataBits, int stopBits) {
  char text[96];
  std::snprintf(text, sizeof text, "baud=%d parity=%c data=%d stop=%d", baudRate, parity, dataBits,
                stopBits);
  return text;
}

}  // namespace korvelt
