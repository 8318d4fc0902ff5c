#pragma once

#include "app/updater_dialog.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/fake_window_services.h"
#include "tests/support/virtual_clock.h"

namespace korvelt::testing {

// The core window on a virtual clock with fake window services and a scripted port.
struct DialogHarness {
  DialogHarness() : services(clock), port(clock), dialog(services, port, nullptr) {
    services.Attach(&dialog);
    port.Attach(&dialog);
    dialog.OnInitDialog();
    dialog.Configure(
        {.allowPlaceholderLoader = true});  // the repository's loader is the placeholder
  }

  const std::string& Caption() { return services.controlTexts[1006]; }
  std::vector<FakeWindowServices::Box>& Boxes() { return services.boxes; }

  VirtualClock clock;
  FakeWindowServices services;
  FakeSerialPort port;
  UpdaterDialog dialog;
};

}  // namespace korvelt::testing
