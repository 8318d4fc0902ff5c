// korvelt-bench: korvelt-cli against korvelt-sim over pseudo-terminals, side by side in one
// run, measured against the time the bytes need on the wire. Prints one table and appends a
// JSON line to bench/results.jsonl.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/updater_dialog.h"
#include "frontends/headless/headless_window.h"
#include "line/run_history.h"
#include "release/make_manifest.h"
#include "release/release_folder.h"
#include "release/trusted_keys.h"
#include "resources/dialog_layout.h"
#include "serial/port_map.h"
#include "serial/serial_port.h"
#include "sim/pty_device.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace line = korvelt::line;
namespace release = korvelt::release;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(const std::vector<std::string>& args, const std::string& stdoutFile = "") {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& arg : copy) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipeFds[2] = {-1, -1};
  if (stdoutFile.empty()) {
    if (::pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Child child;
  if (::posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  child.out = pipeFds[0];
  return child;
}

struct Finished {
  int status = -1;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long maxRssKiB = 0;
};

Finished Wait(const Child& child, Clock::time_point started) {
  Finished finished;
  int status = 0;
  rusage usage{};
  ::wait4(child.pid, &status, 0, &usage);
  finished.wallSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  finished.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                        usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  finished.maxRssKiB = usage.ru_maxrss;
  return finished;
}

class Sim {
 public:
  Sim(const std::string& program, const fs::path& work, const std::string& ports, int baud,
      std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        program,  "--port-dir",         (work / "ports").string(), "--ports", ports,
        "--baud", std::to_string(baud), "--reply-delay",           "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    child_ = Spawn(args);
    std::string line;
    char c;
    while (child_.out >= 0 && ::read(child_.out, &c, 1) == 1 && c != '\n') line += c;
    ready_ = Json::parse(line, nullptr, false);
  }
  ~Sim() {
    if (child_.pid > 0) {
      ::kill(child_.pid, SIGINT);
      ::waitpid(child_.pid, nullptr, 0);
    }
    if (child_.out >= 0) ::close(child_.out);
  }
  std::string PtyOf(int com) const {
    return ready_.is_object() ? ready_["ports"][std::to_string(com)].get<std::string>() : "";
  }

 private:
  Child child_;
  Json ready_;
};

std::vector<uint8_t> RandomImage(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> image(size);
  for (auto& b : image) b = static_cast<uint8_t>(random());
  return image;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Seconds from the first trace line matching `from` to the last one matching `to`.
double TraceSpan(const fs::path& trace, const std::string& from, const std::string& to) {
  std::ifstream in(trace);
  std::string line;
  double first = -1, last = -1;
  while (std::getline(in, line)) {
    const double t = std::atof(line.c_str());
    if (first < 0 && line.find(from) != std::string::npos) first = t;
    if (first >= 0 && line.find(to) != std::string::npos) last = t;
  }
  return first >= 0 && last >= first ? last - first : -1;
}

// An MCU conversation in a trace, from the first sync byte on: its span, the bytes each way
// and the Write Memory data blocks.
struct McuTrace {
  double seconds = -1;
  double fromRequest = -1;  // from the ISP request, as the written pacing's row measures
  uint64_t bytesOut = 0;
  uint64_t bytesIn = 0;
  uint64_t dataBlocks = 0;
};

McuTrace ReadMcuTrace(const fs::path& trace) {
  McuTrace result;
  std::ifstream in(trace);
  std::string line;
  double first = -1, request = -1, last = -1;
  while (std::getline(in, line)) {
    const double t = std::atof(line.c_str());
    const auto out = line.find(" OUT ");
    const auto got = line.find(" IN ");
    if (request < 0 && line.find(" OUT 0d 0a 49 53 50") != std::string::npos) request = t;
    if (first < 0 && out != std::string::npos &&
        line.compare(out, std::string::npos, " OUT 7f") == 0)
      first = t;
    if (first < 0) continue;
    const std::size_t at = out != std::string::npos   ? out + 5
                           : got != std::string::npos ? got + 4
                                                      : 0;
    if (at == 0) continue;
    const uint64_t bytes = (line.size() - at + 1) / 3;
    if (out != std::string::npos) {
      result.bytesOut += bytes;
      if (bytes >= 6 && std::strtoul(line.c_str() + at, nullptr, 16) + 3 == bytes)
        ++result.dataBlocks;
    } else {
      result.bytesIn += bytes;
      last = t;
    }
  }
  if (first >= 0 && last >= first) result.seconds = last - first;
  if (request >= 0 && last >= request) result.fromRequest = last - request;
  return result;
}

struct Row {
  std::string name;
  std::string measured;
  std::string target;
  std::string verdict;
};

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path binDir = argc > 1 ? fs::path(argv[1]) : fs::path("build");
  const fs::path results = argc > 2 ? fs::path(argv[2]) : fs::path("bench/results.jsonl");
  const double scale =
      std::getenv("KORVELT_BENCH_SCALE") ? std::atof(std::getenv("KORVELT_BENCH_SCALE")) : 1.0;
  const std::string cli = fs::absolute(binDir / "korvelt-cli").string();
  const std::string simProgram = fs::absolute(binDir / "korvelt-sim").string();
  const fs::path work = fs::temp_directory_path() / ("korvelt-bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "data");
  // KORVELT_BENCH_ONLY=fpga|mcu|stub|board|idle|memory|noise|trace runs one group of rows.
  const std::string only =
      std::getenv("KORVELT_BENCH_ONLY") ? std::getenv("KORVELT_BENCH_ONLY") : "";
  auto Wanted = [&](const char* group) { return only.empty() || only == group; };
  std::vector<Row> rows;
  Json json{{"time", std::time(nullptr)}, {"scale", scale}};
  auto runCli = [&](const std::vector<std::string>& steps, const std::string& trace) {
    std::vector<std::string> args = {cli,  "-q",          "--port-dir", (work / "ports").string(),
                                     "-C", work.string(), "--port",     "3"};
    if (!trace.empty()) {
      args.push_back("--trace");
      args.push_back(trace);
    }
    args.insert(args.end(), steps.begin(), steps.end());
    const auto started = Clock::now();
    return Wait(Spawn(args, (work / "cli.out").string()), started);
  };

  // 1. FPGA upload at 115200 baud, no processing time in the unit.
  const std::size_t fpgaBytes = static_cast<std::size_t>(1048576 * scale) / 256 * 256;
  WriteFile(work / "data/GENERATOR_FPGA.bin", RandomImage(fpgaBytes, 1));
  if (Wanted("fpga")) {
    Sim sim(simProgram, work, "3=generator", 115200);
    const auto trace = (work / "fpga-paced.trace").string();
    const Finished run = runCli({"generator-fpga"}, trace);
    const double span = TraceSpan(trace, " OUT aa 00 00 09 01", " IN ");
    const double bound = (fpgaBytes / 256.0) * (270 + 13) * 10.0 / 115200;
    const double ratio = span / bound;
    rows.push_back({"FPGA " + std::to_string(fpgaBytes / 1024) + " KiB at 115200 baud",
                    Format("%.2f s", span) + " (bound " + Format("%.2f s", bound) + ", ratio " +
                        Format("%.3f", ratio) + ")",
                    "ratio <= 1.05", run.status == 0 && ratio <= 1.05 ? "met" : "NOT MET"});
    json["fpgaPaced"] = {{"bytes", fpgaBytes},
                         {"seconds", span},
                         {"bound", bound},
                         {"ratio", ratio},
                         {"exit", run.status}};
  }
  // 2. The same upload with no line limit: throughput and the updater's CPU per MiB.
  if (Wanted("fpga")) {
    Sim sim(simProgram, work, "3=generator", 0);
    const auto trace = (work / "fpga-free.trace").string();
    const Finished run = runCli({"generator-fpga"}, "");
    (void)trace;
    // The updater waits a second after the final acknowledgement before it closes the port.
    const double seconds = run.wallSeconds - 1.05;
    const double mbps = fpgaBytes / seconds / 1e6;
    const double cpuPerMiB = run.cpuSeconds / (fpgaBytes / 1048576.0);
    rows.push_back({"FPGA " + std::to_string(fpgaBytes / 1024) + " KiB unthrottled",
                    Format("%.2f MB/s", mbps) + ", " + Format("%.3f CPU s/MiB", cpuPerMiB),
                    ">= 1 MB/s", run.status == 0 && mbps >= 1.0 ? "met" : "NOT MET"});
    json["fpgaUnthrottled"] = {{"bytes", fpgaBytes},
                               {"seconds", seconds},
                               {"mbPerSecond", mbps},
                               {"cpuSecondsPerMiB", cpuPerMiB},
                               {"exit", run.status}};
  }
  // 3. MCU update at 115200 8E1 with the written pacing, and stm32flash on the same virtual
  // MCU afterwards.
  const std::size_t mcuBytes = static_cast<std::size_t>(65536 * scale) / 256 * 256;
  WriteFile(work / "data/GENERATOR_MCU(rack).bin", RandomImage(mcuBytes, 2));
  auto stm32flash = [&](const Sim& sim, bool verify) {
    // The MCU now waits in its bootloader: a client we did not write, on the same line.
    std::vector<std::string> args = {"/usr/bin/stm32flash", "-b", "115200", "-m", "8n1"};
    if (verify) args.push_back("-v");
    args.insert(args.end(), {"-w", (work / "data/GENERATOR_MCU(rack).bin").string(), sim.PtyOf(3)});
    const auto flashStart = Clock::now();
    const Finished flash = Wait(Spawn(args, (work / "stm32flash.out").string()), flashStart);
    return flash.status == 0 ? flash.wallSeconds : -1.0;
  };
  if (Wanted("mcu")) {
    Sim sim(simProgram, work, "3=generator", 115200);
    const auto trace = (work / "mcu.trace").string();
    const Finished run = runCli({"--written-pacing", "--no-verify", "generator-mcu"}, trace);
    const double span = TraceSpan(trace, " OUT 0d 0a 49 53 50", " IN ");
    const double bound = (mcuBytes / 128.0) * (2 + 5 + 130 + 3) * 11.0 / 115200;
    const double flash = stm32flash(sim, false);
    rows.push_back({"MCU " + std::to_string(mcuBytes / 1024) + " KiB 8E1, written pacing",
                    Format("%.2f s", span) + " (bound " + Format("%.2f s", bound) + ", ratio " +
                        Format("%.1f", span / bound) + "); stm32flash " +
                        (flash >= 0 ? Format("%.2f s", flash) : std::string("failed")),
                    "baseline", run.status == 0 ? "reported" : "FAILED"});
    json["mcu"] = {{"bytes", mcuBytes},
                   {"seconds", span},
                   {"bound", bound},
                   {"ratio", span / bound},
                   {"stm32flashSeconds", flash},
                   {"exit", run.status}};
  }
  // 3b. The acknowledged pacing, without and with the read-back, each against stm32flash
  // (-w, then -v -w) on the same virtual MCU and against the line's own bound: the bytes both
  // ways at 11 bits, 7 ms of programming a 256-byte block, the 40 ms mass erase.
  for (const bool verify : {false, true}) {
    if (!Wanted("mcu")) break;
    Sim sim(simProgram, work, "3=generator", 115200);
    const auto trace = (work / (verify ? "mcu-ack-verify.trace" : "mcu-ack.trace")).string();
    // The unit stays in its bootloader for stm32flash afterwards.
    const Finished run =
        runCli({verify ? "--verify" : "--no-verify", "--no-start", "generator-mcu"}, trace);
    const McuTrace t = ReadMcuTrace(trace);
    const double bound = (t.bytesOut + t.bytesIn) * 11.0 / 115200 + t.dataBlocks * 0.007 + 0.040;
    const double flash = stm32flash(sim, verify);
    const double peer = t.seconds / flash;
    const double target = verify ? 0.95 : 0.90;
    const bool met = run.status == 0 && flash > 0 && peer <= target && t.seconds / bound <= 1.10;
    rows.push_back(
        {std::string("MCU ") + std::to_string(mcuBytes / 1024) + " KiB 8E1, acknowledged" +
             (verify ? " + verify" : ""),
         Format("%.2f s", t.seconds) + " (bound " + Format("%.2f s", bound) + ", ratio " +
             Format("%.3f", t.seconds / bound) + "); stm32flash" + (verify ? " -v " : " ") +
             Format("%.2f s", flash) + ", ratio " + Format("%.3f", peer),
         Format("<= %.2f x peer", target) + ", <= 1.10 x bound", met ? "met" : "NOT MET"});
    json[verify ? "mcuAcknowledgedVerify" : "mcuAcknowledged"] = {
        {"bytes", mcuBytes},
        {"seconds", t.seconds},
        {"fromRequest", t.fromRequest},
        {"bound", bound},
        {"ratio", t.seconds / bound},
        {"stm32flashSeconds", flash},
        {"peerRatio", peer},
        {"hostBytes", t.bytesOut + t.bytesIn},
        {"exit", run.status}};
  }
  // 3d. The whole command against stm32flash's whole command, both on the same virtual MCU
  // waiting in its bootloader (an update that was cut, or stm32flash's own setting): from start
  // to exit, process start included. Then the same with the start of the new firmware and its
  // probe, which stm32flash does not do.
  for (const bool verify : {false, true}) {
    if (!Wanted("mcu")) break;
    WriteFile(work / "data/GENERATOR_MCU(rack).bin", RandomImage(mcuBytes, 2));
    Sim sim(simProgram, work, "3=generator", 115200, {"--in-bootloader"});
    const std::string check = verify ? "--verify" : "--no-verify";
    const Finished ours = runCli({check, "--no-start", "generator-mcu"}, "");
    const double flash = stm32flash(sim, verify);
    const Finished started = runCli({check, "generator-mcu"}, "");
    const double peer = ours.wallSeconds / flash;
    const double target = verify ? 0.95 : 0.90;
    const bool met = ours.status == 0 && flash > 0 && peer <= target;
    rows.push_back({std::string("MCU ") + std::to_string(mcuBytes / 1024) + " KiB, whole command" +
                        (verify ? " + verify" : "") + ", unit in its bootloader",
                    Format("%.2f s", ours.wallSeconds) + "; stm32flash" +
                        (verify ? " -v -w " : " -w ") + Format("%.2f s", flash) + ", ratio " +
                        Format("%.3f", peer) + "; with start and probe " +
                        Format("%.2f s", started.wallSeconds),
                    Format("<= %.2f x peer", target), met ? "met" : "NOT MET"});
    json[verify ? "mcuWholeVerify" : "mcuWhole"] = {{"bytes", mcuBytes},
                                                    {"seconds", ours.wallSeconds},
                                                    {"stm32flashSeconds", flash},
                                                    {"peerRatio", peer},
                                                    {"startedSeconds", started.wallSeconds},
                                                    {"exit", ours.status},
                                                    {"startedExit", started.status}};
  }
  // 3e. The flashing stub: 64 KiB written and checked through it, the whole command (--no-start,
  // as in 3d) against stm32flash -v -w's on the same virtual MCU waiting in its bootloader, and
  // against the wire bound (the image's bytes at 11 bits). At 115200, then with the line
  // switched for the image: 230400 (the most the stub keeps up with at the ROM bootloader's
  // 8 MHz) and 460800 (the link carries it; the stub's receiver overruns now and then), where
  // the stub's load at 115200 stays in the whole command.
  for (const uint32_t rate : {115200u, 230400u, 460800u}) {
    if (!Wanted("mcu") && !Wanted("stub")) break;
    WriteFile(work / "data/GENERATOR_MCU(rack).bin", RandomImage(mcuBytes, 2));
    Sim sim(simProgram, work, "3=generator", 115200,
            {"--in-bootloader", "--mcu-max-baud", "460800"});
    std::vector<std::string> steps = {"--mcu-stub", "--no-start", "generator-mcu"};
    if (rate != 115200) steps.insert(steps.begin() + 1, {"--mcu-baud", std::to_string(rate)});
    const Finished ours = runCli(steps, "");
    const double flash = stm32flash(sim, true);
    const double peer = ours.wallSeconds / flash;
    const double wire = mcuBytes * 11.0 / rate;
    const double toWire = ours.wallSeconds / wire;
    const bool goal = rate == 115200;
    const bool met = ours.status == 0 && flash > 0 && peer <= 0.5 && (!goal || toWire <= 1.15);
    rows.push_back({"MCU " + std::to_string(mcuBytes / 1024) + " KiB stub" +
                        (goal ? std::string() : " at " + std::to_string(rate)) + ", whole",
                    Format("%.2f s", ours.wallSeconds) + "; stm32flash -v -w " +
                        Format("%.2f s", flash) + ", ratio " + Format("%.3f", peer) + "; wire " +
                        Format("%.2f s", wire) + ", ratio " + Format("%.3f", toWire),
                    goal ? "<= 0.5 x peer, <= 1.15 x wire" : "<= 0.5 x peer",
                    met ? "met" : "NOT MET"});
    json["mcuStub" + std::to_string(rate)] = {
        {"bytes", mcuBytes},          {"rate", rate},       {"seconds", ours.wallSeconds},
        {"stm32flashSeconds", flash}, {"peerRatio", peer},  {"wireSeconds", wire},
        {"wireRatio", toWire},        {"exit", ours.status}};
  }
  // 3c. Half of the image erased (every other 256-byte block all 0xFF): what goes out.
  if (Wanted("mcu")) {
    std::vector<uint8_t> half = RandomImage(mcuBytes, 5);
    for (std::size_t block = 1; block * 256 < half.size(); block += 2)
      std::fill(half.begin() + static_cast<long>(block * 256),
                half.begin() + static_cast<long>(block * 256 + 256), 0xFF);
    WriteFile(work / "data/GENERATOR_MCU(rack).bin", half);
    Sim sim(simProgram, work, "3=generator", 115200);
    const auto trace = (work / "mcu-half.trace").string();
    const Finished run = runCli({"--no-verify", "generator-mcu"}, trace);
    const McuTrace t = ReadMcuTrace(trace);
    const double share = static_cast<double>(t.bytesOut) / half.size();
    rows.push_back({"MCU " + std::to_string(mcuBytes / 1024) + " KiB, half erased",
                    Format("%.1f %% of the image's bytes sent", 100 * share) + " (" +
                        std::to_string(t.dataBlocks) + " blocks, " + Format("%.2f s)", t.seconds),
                    "<= 60 %", run.status == 0 && share <= 0.60 ? "met" : "NOT MET"});
    json["mcuHalfErased"] = {{"bytes", mcuBytes},    {"bytesSent", t.bytesOut},
                             {"share", share},       {"blocks", t.dataBlocks},
                             {"seconds", t.seconds}, {"exit", run.status}};
  }
  // 4. Input-board transfer at 115200.
  const std::size_t boardBytes = static_cast<std::size_t>(262144 * scale);
  WriteFile(work / "board.bin", RandomImage(boardBytes, 3));
  if (Wanted("board")) {
    Sim sim(simProgram, work, "3=generator", 115200);
    const auto trace = (work / "board.trace").string();
    const Finished run = runCli(
        {"--allow-placeholder-loader", "input-board=1:" + (work / "board.bin").string()}, trace);
    const double span = TraceSpan(trace, " OUT 03 10 ed", " OUT 03 10 ed");
    const std::size_t chunks = (boardBytes + 4095) / 4096;
    const double bound = (boardBytes + chunks * (12 + 3 + 1)) * 10.0 / 115200;
    rows.push_back({"input board " + std::to_string(boardBytes / 1024) + " KiB at 115200",
                    Format("%.2f s", span) + " (bound " + Format("%.2f s", bound) + ", ratio " +
                        Format("%.3f", span / bound) + ")",
                    "ratio near 1", run.status == 0 ? "reported" : "FAILED"});
    json["inputBoard"] = {{"bytes", boardBytes},
                          {"seconds", span},
                          {"bound", bound},
                          {"ratio", span / bound},
                          {"exit", run.status}};
  }
  // 5. Idle: the core with a port open and silent for 10 s, in this process.
  if (Wanted("idle")) {
    Sim sim(simProgram, work, "3=silent", 115200);
    ::setenv(korvelt::PortMap::kFolderVariable, (work / "ports").c_str(), 1);
    korvelt::HeadlessWindow window;
    korvelt::SerialPort port;
    korvelt::UpdaterDialog dialog(window, port, &window.channel());
    window.Attach(&dialog);
    dialog.OnInitDialog();
    dialog.m_nPortNumber = 3;
    dialog.Click(korvelt::IDC_PORT_BUTTON);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    window.RunFor(std::chrono::seconds(10));
    ::getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& u) {
      return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
             u.ru_stime.tv_usec / 1e6;
    };
    const double idle = cpu(after) - cpu(before);
    rows.push_back({"idle, port open, 10 s", Format("%.4f CPU s", idle), "< 0.05 s",
                    idle < 0.05 ? "met" : "NOT MET"});
    json["idleCpuSeconds"] = idle;
    window.channel().Shutdown();
  }
  // 6. Peak memory while a 16 MiB image goes up.
  if (Wanted("memory")) {
    const std::size_t bigBytes =
        static_cast<std::size_t>(16777216 * std::min(scale, 1.0)) / 256 * 256;
    WriteFile(work / "data/GENERATOR_FPGA.bin", RandomImage(bigBytes, 4));
    Sim sim(simProgram, work, "3=generator", 0);
    const Finished run = runCli({"generator-fpga"}, "");
    const double peakMiB = run.maxRssKiB / 1024.0;
    const double limitMiB = bigBytes / 1048576.0 + 30;
    rows.push_back({"peak memory, " + std::to_string(bigBytes >> 20) + " MiB upload",
                    Format("%.1f MiB", peakMiB), "<= " + Format("%.0f MiB", limitMiB),
                    run.status == 0 && peakMiB <= limitMiB ? "met" : "NOT MET"});
    json["peakMemory"] = {{"imageBytes", bigBytes}, {"maxRssMiB", peakMiB}, {"exit", run.status}};
  }

  // 7. A production line: four generators at once against one, each FPGA, open, MCU.
  {
    WriteFile(work / "data/GENERATOR_FPGA.bin", RandomImage(32768, 5));
    WriteFile(work / "data/GENERATOR_MCU(rack).bin", RandomImage(8192, 6));
    const std::vector<std::string> steps = {"generator-fpga", "open", "generator-mcu"};
    Finished one, four;
    {
      Sim sim(simProgram, work, "3=generator", 115200);
      one = runCli(steps, "");
    }
    {
      // A fresh instrument: the MCU update leaves each unit in its bootloader.
      Sim sim(simProgram, work, "3=generator,4=generator,5=generator,6=generator", 115200);
      std::vector<std::string> args = {cli,  "-q",          "--port-dir", (work / "ports").string(),
                                       "-C", work.string(), "--units",    "3,4,5,6"};
      args.insert(args.end(), steps.begin(), steps.end());
      const auto started = Clock::now();
      four = Wait(Spawn(args, (work / "cli.out").string()), started);
    }
    const double wallRatio = four.wallSeconds / one.wallSeconds;
    const double cpuLimit = 4 * one.cpuSeconds * 1.1;
    const bool met =
        one.status == 0 && four.status == 0 && wallRatio <= 1.3 && four.cpuSeconds <= cpuLimit;
    rows.push_back({"4 generators at once (32K+8K)",
                    Format("%.2f s", four.wallSeconds) + " vs one " +
                        Format("%.2f s", one.wallSeconds) + " (x" + Format("%.2f", wallRatio) +
                        "); CPU " + Format("%.2f s", four.cpuSeconds) + " vs one " +
                        Format("%.2f s", one.cpuSeconds),
                    "x1.3, CPU 4.4x", met ? "met" : "NOT MET"});
    json["fourUnits"] = {{"oneSeconds", one.wallSeconds},
                         {"fourSeconds", four.wallSeconds},
                         {"wallRatio", wallRatio},
                         {"oneCpuSeconds", one.cpuSeconds},
                         {"fourCpuSeconds", four.cpuSeconds},
                         {"exitOne", one.status},
                         {"exitFour", four.status}};
  }
  // 8. The scan over 99 mapped ports of which 4 answer, process start included.
  {
    std::string ports;
    for (int n = 1; n <= 99; ++n) {
      const bool answers = n == 3 || n == 20 || n == 57 || n == 99;
      ports += (ports.empty() ? "" : ",") + std::to_string(n) +
               (answers ? (n == 20 ? "=analyzer" : "=generator") : "=silent");
    }
    Sim sim(simProgram, work, ports, 115200);
    const auto started = Clock::now();
    const Finished scan = Wait(
        Spawn({cli, "--port-dir", (work / "ports").string(), "scan"}, (work / "scan.out").string()),
        started);
    std::ifstream in(work / "scan.out");
    int found = 0;
    for (std::string line; std::getline(in, line);) found += line.rfind("COM", 0) == 0;
    rows.push_back({"scan, 99 ports, 4 answer",
                    Format("%.3f s", scan.wallSeconds) + ", " + std::to_string(found) +
                        " units, CPU " + Format("%.3f s", scan.cpuSeconds),
                    "<= 1 s",
                    scan.status == 0 && found == 4 && scan.wallSeconds <= 1.0 ? "met" : "NOT MET"});
    json["scan"] = {{"seconds", scan.wallSeconds},
                    {"cpuSeconds", scan.cpuSeconds},
                    {"found", found},
                    {"exit", scan.status}};
  }

  // 9. A line that loses or damages bytes: ten units at once at the line rate, on a clean line
  //    and on a noisy one; how many came through (and none falsely), and what each took.
  if (Wanted("noise")) {
    struct NoiseCase {
      const char* name;
      const char* step;
      const char* file;
      std::size_t bytes;
      const char* probability;
      std::size_t block;  // the unit holds the image padded to this
      uint8_t fill;
    } cases[] = {
        {"FPGA 64K", "generator-fpga", "data/GENERATOR_FPGA.bin", 65536, "1e-4", 256, 0x00},
        {"MCU 16K", "generator-mcu", "data/GENERATOR_MCU(rack).bin", 16384, "1e-4", 4, 0xFF},
        {"FPGA 16K", "generator-fpga", "data/GENERATOR_FPGA.bin", 16384, "1e-3", 256, 0x00},
    };
    constexpr int kUnits = 10;
    std::string ports, units;
    for (int n = 1; n <= kUnits; ++n) {
      ports += (n > 1 ? "," : "") + std::to_string(n) + "=generator";
      units += (n > 1 ? "," : "") + std::to_string(n);
    }
    Json noise = Json::array();
    for (const NoiseCase& c : cases) {
      const std::size_t bytes =
          std::max<std::size_t>(256, static_cast<std::size_t>(c.bytes * scale));
      const std::vector<uint8_t> image = RandomImage(bytes, 7);
      std::vector<uint8_t> held = image;
      held.resize((held.size() + c.block - 1) / c.block * c.block, c.fill);
      WriteFile(work / c.file, image);
      // Units done (and done with a wrong image), and their mean time, on one line.
      struct Outcome {
        int done = 0;
        int falsely = 0;
        int passedTheChecksum = 0;  // line damage the unit's frame checksum did not show
        double seconds = 0;
      };
      auto measure = [&](const char* probability) {
        Outcome outcome;
        const fs::path dump = work / ("dump-" + std::string(probability));
        fs::remove_all(dump);
        fs::remove(work / "noise.json");
        const fs::path simReport = work / "noise-sim.json";
        {
          Sim sim(simProgram, work, ports, 115200,
                  {"--line-noise", probability, "--noise-seed", "9", "--dump", dump.string(),
                   "--report", simReport.string()});
          const auto started = Clock::now();
          Wait(Spawn({cli, "-q", "--port-dir", (work / "ports").string(), "-C", work.string(),
                      "--report", (work / "noise.json").string(), "--units", units, c.step},
                     (work / "cli.out").string()),
               started);
        }
        std::ifstream in(work / "noise.json");
        const Json report = Json::parse(in, nullptr, false);
        std::ifstream simIn(simReport);
        const Json simJson = Json::parse(simIn, nullptr, false);
        if (!report.is_object() || !simJson.is_object()) return outcome;
        for (const auto& unit : report["units"]) {
          if (unit["outcome"] != "ok") continue;
          const std::string port = unit["port"].get<std::string>();
          std::ifstream got(dump / (port + (c.block == 256 ? "-fpga.bin" : "-mcu.bin")),
                            std::ios::binary);
          const std::vector<uint8_t> unitHolds((std::istreambuf_iterator<char>(got)),
                                               std::istreambuf_iterator<char>());
          const Json& line = simJson["ports"][port.substr(3)]["lineNoise"];
          const bool damageTaken = line.is_object() && line["damagedBlocksTaken"].get<int>() > 0;
          ++(unitHolds == held ? outcome.done
             : damageTaken     ? outcome.passedTheChecksum
                               : outcome.falsely);
          outcome.seconds += unit["steps"][0]["seconds"].get<double>() / kUnits;
        }
        return outcome;
      };
      const Outcome clean = measure("0");
      const Outcome noisy = measure(c.probability);
      const std::string name =
          std::string("noise ") + c.probability + ", " + c.name + " x" + std::to_string(kUnits);
      const double cost = clean.seconds > 0 && noisy.done > 0
                              ? noisy.seconds / noisy.done * kUnits / clean.seconds
                              : 0;
      rows.push_back({name,
                      std::to_string(noisy.done) + "/" + std::to_string(kUnits) + " done, " +
                          std::to_string(noisy.falsely) + " falsely (" +
                          std::to_string(noisy.passedTheChecksum) + " past the checksum); " +
                          Format("%.1f s", noisy.done ? noisy.seconds * kUnits / noisy.done : 0) +
                          " a unit vs clean " + Format("%.1f s", clean.seconds) + " (x" +
                          Format("%.2f", cost) + ")",
                      "none false",
                      noisy.falsely == 0 && clean.done == kUnits ? "met" : "NOT MET"});
      noise.push_back({{"case", name},
                       {"done", noisy.done},
                       {"falsely", noisy.falsely},
                       {"passedTheChecksum", noisy.passedTheChecksum},
                       {"cleanDone", clean.done},
                       {"secondsPerUnit", noisy.done ? noisy.seconds * kUnits / noisy.done : 0},
                       {"cleanSecondsPerUnit", clean.seconds}});
    }
    json["noise"] = noise;
  }

  // 10. What traceability costs: a history row as a step ends, and the check of a signed release
  // holding a 16 MiB image before any unit is touched.
  if (Wanted("trace")) {
    const line::RunIdentity who{"bench", "bench", "korvelt-bench"};
    auto history = line::RunHistory::Open(
        {.file = work / "history.sqlite"},
        [](const char*) -> std::optional<fs::path> { return std::nullopt; }, who);
    if (history.ok() && history.value()) {
      line::UnitRecord unit;
      unit.port = 3;
      line::StepRecord step{.step = "generator-mcu", .outcome = "ok", .seconds = 4.2};
      step.bytes = 65536;
      step.sha256 = std::string(64, 'a');
      step.mcuUid = "3132333435363738393a3b03";
      std::vector<double> costs;
      for (int i = 0; i < 200; ++i) {
        const auto started = Clock::now();
        history.value()->Record(unit, step);
        costs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
      }
      std::sort(costs.begin(), costs.end());
      const double median = costs[costs.size() / 2], worst = costs.back();
      rows.push_back({"history row per step",
                      Format("median %.3f ms", median) + Format(", slowest %.3f ms", worst),
                      "< 20 ms", !history.value()->failed() && worst < 20 ? "met" : "NOT MET"});
      json["historyRow"] = {{"medianMs", median}, {"slowestMs", worst}};
    }
    const fs::path folder = work / "release";
    fs::create_directories(folder);
    WriteFile(folder / "big-nand.bin", RandomImage(16 * 1024 * 1024, 9));
    const auto made = release::MakeManifest(
        folder, "bench", {release::ParseFileMapping("big-nand.bin=4:nand").value()});
    const std::string sign = "minisign -G -W -p '" + (work / "bench.pub").string() + "' -s '" +
                             (work / "bench.key").string() +
                             "' >/dev/null 2>&1 && minisign -S -s '" +
                             (work / "bench.key").string() + "' -m '" +
                             (folder / "manifest.json").string() + "' >/dev/null 2>&1";
    auto key = made.ok() && std::system(sign.c_str()) == 0
                   ? release::LoadPublicKeyFile(work / "bench.pub")
                   : release::Checked<release::TrustedKey>(release::Refusal{});
    if (key.ok()) {
      const auto started = Clock::now();
      const auto verified = release::VerifyRelease(folder, {key.value()});
      const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
      rows.push_back({"release check, 16 MiB image", Format("%.3f s", seconds), "< 0.5 s",
                      verified.ok() && seconds < 0.5 ? "met" : "NOT MET"});
      json["releaseCheck16MiB"] = {{"seconds", seconds}, {"ok", verified.ok()}};
    } else {
      rows.push_back({"release check, 16 MiB image", "no minisign tool", "< 0.5 s", "not run"});
    }
  }

  std::printf("%-34s | %-62s | %-14s | %s\n", "benchmark", "measured", "target", "verdict");
  std::printf("%s\n", std::string(124, '-').c_str());
  for (const Row& row : rows) {
    std::printf("%-34s | %-62s | %-14s | %s\n", row.name.c_str(), row.measured.c_str(),
                row.target.c_str(), row.verdict.c_str());
  }
  fs::create_directories(results.parent_path().empty() ? fs::path(".") : results.parent_path());
  std::ofstream(results, std::ios::app) << json.dump() << "\n";
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}
