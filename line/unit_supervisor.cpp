// The production line's supervisor: starts one unit child per unit, shows their progress,
// stops them all on Ctrl-C, and gathers every unit's outcome into the report.
#include "line/unit_supervisor.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>

#include "line/child_process.h"
#include "line/exit_codes.h"
#include "line/interrupt.h"
#include "line/step.h"
#include "line/unit_events.h"
#include "line/unit_scan.h"
#include "serial/port_listing.h"

namespace korvelt::line {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRedrawEvery = 100ms;
// A child asked to stop closes its port within a fraction of a second; one that has not ended
// after this long is killed (its port closes with the process).
constexpr auto kStopGrace = 10s;
// A child ends itself at its run's limit and reports; the supervisor steps in this much later,
// asks it to stop, and kills it if it still runs after the second grace.
constexpr auto kDeadlineGrace = 2s;
constexpr auto kDeadlineKillGrace = 3s;

struct UnitRun {
  UnitRecord record;
  std::unique_ptr<ChildProcess> child;
  enum class State { kWaiting, kRunning, kDone } state = State::kWaiting;
  std::string out;  // what the child wrote that is not yet a whole line
  std::string err;
  std::string step = "waiting";
  bool stepMovesImage = false;
  double percent = 0;
  uint64_t imageBytes = 0;
  Clock::time_point stepStarted;
  std::chrono::system_clock::time_point stepStartedAt;  // the same, for the records
  Clock::time_point lastProgress;  // the rate is the image's, not the wait after it
  int tenthsShown = -1;
  std::string endedMessage;  // from the child's last event
  std::string lastErrorLine;
  Clock::time_point started;                   // the child's start
  std::optional<std::string> runningStep;      // started and not ended
  std::optional<Clock::time_point> stopAsked;  // the run's limit passed: asked to stop
  std::string endedByUs;                       // why the supervisor ended the child

  UnitStatus Line() const {
    UnitStatus line;
    line.port = record.port;
    line.kind = record.deviceType ? KindName(*record.deviceType) : "?";
    line.step = step;
    line.showsBar = state == State::kRunning && stepMovesImage;
    line.percent = percent;
    const double seconds = std::chrono::duration<double>(lastProgress - stepStarted).count();
    line.kilobytesPerSecond =
        seconds > 0 ? percent / 100.0 * static_cast<double>(imageBytes) / seconds / 1000.0 : 0;
    return line;
  }
};

// Splits off whole lines; the rest stays for the next read.
std::vector<std::string> TakeLines(std::string* buffer) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = buffer->find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = buffer->substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  buffer->erase(0, start);
  return lines;
}

class Supervisor {
 public:
  Supervisor(const UnitsOptions& options, std::vector<int> ports, UnitRunObserver& observer)
      : options_(options), observer_(observer) {
    for (int port : ports) {
      UnitRun unit;
      unit.record.port = port;
      unit.record.adapterSerial = AdapterSerialNumber(port);
      units_.push_back(std::move(unit));
    }
  }

  int Run();
  std::vector<UnitRecord> Records() const {
    std::vector<UnitRecord> records;
    for (const UnitRun& unit : units_) records.push_back(unit.record);
    return records;
  }

 private:
  void Start(UnitRun& unit);
  void Poll(UnitRun& unit);
  void OnEvent(UnitRun& unit, const UnitEvent& event);
  void Finish(UnitRun& unit, int exitCode, const std::string& abnormal = {});
  void EnforceDeadline(UnitRun& unit, Clock::time_point now);
  std::string DeadlineText(const char* how) const;
  void Draw(bool force);
  std::size_t Running() const {
    return static_cast<std::size_t>(std::count_if(
        units_.begin(), units_.end(), [](auto& u) { return u.state == UnitRun::State::kRunning; }));
  }

  const UnitsOptions& options_;
  std::vector<UnitRun> units_;
  UnitRunObserver& observer_;
  std::atomic<bool> interrupted_{false};
  Clock::time_point last_draw_{};
};

