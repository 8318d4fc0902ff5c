// A unit child: one unit of a production-line run, in a process of its own, because the
// core's process-wide state belongs to one unit.
#include <cmath>
#include <cstdio>

#include "frontends/cli/unit_child.h"
#include "line/child_process.h"
#include "line/interrupt.h"
#include "line/unit_events.h"
#include "line/unit_scan.h"

namespace korvelt::cli {

namespace {

using line::UnitEvent;

void Emit(const UnitEvent& event) {
  std::fputs(EncodeUnitEvent(event).c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int RunUnitChild(RunOptions options, const std::vector<Step>& steps,
                 const std::vector<uint8_t>& deviceTypes) {
  const int port = options.port.value_or(0);
  // The unit on this port, as a search that tried only this port would find it.
  std::vector<line::UnopenedPort> unopened;
  const auto found =
      line::ScanPorts({{port}, deviceTypes, std::chrono::milliseconds(400), true}, &unopened);
  UnitEvent identified{UnitEvent::Kind::kIdentified};
  if (!found.empty()) {
    identified.deviceType = found.front().deviceType;
    identified.group = found.front().group;
    identified.machine = found.front().machine;
  }
  Emit(identified);
  if (found.empty()) {
    // A port that did not open says why: busy, not permitted, missing.
    const std::string message = !unopened.empty() && !unopened.front().error.text.empty()
                                    ? unopened.front().error.text
                                    : "no unit answered the probe on COM" + std::to_string(port);
    std::fprintf(stderr, "korvelt-cli: %s\n", message.c_str());
    UnitEvent ended{UnitEvent::Kind::kEnded};
    ended.exitCode = kExitFailed;
    ended.message = message;
    Emit(ended);
    return kExitFailed;
  }
  options.deviceType = found.front().deviceType;
  options.quiet = true;  // the supervisor draws the progress
  int lastWhole = -1;
  options.hooks.stepStarted = [&](std::size_t index, const Step& step) {
    lastWhole = -1;
    UnitEvent event{UnitEvent::Kind::kStepStarted};
    event.index = index;
    event.step = step.text;
    Emit(event);
  };
  options.hooks.progress = [&](const OperationProgress& progress) {
    const int whole = static_cast<int>(std::floor(progress.percent()));
    if (whole == lastWhole) return;  // at most a hundred lines a step
    lastWhole = whole;
    UnitEvent event{UnitEvent::Kind::kProgress};
    event.percent = progress.percent();
    event.bytes = progress.total;
    Emit(event);
  };
  options.hooks.stepEnded = [](const StepRecord& record) {
    UnitEvent event{UnitEvent::Kind::kStepEnded};
    event.record = record;
    Emit(event);
  };
  CliRunner runner(options);
  line::InstallInterruptHandler(&runner.interruptFlag());
  int status = kExitFailed;
  {
    line::InputEndWatcher watcher(&runner.interruptFlag());
    status = runner.Run(steps);
  }
  line::RemoveInterruptHandler();
  UnitEvent ended{UnitEvent::Kind::kEnded};
  ended.exitCode = status;
  ended.message = runner.failureMessage();
  Emit(ended);
  return status;
}

}  // namespace korvelt::cli
