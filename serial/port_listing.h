#pragma once

#include <string>

namespace korvelt {

// What 'korvelt-cli ports' prints: each COMn, the device behind it and, where the system says,
// the adapter (a USB adapter's IDs and names, a UART's type, a Windows port's friendly name).
std::string ListPorts();

}  // namespace korvelt