void Supervisor::Start(UnitRun& unit) {
  const int port = unit.record.port;
  std::vector<std::string> argv = {CurrentExecutable(), "--unit-child", "--port",
                                   std::to_string(port)};
  argv.insert(argv.end(), options_.childOptions.begin(), options_.childOptions.end());
  if (!options_.traceFile.empty()) {
    argv.push_back("--trace");
    argv.push_back(options_.traceFile + ".COM" + std::to_string(port));
  }
  argv.push_back("--");
  argv.insert(argv.end(), options_.stepWords.begin(), options_.stepWords.end());
  std::string error;
  unit.child = ChildProcess::Start(argv, &error);
  unit.stepStarted = unit.started = Clock::now();
  unit.stepStartedAt = std::chrono::system_clock::now();
  if (!unit.child) {
    unit.state = UnitRun::State::kDone;
    unit.record.message = "cannot start " + argv[0] + ": " + error;
    Finish(unit, kExitFailed);
    return;
  }
  unit.state = UnitRun::State::kRunning;
  unit.step = "identifying";
}

void Supervisor::OnEvent(UnitRun& unit, const UnitEvent& event) {
  using K = UnitEvent::Kind;
  switch (event.kind) {
    case K::kIdentified:
      unit.record.deviceType = event.deviceType;
      if (event.deviceType) {
        unit.record.group = event.group;
        unit.record.machine = event.machine;
      }
      break;
    case K::kStepStarted: {
      unit.step = event.step;
      unit.runningStep = event.step;
      std::string error;
      auto step = ParseStep(event.step, &error);
      unit.stepMovesImage = step && StepMovesImage(step->kind);
      unit.percent = 0;
      unit.imageBytes = 0;
      unit.tenthsShown = -1;
      unit.stepStarted = unit.lastProgress = Clock::now();
      unit.stepStartedAt = std::chrono::system_clock::now();
      break;
    }
    case K::kProgress: {
      unit.percent = event.percent;
      unit.imageBytes = event.bytes;
      unit.lastProgress = Clock::now();
      const int tenths = static_cast<int>(event.percent / 10);
      if (tenths > unit.tenthsShown) {
        unit.tenthsShown = tenths;
        observer_.Passed(unit.Line(), tenths);
      }
      break;
    }
    case K::kStepEnded:
      unit.runningStep.reset();
      unit.record.steps.push_back(event.record);
      if (options_.history) options_.history->Record(unit.record, event.record);
      observer_.StepEnded(unit.record.port, event.record);
      break;
    case K::kEnded:
      unit.endedMessage = event.message;
      break;
  }
}

void Supervisor::Poll(UnitRun& unit) {
  unit.child->ReadAvailable(&unit.out, &unit.err);
  for (const std::string& line : TakeLines(&unit.out)) {
    if (auto event = DecodeUnitEvent(line)) OnEvent(unit, *event);
  }
  for (const std::string& line : TakeLines(&unit.err)) {
    if (line.empty()) continue;
    unit.lastErrorLine = line;
    observer_.UnitSaid(unit.record.port, line);
  }
}

