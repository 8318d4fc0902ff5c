#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/instrument_model.h"
#include "sim/line_noise.h"

namespace korvelt::sim {

// Serves a device model on a pseudo-terminal: the port side (slave) is linked into a
// port-map folder as COMn, and a thread feeds what the updater writes to the model and
// writes the model's answers back at their times.
class PtyDevice {
 public:
  explicit PtyDevice(std::shared_ptr<InstrumentModel> model);
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  // Opens the pty, links `linkPath` to its port side and starts serving. False on failure.
  bool Start(const std::string& linkPath);
  void Stop();

  const std::string& portPath() const { return slave_path_; }
  // Runs `inspect` with the model while the serving thread cannot touch it.
  void WithModel(const std::function<void(InstrumentModel&)>& inspect);
  // Paces bytes in both directions as a line at `baud` would (10 bits a byte, 11 while the
  // MCU's bootloader talks 8E1); 0 leaves the line unlimited. Set before Start.
  void SetBaudRate(int baud) { baud_ = baud; }
  // Bytes towards the unit and towards the updater cross these noisy lines. Set before Start.
  void SetLineNoise(std::shared_ptr<LineNoise> toUnit, std::shared_ptr<LineNoise> toHost) {
    noise_to_unit_ = std::move(toUnit);
    noise_to_host_ = std::move(toHost);
  }
  uint64_t bytesIn() const { return bytes_in_; }
  uint64_t bytesOut() const { return bytes_out_; }

 private:
  void Serve();
  int64_t ByteUs() const;  // one byte's time on the line now

  std::shared_ptr<InstrumentModel> model_;
  std::mutex model_mutex_;
  int master_ = -1;
  int slave_keepalive_ = -1;  // keeps the line up while the updater has the port closed
  int stop_event_ = -1;
  std::string slave_path_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  int baud_ = 0;
  std::shared_ptr<LineNoise> noise_to_unit_;
  std::shared_ptr<LineNoise> noise_to_host_;
  std::atomic<uint64_t> bytes_in_{0};
  std::atomic<uint64_t> bytes_out_{0};
};

}  // namespace korvelt::sim
