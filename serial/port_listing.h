#pragma once

#include <optional>
#include <string>

namespace korvelt {

// What 'korvelt-cli ports' prints: each COMn, the device behind it and, where the system says,
// the adapter (a USB adapter's IDs and names, a UART's type, a Windows port's friendly name).
std::string ListPorts();

// The serial number of the USB adapter behind COMn, where the system knows one: it names the
// cable a unit hung on in the station's records.
std::optional<std::string> AdapterSerialNumber(int portNumber);

}  // namespace korvelt
