#pragma once

#include <map>

#include "sim/instrument_model.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/virtual_clock.h"

namespace korvelt::testing {

// Connects the fake port to device models on the virtual clock: what the window writes to
// COMn reaches the model behind it, and what the model answers comes back at its time.
class SimLink {
 public:
  SimLink(VirtualClock& clock, FakeSerialPort& port) : clock_(clock), port_(port) {
    port_.SetWriteObserver([this](int com, const std::vector<uint8_t>& bytes) {
      auto it = models_.find(com);
      if (it == models_.end()) return;
      it->second->Receive(clock_.Now(), bytes.data(), bytes.size());
      for (const auto& out : it->second->TakeOutput()) port_.DeliverAt(out.atMs, com, {out.byte});
    });
  }
  // The port becomes present; a port with no model stays silent.
  void Attach(int com, sim::InstrumentModel* model) {
    port_.presentPorts.insert(com);
    if (model) models_[com] = model;
  }

 private:
  VirtualClock& clock_;
  FakeSerialPort& port_;
  std::map<int, sim::InstrumentModel*> models_;
};

}  // namespace korvelt::testing
