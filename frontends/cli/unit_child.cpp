// A unit child: one unit of a production-line run, in a process of its own, because the
// core's process-wide state belongs to one unit.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "frontends/cli/unit_child.h"
#include "history/history_database.h"
#include "history/history_location.h"
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

// The kind of unit whose MCU waits in its bootloader, from the last MCU firmware the station's
// history says it took; nothing when its ID was not read or the history has no such step.
std::optional<uint8_t> KindFromHistory(const line::FoundUnit& unit, const RunOptions& options) {
  if (unit.mcuUid.empty()) return std::nullopt;
  auto database = history::HistoryDatabase::Open(history::PathFromText(options.resumeHistory),
                                                 history::HistoryDatabase::OpenMode::kExisting);
  if (!database.ok()) return std::nullopt;
  const auto kind = database.value()->LastMcuKind(unit.mcuUid);
  if (!kind.ok() || !kind.value()) return std::nullopt;
  const std::optional<uint8_t> type = *kind.value() == "generator"  ? std::optional<uint8_t>(0)
                                      : *kind.value() == "analyzer" ? std::optional<uint8_t>(1)
                                                                    : std::nullopt;
  if (type) {
    std::fprintf(stderr,
                 "korvelt-cli: COM%d: the MCU waiting in its bootloader (ID %s) last took %s "
                 "firmware on this station: its MCU steps go on as a %s's\n",
                 unit.port, unit.mcuUid.c_str(), kind.value()->c_str(), kind.value()->c_str());
  }
  return type;
}

}  // namespace

int RunUnitChild(RunOptions options, const std::vector<Step>& steps,
                 const std::vector<uint8_t>& deviceTypes) {
  const int port = options.port.value_or(0);
  // The unit on this port, as a search that tried only this port would find it.
  const bool mcuSteps = std::any_of(steps.begin(), steps.end(),
                                    [](const Step& step) { return line::IsMcuStep(step.kind); });
  std::vector<line::UnopenedPort> unopened;
  const bool lookUpKind = mcuSteps && !options.resumeKind && !options.resumeHistory.empty();
  const auto found = line::ScanPorts({.ports = {port},
                                      .deviceTypes = deviceTypes,
                                      .untilFirstAnswer = true,
                                      .checkBootloaders = mcuSteps,
                                      .readMcuUids = lookUpKind},
                                     &unopened);
  const bool bootloader = !found.empty() && found.front().mcuBootloader;
  if (bootloader && lookUpKind) options.resumeKind = KindFromHistory(found.front(), options);
  UnitEvent identified{UnitEvent::Kind::kIdentified};
  if (bootloader) {
    identified.mcuBootloader = true;
    if (options.resumeKind) identified.deviceType = *options.resumeKind;
  } else if (!found.empty()) {
    identified.deviceType = found.front().deviceType;
    identified.group = found.front().group;
    identified.machine = found.front().machine;
  }
  Emit(identified);
  auto end = [&](int status, const std::string& message) {
    std::fprintf(stderr, "korvelt-cli: %s\n", message.c_str());
    UnitEvent ended{UnitEvent::Kind::kEnded};
    ended.exitCode = status;
    ended.message = message;
    Emit(ended);
    return status;
  };
  std::vector<Step> run = steps;
  std::vector<Step> skipped;
  if (bootloader) {
    // An update of this unit was cut: it waits in its MCU bootloader, which cannot say what
    // kind of unit it is, and only MCU steps reach it.
    const std::string where = "COM" + std::to_string(port) + ": an MCU bootloader waits here";
    if (!options.resumeKind) {
      return end(kExitFailed, where +
                                  " (an update was cut) and cannot say whether the unit is a "
                                  "generator or an analyzer: give --resume-kind, or run "
                                  "--port " +
                                  std::to_string(port) + " with its MCU step");
    }
    run.clear();
    for (const Step& step : steps) (line::IsMcuStep(step.kind) ? run : skipped).push_back(step);
    options.deviceType = *options.resumeKind;
  } else if (!found.empty()) {
    options.deviceType = found.front().deviceType;
  }
  if (found.empty()) {
    // A port that did not open says why: busy, not permitted, missing.
    return end(kExitFailed, !unopened.empty() && !unopened.front().error.text.empty()
                                ? unopened.front().error.text
                                : "no unit answered the probe on COM" + std::to_string(port));
  }
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
    status = runner.Run(run);
  }
  line::RemoveInterruptHandler();
  std::string message = runner.failureMessage();
  for (const Step& step : skipped) {
    UnitEvent event{UnitEvent::Kind::kStepEnded};
    event.record = {.step = step.text,
                    .outcome = "skipped",
                    .message = "the unit waited in its MCU bootloader: only MCU steps ran"};
    Emit(event);
  }
  if (status == kExitOk && !skipped.empty()) {
    status = kExitFailed;
    message = "the unit waited in its MCU bootloader: its MCU steps ran, " +
              std::to_string(skipped.size()) + " other step(s) did not; run them again";
  }
  UnitEvent ended{UnitEvent::Kind::kEnded};
  ended.exitCode = status;
  ended.message = message;
  Emit(ended);
  return status;
}

}  // namespace korvelt::cli
