#pragma once

#include <functional>
#include <map>
#include <optional>

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

// A link to one unit whose MCU may run code from its RAM (the flashing stub), which keeps time
// of its own: every millisecond while it runs, the unit is let run to the clock's time and what
// it sent comes back at its time. The rate of every open reaches the unit, whose link garbles
// what it cannot carry. Faults can be put on the bytes exchanged with code in RAM.
class TimedSimLink {
 public:
  // A byte's index among those that went the same way with code in RAM running, and the
  // byte: -1 drops it, another value replaces it, nothing keeps it.
  using Fault = std::function<std::optional<int>(uint64_t index, uint8_t byte)>;

  TimedSimLink(VirtualClock& clock, FakeSerialPort& port, int com, sim::InstrumentModel& unit)
      : clock_(clock), port_(port), com_(com), unit_(unit) {
    port_.presentPorts.insert(com);
    port_.SetWriteObserver([this](int written, const std::vector<uint8_t>& bytes) {
      if (written != com_) return;
      FollowRate();
      const bool ram = unit_.mcuRunsRamCode();
      std::vector<uint8_t> kept;
      for (uint8_t byte : bytes) {
        if (ram && toUnit) {
          const std::optional<int> fault = toUnit(to_unit_index_++, byte);
          if (fault && *fault < 0) continue;
          if (fault) byte = static_cast<uint8_t>(*fault);
        }
        kept.push_back(byte);
      }
      if (!kept.empty()) unit_.Receive(clock_.Now(), kept.data(), kept.size());
      Deliver(ram);
      Tick();
    });
  }

  Fault toUnit;
  Fault toHost;
  // What code in RAM sent, as it left the unit (before any fault).
  std::vector<sim::TimedByte> fromRamCode;

 private:
  void FollowRate() {
    for (auto it = port_.opens.rbegin(); it != port_.opens.rend(); ++it) {
      if (it->portNumber != com_ || !it->succeeded) continue;
      if (it->baudRate != rate_) {
        rate_ = it->baudRate;
        unit_.SetHostBaud(static_cast<uint32_t>(rate_));
      }
      return;
    }
  }
  void Deliver(bool ram) {
    for (const auto& out : unit_.TakeOutput()) {
      if (ram) fromRamCode.push_back(out);
      if (ram && toHost) {
        const std::optional<int> fault = toHost(to_host_index_++, out.byte);
        if (fault && *fault < 0) continue;
        if (fault) {
          port_.DeliverAt(out.atMs, com_, {static_cast<uint8_t>(*fault)});
          continue;
        }
      }
      port_.DeliverAt(out.atMs, com_, {out.byte});
    }
  }
  // While code runs in the MCU's RAM, it runs every millisecond.
  void Tick() {
    if (ticking_ || !unit_.mcuRunsRamCode()) return;
    ticking_ = true;
    clock_.ScheduleIn(1, [this] {
      ticking_ = false;
      FollowRate();
      const bool ram = unit_.mcuRunsRamCode();
      unit_.AdvanceTo(clock_.Now());
      Deliver(ram);
      Tick();
    });
  }

  VirtualClock& clock_;
  FakeSerialPort& port_;
  int com_;
  sim::InstrumentModel& unit_;
  int rate_ = 0;
  bool ticking_ = false;
  uint64_t to_unit_index_ = 0;
  uint64_t to_host_index_ = 0;
};

}  // namespace korvelt::testing
