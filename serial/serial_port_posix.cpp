// POSIX backend of SerialPort: termios for the line, poll() on the device and two eventfds
// for the worker's three wake sources (close, write, data, in that priority).
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/comm_error.h"
#include "serial/low_latency.h"
#include "serial/notification_channel.h"
#include "serial/port_open_failure.h"
#include "serial/port_worker_base.h"
#include "serial/posix_tty_ops.h"
#include "serial/serial_messages.h"
#include "serial/serial_port.h"

namespace korvelt {

namespace {

// Write time-outs of the port: 1000 ms plus 1000 ms per byte, as the port is configured.
constexpr int kWriteTimeoutConstantMs = 1000;
constexpr int kWriteTimeoutPerByteMs = 1000;
// How often the device's output queue is looked at while a write is being sent: 1 ms is about
// 11 bytes at 115200 baud.
constexpr int kOutputPollMs = 1;
// The worker also wakes this often with nothing to do, so a lost wake-up can never stall it.
constexpr int kIdleWakeMs = 1000;
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kLargestBatch = 65536;  // bytes handed over at once, at most

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void SignalEvent(int fd) {
  if (fd >= 0) {
    eventfd_t one = 1;
    [[maybe_unused]] int unused = ::eventfd_write(fd, one);
  }
}

void ResetEvent(int fd) {
  if (fd >= 0) {
    eventfd_t value;
    [[maybe_unused]] int unused = ::eventfd_read(fd, &value);
  }
}

std::string SystemText(int errorCode) {
  return std::strerror(errorCode);
}

}  // namespace

struct SerialPort::Impl : PortWorkerBase {
  explicit Impl(std::shared_ptr<SerialPortBackendOps> backend) : ops(std::move(backend)) {}

  std::shared_ptr<SerialPortBackendOps> ops;
  std::mutex lock;          // handle replacement, configuration, each read and each write
  PortError lastOpenError;  // under `lock`
  std::atomic<int> fd{-1};
  std::string openDevice;  // the device behind `fd`, under `lock`
  std::thread monitor;
  std::atomic<bool> monitorAlive{false};
  int writeSignal = -1;
  int closeSignal = -1;
  uint32_t eventMask = 0;
  std::atomic<char> requestedParity{'N'};

  // Worker-only state.
  std::vector<uint8_t> writeInFlight;
  std::vector<SerialNotification> batch;
  bool deviceGone = false;
  bool pseudoTerminal = false;

  void ReportCommError(const char* operation, int errorCode, bool gone = false) {
    ReportCommErrorText(operation, SystemText(errorCode), gone);
  }

  void EndWorker() {
    if (!monitor.joinable()) return;
    SignalEvent(closeSignal);
    // The worker may be blocked handing over a notification; drop those so the join ends.
    NotificationChannel::DiscardScope discard(owner);
    monitor.join();
  }

  // The first failing step is reported under its operation name; the rest are skipped.
  struct ConfigFailure {
    const char* operation = nullptr;
    int errorCode = 0;
  };
  ConfigFailure Configure(int device, int baudRate, char parity, int dataBits, int stopBits);

