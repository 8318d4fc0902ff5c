#pragma once

#include <termios.h>

#include <optional>
#include <string>

namespace korvelt {

// The POSIX calls the serial backend makes to open and configure a device. Tests derive from
// it to see the settings asked of the OS, since pseudo-terminals refuse parity.
class SerialPortBackendOps {
 public:
  virtual ~SerialPortBackendOps() = default;

  // The device behind a port name ("COM3", "\\.\COM12"), from the port map.
  virtual std::optional<std::string> ResolvePort(const std::string& portName);
  // Exclusive open for reading and writing; -1 with errno set when absent or in use: another
  // program's lock, or another program that has it open without one. Once open, the device is
  // in exclusive mode (TIOCEXCL): nobody else opens it after us. `reopening`: this program held
  // the device in exclusive mode up to the moment before, so no other program can hold it and
  // the search for one (a walk through every process's descriptors) is left out.
  virtual int OpenExclusive(const std::string& device, bool reopening = false);
  virtual int GetAttributes(int fd, termios* settings);
  virtual int SetAttributes(int fd, const termios& settings);
  // Asserts RTS (modem-line ioctl).
  virtual int AssertRts(int fd);
  virtual bool IsPseudoTerminal(int fd);
  // Bytes written but not yet sent by the device (TIOCOUTQ); -1 with errno set on failure.
  virtual int QueuedOutput(int fd, int* count);
};

// Closes a device OpenExclusive opened. Its exclusive mode is lifted first: it would stay on a
// tty another process keeps open (a pseudo-terminal's server does), and refuse the next open.
void CloseExclusive(int fd);

// Builds the raw line settings for baud, parity 'N' or 'E', data and stop bits: no flow
// control, receiver on, modem control lines ignored. False for a baud rate the OS lacks.
bool BuildLineSettings(termios* settings, int baudRate, char parity, int dataBits, int stopBits);

}  // namespace korvelt