void Supervisor::Finish(UnitRun& unit, int exitCode, const std::string& abnormal) {
  // A child that did not end by itself (a crash, or the supervisor's deadline) told nothing of
  // the step it was in: that step failed, and the unit with it.
  std::string why = unit.endedByUs;
  if (why.empty() && !abnormal.empty()) {
    why = "the unit's process " + abnormal;
    exitCode = kExitFailed;
  }
  // A child that ended by itself in the middle of a step (a sanitizer's abort, an exit from a
  // library) never ended it either: half an image may have gone out, so it is no "not-started".
  if (why.empty() && unit.runningStep) {
    why = "the unit's process ended with status " + std::to_string(exitCode) +
          " before the step ended";
    if (exitCode == kExitOk) exitCode = kExitFailed;
  }
  if (!why.empty()) {
    if (unit.runningStep) {
      StepRecord record;
      record.step = *unit.runningStep;
      record.outcome = exitCode == kExitStalled       ? "stalled"
                       : exitCode == kExitInterrupted ? "interrupted"
                                                      : "failed";
      record.seconds = std::chrono::duration<double>(Clock::now() - unit.stepStarted).count();
      if (unit.stepMovesImage && unit.imageBytes > 0) {
        record.bytesSent =
            static_cast<uint64_t>(unit.percent / 100.0 * static_cast<double>(unit.imageBytes));
      }
      record.message = why;
      record.startedAt = unit.stepStartedAt;
      record.endedAt = std::chrono::system_clock::now();
      unit.record.steps.push_back(record);
      if (options_.history) options_.history->Record(unit.record, record);
      observer_.StepEnded(unit.record.port, record);
    }
    unit.record.message = (unit.runningStep ? *unit.runningStep + ": " : std::string()) + why;
    unit.runningStep.reset();
  }
  unit.state = UnitRun::State::kDone;
  unit.record.exitCode = exitCode;
  unit.record.outcome = OutcomeForExit(exitCode);
  if (unit.record.message.empty()) {
    if (!unit.endedMessage.empty()) {
      unit.record.message = unit.endedMessage;
    } else if (exitCode != kExitOk) {
      unit.record.message = !unit.lastErrorLine.empty() ? unit.lastErrorLine
                                                        : "the unit's process ended with status " +
                                                              std::to_string(exitCode);
    }
  }
  if (exitCode == kExitInterrupted) unit.record.message = "interrupted: " + unit.record.message;
  AddStepsNotStarted(unit.record, options_.stepWords);
  unit.step = unit.record.outcome;
  unit.child.reset();
}

void Supervisor::EnforceDeadline(UnitRun& unit, Clock::time_point now) {
  if (options_.runLimitSeconds <= 0) return;
  const auto limit = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options_.runLimitSeconds));
  if (!unit.stopAsked && now > unit.started + limit + kDeadlineGrace) {
    unit.stopAsked = now;
    unit.child->CloseInput();
  } else if (unit.stopAsked && now > *unit.stopAsked + kDeadlineKillGrace) {
    unit.child->Kill();
    unit.child->WaitExit(5s);
    unit.endedByUs = DeadlineText("killed");
  }
}

std::string Supervisor::DeadlineText(const char* how) const {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.0f s", options_.runLimitSeconds);
  return std::string("did not end within the run's limit of ") + seconds + " and was " + how;
}

void Supervisor::Draw(bool force) {
  const auto now = Clock::now();
  if (!force && now - last_draw_ < kRedrawEvery) return;
  last_draw_ = now;
  std::vector<UnitStatus> lines;
  for (const UnitRun& unit : units_) lines.push_back(unit.Line());
  observer_.Units(lines);
}

int Supervisor::Run() {
  InstallInterruptHandler(&interrupted_);
  const std::size_t limit =
      options_.parallel > 0 ? static_cast<std::size_t>(options_.parallel) : units_.size();
  std::optional<Clock::time_point> stopDeadline;
  for (;;) {
    if (!interrupted_) {
      for (UnitRun& unit : units_) {
        if (Running() >= limit) break;
        if (unit.state == UnitRun::State::kWaiting) Start(unit);
      }
    } else if (!stopDeadline) {
      // Every child closes its port and ends; the ones not started yet never start.
      stopDeadline = Clock::now() + kStopGrace;
      for (UnitRun& unit : units_) {
        if (unit.state == UnitRun::State::kRunning) unit.child->CloseInput();
        if (unit.state == UnitRun::State::kWaiting) {
          unit.record.message = "not started";
          Finish(unit, kExitInterrupted);
        }
      }
    }
    std::vector<ChildProcess*> running;
    for (UnitRun& unit : units_) {
      if (unit.state == UnitRun::State::kRunning) running.push_back(unit.child.get());
    }
    if (running.empty()) break;
    Draw(false);
    WaitForChildOutput(running, kRedrawEvery);
    for (UnitRun& unit : units_) {
      if (unit.state != UnitRun::State::kRunning) continue;
      Poll(unit);
      auto exited = unit.child->WaitExit(0ms);
      if (!exited && stopDeadline && Clock::now() > *stopDeadline) {
        unit.child->Kill();
        exited = unit.child->WaitExit(5s);
        unit.endedByUs = "did not stop in time and was ended";
      }
      if (!exited) {
        EnforceDeadline(unit, Clock::now());
        if (unit.endedByUs.empty()) continue;
        exited = kExitStalled;  // collected by the kill
      }
      // Stopped at the deadline, it ended on the request: still the deadline's doing.
      if (unit.stopAsked && unit.endedByUs.empty()) unit.endedByUs = DeadlineText("stopped");
      Poll(unit);  // what it wrote just before it ended
      const std::string abnormal = unit.child->AbnormalEnd();
      const bool deadline = unit.stopAsked.has_value() && !interrupted_;
      Finish(unit, deadline ? kExitStalled : *exited, abnormal);
    }
  }
  RemoveInterruptHandler();
  Draw(true);
  const std::vector<UnitRecord> records = Records();
  observer_.RunEnded(records);
  return interrupted_ ? kExitInterrupted : CombinedExit(records);
}

}  // namespace