  void Monitor();
  void DrainInput(short revents);
  void PerformWrite();
  void AwaitOutputSent(int device, std::chrono::steady_clock::time_point deadline, int* failure,
                       bool* cancelled);
};

SerialPort::Impl::ConfigFailure SerialPort::Impl::Configure(int device, int baudRate, char parity,
                                                            int dataBits, int stopBits) {
  // Time-outs and the event mask need no call here: the worker applies both itself.
  termios settings{};
  if (ops->GetAttributes(device, &settings) != 0) return {"GetCommState()", errno};
  if (!BuildLineSettings(&settings, baudRate, parity, dataBits, stopBits)) {
    return {"BuildCommDCB()", errno};
  }
  pseudoTerminal = ops->IsPseudoTerminal(device);
  std::string carried =
      std::to_string(baudRate) + " " + std::to_string(dataBits) + parity + std::to_string(stopBits);
  bool applied = ops->SetAttributes(device, settings) == 0;
  int setError = errno;
  if (applied && parity != 'N') {
    termios readBack{};
    applied = ops->GetAttributes(device, &readBack) == 0 && (readBack.c_cflag & PARENB);
    if (!applied) setError = EINVAL;
  }
  if (!applied) {
    if (!pseudoTerminal) return {"SetCommState()", setError};
    // Pseudo-terminals cannot carry parity on current Linux kernels; use what they can carry
    // and keep the parity asked for in our own state.
    BuildLineSettings(&settings, baudRate, 'N', dataBits, stopBits);
    if (ops->SetAttributes(device, settings) != 0) return {"SetCommState()", errno};
    carried += " (pseudo-terminal carries " + std::to_string(dataBits) + "N" +
               std::to_string(stopBits) + ")";
  }
  if (ops->AssertRts(device) != 0 && !pseudoTerminal) return {"SetCommState()", errno};
  Trace(SerialTraceEvent::Kind::kSettings, carried);
  return {};
}

void SerialPort::Impl::Monitor() {
  for (;;) {
    pollfd waits[3] = {{closeSignal, POLLIN, 0}, {writeSignal, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 2;
    int device = fd.load();
    if (device >= 0 && !deviceGone && (eventMask & kEvRxChar)) {
      waits[2].fd = device;
      count = 3;
    }
    int ready = ::poll(waits, count, kIdleWakeMs);
    if (ready <= 0) continue;
    if (waits[0].revents) {
      std::lock_guard guard(lock);
      if (fd >= 0) {
        CloseExclusive(fd);
        fd = -1;
      }
      Trace(SerialTraceEvent::Kind::kClose, "closed");
      break;
    }
    if (waits[1].revents) {
      PerformWrite();
      continue;
    }
    if (count == 3 && waits[2].revents) {
      DrainInput(waits[2].revents);
    }
  }
  monitorAlive = false;
}

void SerialPort::Impl::DrainInput(short revents) {
  // Every byte in the input queue is delivered as its own notification, in order. What is
  // there is read and handed over in one go, then the queue is read again: bytes that arrived
  // while the window handled the batch (the banner recogniser pauses 400 ms) must be delivered
  // before a write queued by a handler is taken up, or its purge would drop them. Only a read
  // that finds nothing ends the drain, with one flag notification.
  uint8_t buffer[kReadChunk];
  bool deliveredAny = false;
  for (;;) {
    batch.clear();
    ssize_t got = 0;
    int readError = 0;
    bool empty = false;
    while (batch.size() < kLargestBatch) {
      {
        std::lock_guard guard(lock);
        got = ::read(fd, buffer, sizeof buffer);
        readError = errno;
      }
      if (got <= 0) {
        // With VMIN and VTIME at 0 an empty queue reads as 0 bytes.
        empty = got == 0 || readError == EAGAIN || readError == EINTR;
        break;
      }
      Trace(SerialTraceEvent::Kind::kRead, {}, buffer, static_cast<std::size_t>(got));
      for (ssize_t i = 0; i < got; ++i) {
        batch.push_back(SerialNotification{WM_SERIAL_RXCHAR, buffer[i], portNumber, {}});
      }
    }
    const bool failed = got < 0 && !empty;
    if (!batch.empty()) {
      deliveredAny = true;
      if (owner) owner->SendAll(batch);
      if (!failed) continue;
    }
    if (eventMask & kEvRxFlag) Notify(WM_SERIAL_RXFLAG);
    const bool hungUp = !failed && !deliveredAny && (revents & (POLLHUP | POLLERR | POLLNVAL));
    if ((failed || hungUp) && !deviceGone) {
      // The device went away (cable pulled): say so once and stop watching it. Close and
      // write requests are still honoured.
      deviceGone = true;
      ReportCommError("read()", failed ? readError : EIO, true);
    }
    return;
  }
}

void SerialPort::Impl::PerformWrite() {
  TakeWrite(writeInFlight, [this] { ResetEvent(writeSignal); });
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::milliseconds(kWriteTimeoutConstantMs +
                                kWriteTimeoutPerByteMs * static_cast<int>(writeInFlight.size()));
  int failure = 0;
  bool cancelled = false;
  std::size_t written = 0;
  const int device = fd.load();  // replaced only by this worker or once it has ended
  if (device < 0 || deviceGone) {
    failure = device < 0 ? EBADF : EIO;
  } else {
    std::lock_guard guard(lock);
    // Input the worker has not read yet is discarded before every write, unless a stream
    // keeps it. Output is never left pending (each write completes before its notification),
    // and flushing output on a pseudo-terminal would drop bytes its other end has not read yet.
    if (!keepInputAcrossWrites) ::tcflush(device, TCIFLUSH);
    while (written < writeInFlight.size()) {
      ssize_t n = ::write(device, writeInFlight.data() + written, writeInFlight.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        failure = errno;
        break;
      }
      const int left = MillisecondsUntil(deadline);
      if (left <= 0) {
        failure = ETIMEDOUT;
        break;
      }
      pollfd waits[2] = {{device, POLLOUT, 0}, {closeSignal, POLLIN, 0}};
      if (::poll(waits, 2, left) > 0 && waits[1].revents) {
        cancelled = true;  // a close request ends a write the device will not take
        break;
      }
    }
  }
  if (!failure && !cancelled && !pseudoTerminal) {
    // A pseudo-terminal has sent a byte once its other end could read it; a device has sent
    // it when its output queue is empty.
    AwaitOutputSent(device, deadline, &failure, &cancelled);
  }
  if ((failure == ETIMEDOUT || cancelled) && !pseudoTerminal) {
    // What the device did not take is dropped, as a write time-out does on Windows; the
    // driver would otherwise hold a later close until it drained.
    std::lock_guard guard(lock);
    ::tcflush(device, TCOFLUSH);
  }
  if (written > 0) Trace(SerialTraceEvent::Kind::kWrite, {}, writeInFlight.data(), written);
  if (failure) ReportCommError("WriteFile()", failure);
  Notify(WM_SERIAL_TXDONE, 0);
}

// Waits, outside the port lock, until the device's output queue is empty, the write's deadline
// has passed (ETIMEDOUT) or closing is requested. tcdrain() is not used: it has no time limit,
// and a device that stops taking output (a flow-controlled adapter, some drivers after the
// cable is pulled) would hold the worker and every close request with it.
void SerialPort::Impl::AwaitOutputSent(int device, std::chrono::steady_clock::time_point deadline,
                                       int* failure, bool* cancelled) {
  for (;;) {
    int queued = 0;
    if (ops->QueuedOutput(device, &queued) != 0 || queued <= 0) return;  // unknown counts as sent
    const int left = MillisecondsUntil(deadline);
    if (left <= 0) {
      *failure = ETIMEDOUT;
      return;
    }
    pollfd closing{closeSignal, POLLIN, 0};
    if (::poll(&closing, 1, std::min(left, kOutputPollMs)) > 0) {
      *cancelled = true;
      return;
    }
  }
}

SerialPort::SerialPort() : SerialPort(std::make_shared<SerialPortBackendOps>()) {}

SerialPort::SerialPort(std::shared_ptr<SerialPortBackendOps> ops)
    : impl_(std::make_unique<Impl>(std::move(ops))) {}

SerialPort::~SerialPort() {
  impl_->EndWorker();
  if (impl_->fd >= 0) CloseExclusive(impl_->fd);
  for (int event : {impl_->writeSignal, impl_->closeSignal}) {
    if (event >= 0) ::close(event);
  }
}

void SerialPort::SetTraceHook(SerialTraceHook hook) {
  impl_->trace = std::move(hook);
}

bool SerialPort::OpenPort(NotificationChannel* owner, int portNumber, int baudRate, char parity,
                          int dataBits, int stopBits, uint32_t eventMask, int writeCapacity) {
  Impl& port = *impl_;
  // The device held until now, which the worker's end closes: a reopen of it (new line
  // settings, the bootloader's parity) finds no other holder, as its exclusive mode kept them
  // out.
  std::string heldDevice;
  {
    std::lock_guard guard(port.lock);
    if (port.fd >= 0) heldDevice = port.openDevice;
  }
  port.EndWorker();
  if (port.writeSignal < 0) port.writeSignal = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (port.closeSignal < 0) port.closeSignal = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ResetEvent(port.writeSignal);
  ResetEvent(port.closeSignal);

  port.owner = owner;
  port.portNumber = portNumber;
  port.eventMask = eventMask;
  port.ResetWriteSlot(writeCapacity);
  port.writeInFlight.reserve(static_cast<std::size_t>(std::max(writeCapacity, 0)));

  Impl::ConfigFailure failure;
  {
    std::lock_guard guard(port.lock);
    const std::string name = PortName(portNumber);
    auto device = port.ops->ResolvePort(name);
    const bool reopening = device && !heldDevice.empty() && *device == heldDevice;
    if (port.fd >= 0) {
      CloseExclusive(port.fd);
      port.fd = -1;
    }
    port.openDevice.clear();
    int opened = device ? port.ops->OpenExclusive(*device, reopening) : -1;
    if (opened < 0) {
      const int openError = device ? errno : ENOENT;
      port.lastOpenError = DescribeOpenFailure(name, device.value_or(""), openError);
      port.Trace(SerialTraceEvent::Kind::kOpenFailed, port.lastOpenError.text);
      return false;
    }
    port.fd = opened;
    port.openDevice = *device;
    port.requestedParity = parity;
    port.Trace(SerialTraceEvent::Kind::kOpen,
               name + " (" + *device + ") " + LineDefinition(baudRate, parity, dataBits, stopBits));
    port.Trace(SerialTraceEvent::Kind::kSettings, RequestLowLatency(opened));
    failure = port.Configure(opened, baudRate, parity, dataBits, stopBits);
    // Only input is discarded. Nothing of this program's can be waiting for a device here
    // (every write waits until the device has sent it, or drops what it would not take), so
    // discarding output too would change nothing; on a pseudo-terminal the other end may not
    // have read the last write before a reopen yet, and discarding output would drop it.
    ::tcflush(opened, TCIFLUSH);
  }
  // Reported outside the lock; the port stays open with whatever settings it has.
  if (failure.operation) port.ReportCommError(failure.operation, failure.errorCode);
  return true;
}

bool SerialPort::StartMonitor() {
  Impl& port = *impl_;
  if (port.monitor.joinable()) port.monitor.join();  // a worker that already closed and ended
  {
    // The worker's start-up purge, done here before it runs so that nothing received after
    // StartMonitor returns can be lost to it. Input only, as at open.
    std::lock_guard guard(port.lock);
    if (port.fd >= 0) ::tcflush(port.fd, TCIFLUSH);
  }
  port.deviceGone = false;
  port.monitorAlive = true;
  port.monitor = std::thread([&port] { port.Monitor(); });
  return true;
}

void SerialPort::QueueWrite(const uint8_t* bytes, int length) {
  Impl& port = *impl_;
  // A port never opened has no slot.
  port.PutWrite(bytes, length, [&port] { SignalEvent(port.writeSignal); });
}

void SerialPort::RequestClose() {
  SignalEvent(impl_->closeSignal);
}

void SerialPort::KeepInputAcrossWrites(bool keep) {
  impl_->keepInputAcrossWrites = keep;
}

bool SerialPort::HoldsPort() const {
  return impl_->fd.load() >= 0;
}

PortError SerialPort::LastOpenError() const {
  std::lock_guard guard(impl_->lock);
  return impl_->lastOpenError;
}

bool SerialPort::MonitorAlive() const {
  return impl_->monitorAlive;
}

char SerialPort::RequestedParity() const {
  return impl_->requestedParity;
}

}  // namespace korvelt
