// Win32 backend of SerialPort: the overlapped COM port API, three manual-reset events as the
// worker's wake sources (close, write, comm event, in that priority).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/comm_error.h"
#include "serial/notification_channel.h"
#include "serial/port_open_failure.h"
#include "serial/port_worker_base.h"
#include "serial/serial_messages.h"
#include "serial/serial_port.h"
#include "serial/win32_comm_ops.h"

namespace korvelt {

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
constexpr DWORD kPortTimeoutMs = 1000;  // each of the five time-outs set at open
constexpr std::size_t kReadChunk = 4096;
constexpr DWORD kQuietPollMs = 2;
constexpr DWORD kQuietPollSpanMs = 40;
// A pending comm-event wait ends at once when the mask is cleared (Wine's end within a few
// milliseconds anyway); the bound only guards against a driver that never ends it.
constexpr DWORD kEventWaitEndMs = 500;

std::string SystemText(DWORD code) {
  char* text = nullptr;
  ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
      nullptr);
  std::string result = text ? text : "unknown error";
  if (text) ::LocalFree(text);
  return result;
}

// The read errors after which the port is of no more use until it is opened again: the device
// was removed (a USB adapter pulled), its driver no longer takes requests, or access to the
// open handle was withdrawn. A read aborted once is normal (a purge aborts transfers); aborted
// again at once, the driver is tearing the port down. Any other failure is reported and
// reading goes on.
bool MeansDeviceGone(DWORD code, DWORD previousFailure) {
  switch (code) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
      return true;
    case ERROR_OPERATION_ABORTED:
      return previousFailure == ERROR_OPERATION_ABORTED;
    default:
      return false;
  }
}

}  // namespace

// What a pending WaitCommEvent writes into when it ends: the system keeps its address until
// then, so it lives apart from the port's other state.
struct EventWaitRecord {
  OVERLAPPED overlapped{};
  DWORD occurredEvents = 0;
};

struct SerialPort::Impl : PortWorkerBase {
  explicit Impl(std::shared_ptr<SerialPortBackendOps> backend) : ops(std::move(backend)) {
    std::memset(&ioOverlapped, 0, sizeof ioOverlapped);
  }

  std::shared_ptr<SerialPortBackendOps> ops;
  std::mutex lock;          // handle replacement, configuration, each read and each write
  PortError lastOpenError;  // under `lock`
  std::atomic<HANDLE> port{nullptr};
  std::thread monitor;
  std::atomic<bool> monitorAlive{false};
  HANDLE writeSignal = nullptr;
  HANDLE closeSignal = nullptr;
  // The comm-event wait has a record of its own: a record in use by a pending wait must not be
  // handed to a read or a write, nor reused or freed before the wait has ended.
  std::unique_ptr<EventWaitRecord> eventWait = std::make_unique<EventWaitRecord>();
  OVERLAPPED ioOverlapped;  // reads and writes, one at a time on the worker
  bool eventWaitPending = false;
  HANDLE waitHandles[3] = {};
  uint32_t eventMask = 0;
  std::atomic<char> requestedParity{'N'};
  std::vector<uint8_t> writeInFlight;
  std::vector<SerialNotification> batch;
  bool deviceGone = false;
  DWORD lastReadFailure = 0;  // the error of the last status read or read, 0 after a success

  void ReportCommError(const char* operation, DWORD code, bool gone = false) {
    ReportCommErrorText(operation, SystemText(code), gone);
  }

  void EndWorker() {
    if (!monitor.joinable()) return;
    ::SetEvent(closeSignal);
    NotificationChannel::DiscardScope discard(owner);
    monitor.join();
  }

  void Monitor();
  void CloseOnWorker();
  void EndEventWait(HANDLE handle);
  // Hands over everything in the input queue; the number of bytes, or -1 when the line failed.
  int DrainInput();
  void Deliver(const uint8_t* bytes, DWORD count);
  void AwaitQuietLine();
  void PerformWrite();
  DWORD AwaitWrite(HANDLE handle, DWORD* written);
};

