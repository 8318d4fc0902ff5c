#pragma once

#include <cstdlib>
#include <map>
#include <memory>

#include "app/updater_dialog.h"
#include "frontends/headless/headless_window.h"
#include "serial/port_map.h"
#include "serial/serial_port.h"
#include "sim/pty_device.h"
#include "tests/support/pty_pair.h"

namespace korvelt::testing {

// End to end in real time: the core in a headless window, the real serial port, and device
// models served on pseudo-terminals that a port-map folder names COMn.
class PtyRig {
 public:
  PtyRig() {
    ::setenv(PortMap::kFolderVariable, folder_.path().c_str(), 1);
    dialog_ = std::make_unique<UpdaterDialog>(window_, port_, &window_.channel());
    window_.Attach(dialog_.get());
    dialog_->OnInitDialog();
    dialog_->Configure(
        {.allowPlaceholderLoader = true});  // the repository's loader is the placeholder
  }
  ~PtyRig() {
    dialog_.reset();
    devices_.clear();
    ::unsetenv(PortMap::kFolderVariable);
  }

  sim::PtyDevice& Serve(int com, std::shared_ptr<sim::InstrumentModel> model) {
    auto device = std::make_unique<sim::PtyDevice>(std::move(model));
    device->Start(folder_.path() + "/COM" + std::to_string(com));
    auto& ref = *device;
    devices_[com] = std::move(device);
    return ref;
  }

  UpdaterDialog& dialog() { return *dialog_; }
  HeadlessWindow& window() { return window_; }
  const PortFolder& folder() const { return folder_; }

 private:
  PortFolder folder_;
  HeadlessWindow window_;
  SerialPort port_;
  std::map<int, std::unique_ptr<sim::PtyDevice>> devices_;
  std::unique_ptr<UpdaterDialog> dialog_;
};

}  // namespace korvelt::testing
