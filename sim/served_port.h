#pragma once

#include <memory>
#include <string>

#include "sim/instrument_model.h"
#include "sim/line_noise.h"
#include "sim/pty_device.h"

namespace korvelt::sim {

// One COMn of a running simulator: the unit, its pseudo-terminal linked into the port folder,
// the line's noise, and a lock beside the link (".COMn.lock") that keeps a second simulator
// from taking the link over while this one serves it.
class ServedPort {
 public:
  ServedPort(int com, std::string role, std::shared_ptr<InstrumentModel> model, std::string portDir,
             int baud);
  ~ServedPort();
  ServedPort(const ServedPort&) = delete;
  ServedPort& operator=(const ServedPort&) = delete;

  // Takes the link's lock and serves the unit on it. False (and `error` set) when another
  // simulator serves the link, or the pty cannot be made.
  bool Start(std::string* error);
  // Every byte either way is lost or damaged with this probability; set before Start.
  void SetLineNoise(double probability, uint64_t seed);

  // The cable is pulled: the port's device goes away (its readers get a hang-up) and its link
  // dangles. The unit keeps running.
  void Unplug();
  // Plugged in again: a new device under the same link.
  void Plug();
  void PowerCycle();
  // At exit: the unit stops; the link and the lock go.
  void Stop();

  int com() const { return com_; }
  const std::string& role() const { return role_; }
  InstrumentModel& model() { return *model_; }
  PtyDevice& device() { return *device_; }
  bool plugged() const { return plugged_; }
  const LineNoise* noiseToUnit() const { return noise_to_unit_.get(); }
  const LineNoise* noiseToHost() const { return noise_to_host_.get(); }

 private:
  std::string LinkPath() const;
  std::string LockPath() const;

  int com_;
  std::string role_;
  std::shared_ptr<InstrumentModel> model_;
  std::unique_ptr<PtyDevice> device_;
  std::string port_dir_;
  std::shared_ptr<LineNoise> noise_to_unit_;
  std::shared_ptr<LineNoise> noise_to_host_;
  int lock_fd_ = -1;
  bool plugged_ = false;
};

}  // namespace korvelt::sim