void SerialPort::Impl::Monitor() {
  for (;;) {
    HANDLE handle = port.load();
    bool armed = false;
    if (handle && !deviceGone && !eventWaitPending) {
      if (::WaitCommEvent(handle, &eventWait->occurredEvents, &eventWait->overlapped)) {
        ::SetEvent(eventWait->overlapped.hEvent);  // completed at once: handled below as a wake
        armed = true;
      } else {
        const DWORD code = ::GetLastError();
        if (code == ERROR_IO_PENDING) {
          eventWaitPending = true;
        } else if (code != ERROR_INVALID_PARAMETER) {
          ReportCommError("WaitCommEvent()", code);
        }
      }
    }
    armed = armed || eventWaitPending;
    const DWORD woke = ::WaitForMultipleObjects(armed ? 3 : 2, waitHandles, FALSE, INFINITE);
    if (woke == WAIT_FAILED) {
      // Cannot happen with the worker's own handles; should it, waiting again would spin, and
      // the port is closed as if asked to.
      ReportCommError("WaitForMultipleObjects()", ::GetLastError());
      CloseOnWorker();
      break;
    }
    if (woke == WAIT_OBJECT_0) {
      CloseOnWorker();
      break;
    }
    if (woke == WAIT_OBJECT_0 + 1) {
      PerformWrite();  // a pending comm-event wait stays pending
      continue;
    }
    if (woke == WAIT_OBJECT_0 + 2) {
      eventWaitPending = false;
      HANDLE handle = port.load();
      DWORD ignored = 0;
      ::GetOverlappedResult(handle, &eventWait->overlapped, &ignored, FALSE);
      ::ResetEvent(eventWait->overlapped.hEvent);
      // Whatever ended the wait (an event, or a driver that ends waits on its own), what is in
      // the input queue decides whether this was a data wake.
      const int delivered = DrainInput();
      if (deviceGone) continue;
      if (delivered == 0) {
        AwaitQuietLine();
        continue;
      }
      DWORD mask = 0;
      ::GetCommMask(handle, &mask);
      if (mask & EV_CTS) Notify(WM_SERIAL_CTS);
      if (mask & EV_BREAK) Notify(WM_SERIAL_BREAK);
      if (mask & EV_ERR) Notify(WM_SERIAL_ERR);
      if (mask & EV_RING) Notify(WM_SERIAL_RING);
      if (mask & EV_RXFLAG) Notify(WM_SERIAL_RXFLAG);
    }
  }
  monitorAlive = false;
}

void SerialPort::Impl::CloseOnWorker() {
  std::lock_guard guard(lock);
  if (HANDLE open = port.exchange(nullptr)) {
    EndEventWait(open);
    ::CancelIo(open);
    ::CloseHandle(open);
  }
  eventWaitPending = false;
  Trace(SerialTraceEvent::Kind::kClose, "closed");
}

// A wait left pending when the handle is closed may still end later and write into its record
// (Wine ends waits on a terminal on its own a few milliseconds on): freed or handed to the next
// port, that record would be corrupted memory. The wait is ended and waited for first.
void SerialPort::Impl::EndEventWait(HANDLE handle) {
  if (!eventWaitPending) return;
  eventWaitPending = false;
  ::SetCommMask(handle, 0);
  ::CancelIoEx(handle, &eventWait->overlapped);
  if (::WaitForSingleObject(eventWait->overlapped.hEvent, kEventWaitEndMs) == WAIT_OBJECT_0) {
    DWORD ignored = 0;
    ::GetOverlappedResult(handle, &eventWait->overlapped, &ignored, FALSE);
    ::ResetEvent(eventWait->overlapped.hEvent);
    return;
  }
  // A driver that never ends it keeps the record and its event; the next wait gets new ones.
  (void)eventWait.release();
  eventWait = std::make_unique<EventWaitRecord>();
  eventWait->overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  waitHandles[2] = eventWait->overlapped.hEvent;
}

// A wake that brought nothing to read is not a data wake and is not reported. Some drivers end
// every wait on a quiet line at once, without an event (Wine on a terminal does, every few
// milliseconds), and starting a wait is costly there: for a while the input queue is looked at
// every few milliseconds instead. Input, a write request or a close request ends that early,
// and the worker cannot spin on any driver.
void SerialPort::Impl::AwaitQuietLine() {
  for (DWORD waited = 0; waited < kQuietPollSpanMs; waited += kQuietPollMs) {
    if (::WaitForMultipleObjects(2, waitHandles, FALSE, kQuietPollMs) != WAIT_TIMEOUT) return;
    const int delivered = DrainInput();
    if (delivered > 0 && (eventMask & EV_RXFLAG)) Notify(WM_SERIAL_RXFLAG);
    if (delivered != 0) return;
  }
}