std::optional<std::vector<int>> ParseUnitList(const std::string& text, bool* all,
                                              std::string* error) {
  *all = text == "all";
  if (*all) return std::vector<int>{};
  std::vector<int> ports;
  std::set<int> seen;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    int port = 0;
    auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), port);
    if (item.empty() || ec != std::errc() || end != item.data() + item.size() || port < 1 ||
        port > 99) {
      *error = "--units wants COM numbers from 1 to 99 separated by commas, or 'all' (got '" +
               text + "')";
      return std::nullopt;
    }
    if (!seen.insert(port).second) {
      *error = "--units names COM" + std::to_string(port) + " twice";
      return std::nullopt;
    }
    ports.push_back(port);
    start = comma + 1;
  }
  return ports;
}

bool WriteReport(const RunReport& report, const std::string& path) {
  if (path.empty()) return true;
  std::string error;
  if (WriteFileAtomically(path, ReportText(report), &error)) return true;
  std::fprintf(stderr, "korvelt-cli: the report was not written: %s\n", error.c_str());
  return false;
}

int RunUnits(const UnitsOptions& options, UnitRunObserver& observer) {
  RunReport report;
  report.tool = options.tool;
  report.station = options.who.station;
  report.operatorName = options.who.operatorName;
  report.startedAt = std::chrono::system_clock::now();
  std::vector<int> ports = options.ports;
  if (options.scanFirst) {
    std::vector<int> all;
    for (int n = 1; n <= 99; ++n) all.push_back(n);
    // A unit waiting in its MCU bootloader can only take MCU steps.
    const ScanRequest scan{
        .ports = all, .deviceTypes = options.deviceTypes, .checkBootloaders = options.mcuSteps};
    std::vector<UnopenedPort> unopened;
    for (const FoundUnit& unit : ScanPorts(scan, &unopened)) {
      if (std::find(ports.begin(), ports.end(), unit.port) == ports.end())
        ports.push_back(unit.port);
    }
    for (const UnopenedPort& port : unopened) {
      const std::string line = UnopenedText({port});
      if (!line.empty()) observer.UnitSaid(port.port, line.substr(0, line.size() - 1));
    }
    if (ports.empty()) {
      std::fprintf(stderr, "korvelt-cli: no unit answered on COM1..COM99\n");
      report.endedAt = std::chrono::system_clock::now();
      WriteReport(report, options.reportFile);
      return kExitFailed;
    }
  }
  Supervisor supervisor(options, ports, observer);
  int status = supervisor.Run();
  report.units = supervisor.Records();
  report.endedAt = std::chrono::system_clock::now();
  // A line's tooling trusts the report: a run whose report is missing did not succeed.
  if (!WriteReport(report, options.reportFile) && status == kExitOk) status = kExitFailed;
  return options.history ? options.history->ExitStatus(status) : status;
}

}  // namespace korvelt::line