int SerialPort::Impl::DrainInput() {
  uint8_t buffer[kReadChunk];
  int delivered = 0;
  int failuresInARow = 0;
  for (;;) {
    DWORD got = 0;
    const char* failedCall = nullptr;
    bool statusFailed = false;
    DWORD code = 0;
    {
      std::lock_guard guard(lock);
      HANDLE handle = port.load();
      COMSTAT status{};
      DWORD errors = 0;
      if (!ops->ReadStatus(handle, &errors, &status)) {
        failedCall = "ClearCommError()";
        code = ::GetLastError();
        statusFailed = true;
      } else if (status.cbInQue == 0) {
        return delivered;
      } else {
        const DWORD want = std::min<DWORD>(status.cbInQue, kReadChunk);
        if (!::ReadFile(handle, buffer, want, &got, &ioOverlapped)) {
          code = ::GetLastError();
          failedCall = "ReadFile()";
          if (code == ERROR_IO_PENDING) {
            const bool done = ::GetOverlappedResult(handle, &ioOverlapped, &got, TRUE);
            failedCall = done ? nullptr : "GetOverlappedResults() in ReadFile()";
            code = done ? 0 : ::GetLastError();
          }
        }
      }
    }
    if (failedCall) {
      const bool gone = MeansDeviceGone(code, lastReadFailure);
      // A failure is reported once, not again while the same one repeats.
      if (code != lastReadFailure) ReportCommError(failedCall, code, gone);
      lastReadFailure = code;
      if (gone) {
        deviceGone = true;  // no longer watched until the port is opened again
        return -1;
      }
      // The drain goes on while the input queue holds bytes; a status that cannot be read, or
      // a read that fails again and again, ends this drain, and the next wake tries again.
      if (statusFailed || ++failuresInARow > 1) return delivered;
      continue;
    }
    lastReadFailure = 0;
    failuresInARow = 0;
    if (got == 0) return delivered;  // the queue said bytes, the read found none: do not spin
    Deliver(buffer, got);
    delivered += static_cast<int>(got);
  }
}

void SerialPort::Impl::Deliver(const uint8_t* bytes, DWORD count) {
  if (count == 0) return;
  Trace(SerialTraceEvent::Kind::kRead, {}, bytes, count);
  batch.clear();
  for (DWORD i = 0; i < count; ++i) {
    batch.push_back(SerialNotification{WM_SERIAL_RXCHAR, bytes[i], portNumber, {}});
  }
  if (owner) owner->SendAll(batch);
}

void SerialPort::Impl::PerformWrite() {
  TakeWrite(writeInFlight, [this] { ::ResetEvent(writeSignal); });
  DWORD written = 0;
  DWORD failure = 0;
  {
    std::lock_guard guard(lock);
    HANDLE handle = port.load();
    ioOverlapped.Offset = 0;
    ioOverlapped.OffsetHigh = 0;
    if (!handle) {
      failure = ERROR_INVALID_HANDLE;
    } else {
      // Input the worker has not read yet is discarded before every write, unless a stream
      // keeps it. Output is never left pending (each write completes before its
      // notification), and purging it would drop bytes still on their way: a terminal under
      // Wine loses what its other end has not read yet.
      if (!keepInputAcrossWrites) ops->Purge(handle, kPurgeInput);
      if (!::WriteFile(handle, writeInFlight.data(), static_cast<DWORD>(writeInFlight.size()),
                       &written, &ioOverlapped)) {
        failure = ::GetLastError();
        if (failure == ERROR_IO_PENDING) failure = AwaitWrite(handle, &written);
      }
    }
  }
  // Reported after the lock is left: the report waits for the window's thread.
  if (written > 0) Trace(SerialTraceEvent::Kind::kWrite, {}, writeInFlight.data(), written);
  if (failure) ReportCommError("WriteFile()", failure);
  Notify(WM_SERIAL_TXDONE);
}

// A write the device will not take ends at the port's write time-outs, or at once when the
// port is being closed; the driver's own time-outs are not relied on (not every driver keeps
// them). Returns the error to report, or 0.
DWORD SerialPort::Impl::AwaitWrite(HANDLE handle, DWORD* written) {
  const DWORD bound = kPortTimeoutMs + kPortTimeoutMs * static_cast<DWORD>(writeInFlight.size());
  HANDLE waits[2] = {ioOverlapped.hEvent, closeSignal};
  const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, bound);
  if (woke != WAIT_OBJECT_0) ::CancelIo(handle);
  const BOOL done = ::GetOverlappedResult(handle, &ioOverlapped, written, TRUE);
  if (woke == WAIT_OBJECT_0 + 1) return 0;  // closing: the close request is honoured next
  if (woke != WAIT_OBJECT_0) return ERROR_TIMEOUT;
  return done ? 0 : ::GetLastError();
}

SerialPort::SerialPort() : SerialPort(std::make_shared<SerialPortBackendOps>()) {}

SerialPort::SerialPort(std::shared_ptr<SerialPortBackendOps> ops)
    : impl_(std::make_unique<Impl>(std::move(ops))) {}

SerialPort::~SerialPort() {
  impl_->EndWorker();
  if (HANDLE open = impl_->port.exchange(nullptr)) ::CloseHandle(open);
  for (HANDLE event : {impl_->writeSignal, impl_->closeSignal, impl_->eventWait->overlapped.hEvent,
                       impl_->ioOverlapped.hEvent}) {
    if (event) ::CloseHandle(event);
  }
}

void SerialPort::SetTraceHook(SerialTraceHook hook) {
  impl_->trace = std::move(hook);
}

bool SerialPort::OpenPort(NotificationChannel* owner, int portNumber, int baudRate, char parity,
                          int dataBits, int stopBits, uint32_t eventMask, int writeCapacity) {
  Impl& p = *impl_;
  p.EndWorker();
  for (HANDLE* event :
       {&p.eventWait->overlapped.hEvent, &p.ioOverlapped.hEvent, &p.writeSignal, &p.closeSignal}) {
    if (!*event) *event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ::ResetEvent(*event);
  }
  p.waitHandles[0] = p.closeSignal;
  p.waitHandles[1] = p.writeSignal;
  p.waitHandles[2] = p.eventWait->overlapped.hEvent;
  p.eventWaitPending = false;
  p.owner = owner;
  p.portNumber = portNumber;
  p.eventMask = eventMask;
  p.ResetWriteSlot(writeCapacity);
  const char* failedStep = nullptr;
  DWORD failedCode = 0;
  {
    std::lock_guard guard(p.lock);
    if (HANDLE open = p.port.exchange(nullptr)) ::CloseHandle(open);
    const std::string name = PortName(portNumber);
    std::string definition = LineDefinition(baudRate, parity, dataBits, stopBits);
    HANDLE handle = p.ops->Open(name.c_str());
    if (handle == INVALID_HANDLE_VALUE) {
      p.lastOpenError = DescribeOpenFailure(name, {}, static_cast<int>(::GetLastError()));
      p.Trace(SerialTraceEvent::Kind::kOpenFailed, p.lastOpenError.text);
      return false;
    }
    p.port = handle;
    p.deviceGone = false;
    p.lastReadFailure = 0;
    p.requestedParity = parity;
    p.Trace(SerialTraceEvent::Kind::kOpen, name + " " + definition);
    COMMTIMEOUTS timeouts{kPortTimeoutMs, kPortTimeoutMs, kPortTimeoutMs, kPortTimeoutMs,
                          kPortTimeoutMs};
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!::SetCommTimeouts(handle, &timeouts)) {
      failedStep = "SetCommTimeouts()";
    } else if (!::SetCommMask(handle, eventMask)) {
      failedStep = "SetCommMask()";
    } else if (!::GetCommState(handle, &settings)) {
      failedStep = "GetCommState()";
    } else {
      settings.fRtsControl = RTS_CONTROL_ENABLE;
      settings.EvtChar = 'q';
      if (!::BuildCommDCBA(definition.c_str(), &settings)) {
        failedStep = "BuildCommDCB()";
      } else if (!p.ops->SetState(handle, &settings)) {
        failedStep = "SetCommState()";
      }
    }
    if (failedStep) failedCode = ::GetLastError();
    p.ops->Purge(handle, kPurgeAll);
  }
  if (failedStep) p.ReportCommError(failedStep, failedCode);  // the port stays open
  return true;
}

bool SerialPort::StartMonitor() {
  Impl& p = *impl_;
  if (p.monitor.joinable()) p.monitor.join();
  if (HANDLE handle = p.port.load()) p.ops->Purge(handle, kPurgeAll);
  p.monitorAlive = true;
  p.monitor = std::thread([&p] { p.Monitor(); });
  return true;
}

void SerialPort::QueueWrite(const uint8_t* bytes, int length) {
  Impl& p = *impl_;
  // A port never opened has no slot.
  p.PutWrite(bytes, length, [&p] {
    if (p.writeSignal) ::SetEvent(p.writeSignal);
  });
}

void SerialPort::RequestClose() {
  if (impl_->closeSignal) ::SetEvent(impl_->closeSignal);
}

void SerialPort::KeepInputAcrossWrites(bool keep) {
  impl_->keepInputAcrossWrites = keep;
}

bool SerialPort::HoldsPort() const {
  return impl_->port.load() != nullptr;
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
