// korvelt-sim: the virtual instrument. It serves units on pseudo-terminals linked into a
// port-map folder as COMn, until SIGINT or SIGTERM, then reports what the units received.
#include <signal.h>
#include <time.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <vector>

#include "resources/program_version.h"
#include "sim/image_digest.h"
#include "sim/input_board_model.h"
#include "sim/instrument_model.h"
#include "sim/pty_device.h"
#include "sim/served_port.h"
#include "sim/sim_control.h"
#include "sim/stm32_bootloader_model.h"

namespace {

using korvelt::sim::InstrumentConfig;
using korvelt::sim::InstrumentModel;
using korvelt::sim::ServedPort;
using Json = nlohmann::ordered_json;

Json Describe(const std::vector<uint8_t>& bytes) {
  return Json{{"bytes", bytes.size()}, {"sha256", korvelt::sim::Sha256Hex(bytes)}};
}

void Dump(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
  if (folder.empty()) return;
  std::ofstream(std::filesystem::path(folder) / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

const char* KindName(uint8_t kind) {
  switch (kind) {
    case 0x00:
      return "fpga";
    case 0x01:
      return "aux-fpga";
    case 0x21:
      return "data-flash";
    case 0x30:
      return "nand";
    default:
      return "other";
  }
}

struct Faults {
  uint32_t nackEvery = 0;
  uint32_t dropAcksAfter = 0;
  uint32_t corruptAckEvery = 0;
  std::string banner = "isp";
  std::optional<uint32_t> bannerAfterFallbackMs;
  bool mcuNoSync = false;
  bool mcuNackWrites = false;
  uint32_t mcuNackWrite = 0;
  bool mcuSilentAfterErase = false;
  bool mcuExtendedErase = false;
  uint32_t mcuFlashKib = 128;
  std::string mcuProtect;
  uint32_t mcuMaxBaud = 0;
  uint32_t boardSilentAfter = 0;
  bool mcuReadProtected = false;
  bool inBootloader = false;
  std::string mcuCut;
  uint32_t mcuCutMs = 10000;
  std::optional<int> startsAs;
  std::vector<std::string> mcuUids;
  std::optional<uint32_t> bootLoopAfter;
  double lineNoise = 0;
  uint64_t noiseSeed = 1;
};

// "COM=24 hex digits": the unit's MCU unique ID in address order.
bool ParseUid(const std::string& text, int* com, std::array<uint8_t, 12>* uid) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || text.size() != equals + 25) return false;
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + equals || number < 1 || number > 99) return false;
  *com = static_cast<int>(number);
  for (std::size_t i = 0; i < 12; ++i) {
    const std::string pair = text.substr(equals + 1 + 2 * i, 2);
    if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
        !std::isxdigit(static_cast<unsigned char>(pair[1])))
      return false;
    (*uid)[i] = static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
  }
  return true;
}

// "sync", "get", "erase", "block=N", "vector", "verify" or "go".
std::optional<korvelt::sim::LineCut> ParseLineCut(const std::string& text, uint32_t forMs) {
  using W = korvelt::sim::LineCut::When;
  static const std::map<std::string, W> kNames = {
      {"sync", W::kSync},          {"get", W::kGet},       {"erase", W::kErase},
      {"vector", W::kVectorBlock}, {"verify", W::kVerify}, {"go", W::kGo}};
  korvelt::sim::LineCut cut{.forMs = forMs};
  if (auto it = kNames.find(text); it != kNames.end()) {
    cut.when = it->second;
    return cut;
  }
  unsigned block = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "block=%u%c", &block, &tail) != 1 || block == 0) return {};
  cut.when = W::kWriteBlock;
  cut.block = block;
  return cut;
}

// Each unit its own fault counters: a switch given once applies to every unit, but "after n
// blocks" counts that unit's blocks.
std::function<korvelt::sim::BlockAnswer(const korvelt::sim::BlockSeen&)> BlockFaults(
    const Faults& f) {
  if (!f.dropAcksAfter && !f.corruptAckEvery) return {};
  auto accepted = std::make_shared<uint64_t>(0);
  return [f, accepted](const korvelt::sim::BlockSeen& block) {
    if (f.dropAcksAfter && *accepted >= f.dropAcksAfter)
      return korvelt::sim::BlockAnswer::kNoAnswer;
    if (f.corruptAckEvery && (block.frameIndex + 1) % f.corruptAckEvery == 0) {
      return korvelt::sim::BlockAnswer::kBadChecksum;
    }
    if (f.nackEvery && (block.frameIndex + 1) % f.nackEvery == 0) {
      return korvelt::sim::BlockAnswer::kNack;
    }
    ++*accepted;
    return korvelt::sim::BlockAnswer::kAccept;
  };
}

// Runs the control commands that are due; a COM not served is named on standard error.
void RunDue(std::vector<korvelt::sim::ControlCommand>& commands, double seconds,
            std::map<int, std::unique_ptr<ServedPort>>& served) {
  using Action = korvelt::sim::ControlCommand::Action;
  for (auto it = commands.begin(); it != commands.end();) {
    if (it->atSeconds > seconds) {
      ++it;
      continue;
    }
    auto port = served.find(it->com);
    if (port == served.end()) {
      std::fprintf(stderr, "korvelt-sim: COM%d is not served\n", it->com);
    } else if (it->action == Action::kUnplug) {
      port->second->Unplug();
    } else if (it->action == Action::kPlug) {
      port->second->Plug();
    } else {
      port->second->PowerCycle();
    }
    it = commands.erase(it);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The virtual KORVELT instrument on pseudo-terminals.", "korvelt-sim"};
  app.set_version_flag("--version", korvelt::VersionLine("korvelt-sim"));
  std::string portDir, portsSpec, address, reportFile, dumpDir;
  int baud = 115200;
  uint32_t replyDelay = 2, blockDelay = 0;
  Faults faults;
  app.add_option("--port-dir", portDir, "folder to link the COMn entries into")->required();
  app.add_option("--ports", portsSpec,
                 "COM numbers and roles: 1=silent,2=analyzer,5=generator (also typeN)")
      ->required();
  app.add_option("--baud", baud, "line rate the bytes are paced at; 0 for no limit");
  app.add_option("--address", address, "the units' group and machine address, G:M");
  app.add_option("--report", reportFile, "write a JSON report here at exit");
  app.add_option("--dump", dumpDir, "write every received image into this folder at exit");
  app.add_option("--reply-delay", replyDelay, "ms from a command to its answer (default 2)");
  app.add_option("--block-delay", blockDelay, "ms a unit takes to store a block");
  app.add_option("--nack-every", faults.nackEvery, "refuse the first try of every n-th block");
  app.add_option("--drop-acks-after", faults.dropAcksAfter,
                 "stop answering after n blocks (a unit gone silent)");
  app.add_option("--corrupt-ack-every", faults.corruptAckEvery,
                 "damage the acknowledgement of every n-th block");
  app.add_option("--banner", faults.banner, "isp, none, two-dots, lf or ubd07");
  app.add_option("--banner-after-fallback", faults.bannerAfterFallbackMs,
                 "answer the MCU request with \"UBD 07\", then after MS ms with the ISP banner")
      ->option_text("MS");
  app.add_flag("--mcu-no-sync", faults.mcuNoSync, "the MCU bootloader never answers");
  app.add_flag("--mcu-nack-writes", faults.mcuNackWrites, "the MCU refuses every write");
  app.add_option("--mcu-nack-write", faults.mcuNackWrite, "the MCU refuses the n-th write once");
  app.add_flag("--mcu-silent-after-erase", faults.mcuSilentAfterErase,
               "the MCU acknowledges the erase command, then says nothing");
  app.add_flag("--mcu-extended-erase", faults.mcuExtendedErase,
               "the MCU's bootloader offers Extended Erase 0x44 instead of Erase 0x43");
  app.add_option("--mcu-flash-kib", faults.mcuFlashKib, "the MCU's flash size in KiB (128)")
      ->check(CLI::Range(1, 2048));
  app.add_option("--mcu-protect", faults.mcuProtect,
                 "writes to the flash page holding ADDR (hex) are acknowledged, not programmed");
  app.add_option("--mcu-max-baud", faults.mcuMaxBaud,
                 "the highest rate the MCU's link carries; above it bytes arrive garbled (0: any)");
  app.footer(
      "SIGINT or SIGTERM ends the run and writes the report; SIGUSR1 powers every unit off "
      "and on (the firmware in the MCU's flash runs again; a unit whose flash's first word is "
      "erased then answers nothing).");
  app.add_option("--board-silent-after", faults.boardSilentAfter,
                 "an input board stops answering after n chunks");
  app.add_flag("--mcu-read-protected", faults.mcuReadProtected,
               "the MCU's flash is read-protected: its bootloader refuses reads, writes, Go and "
               "erases");
  app.add_flag("--in-bootloader", faults.inBootloader,
               "every MCU waits in its bootloader from the start (an update was cut)");
  app.add_option("--mcu-cut", faults.mcuCut,
                 "cut the line once during an MCU update, from the moment the bootloader did "
                 "this: sync, get, erase, block=N, vector, verify, go");
  app.add_option("--mcu-cut-ms", faults.mcuCutMs, "how long --mcu-cut lasts (10000 ms)");
  app.add_option("--mcu-uid", faults.mcuUids,
                 "COM=HEX: that unit's MCU unique ID, 24 hex digits in address order (default: "
                 "3132333435363738393a3b and the COM number)");
  app.add_option("--starts-as", faults.startsAs,
                 "the firmware an MCU update starts answers the probe as this device type (a "
                 "wrong image)")
      ->check(CLI::Range(0, 7));
  app.add_option("--boot-loop-after", faults.bootLoopAfter,
                 "after n blocks the firmware restarts for ever, writing its boot line every "
                 "100 ms and answering nothing (a babbling unit)");
  app.add_option("--line-noise", faults.lineNoise,
                 "each byte either way is lost, or has one bit flipped, with probability P")
      ->check(CLI::Range(0.0, 1.0))
      ->option_text("P");
  app.add_option("--noise-seed", faults.noiseSeed, "the noise's random seed (each port its own)");
  std::string controlFile;
  std::vector<std::string> events;
  app.add_option("--control", controlFile,
                 "read commands appended to FILE while running: 'unplug 3', 'plug 3', "
                 "'power-cycle 3', each optionally after seconds from the start ('2.5 unplug 3')");
  app.add_option("--event", events, "a command as in --control, from the command line")
      ->option_text("'[SEC] ACTION COM'");
  CLI11_PARSE(app, argc, argv);
  std::vector<korvelt::sim::ControlCommand> commands;
  for (const std::string& event : events) {
    std::string error;
    auto command = korvelt::sim::ParseControlCommand(event, &error);
    if (!command) {
      std::fprintf(stderr, "korvelt-sim: --event %s\n", error.c_str());
      return 2;
    }
    commands.push_back(*command);
  }

  InstrumentConfig base;
  base.replyDelayMs = replyDelay;
  base.blockProcessingMs = blockDelay;
  base.nackEvery = faults.nackEvery;
  if (!address.empty()) {
    unsigned group = 0, machine = 0;
    if (std::sscanf(address.c_str(), "%x:%x", &group, &machine) != 2) {
      std::fprintf(stderr, "korvelt-sim: --address wants G:M in hex\n");
      return 2;
    }
    base.group = static_cast<uint8_t>(group);
    base.machine = static_cast<uint8_t>(machine);
  }
  static const std::map<std::string, korvelt::sim::BannerVariant> kBanners = {
      {"isp", korvelt::sim::BannerVariant::kIsp},
      {"none", korvelt::sim::BannerVariant::kNone},
      {"two-dots", korvelt::sim::BannerVariant::kTwoDots},
      {"lf", korvelt::sim::BannerVariant::kLineFeedBeforeReturn},
      {"ubd07", korvelt::sim::BannerVariant::kFallbackUbd07}};
  if (!kBanners.count(faults.banner)) {
    std::fprintf(stderr, "korvelt-sim: unknown banner '%s'\n", faults.banner.c_str());
    return 2;
  }
  base.banner = kBanners.at(faults.banner);
  base.bannerAfterFallbackMs = faults.bannerAfterFallbackMs;
  base.bootLoopAfterBlocks = faults.bootLoopAfter;
  auto mcu = std::make_shared<korvelt::sim::Stm32Config>();
  mcu->noSync = faults.mcuNoSync;
  mcu->nackEveryWrite = faults.mcuNackWrites;
  mcu->nackWriteNumber = faults.mcuNackWrite;
  mcu->silentAfterEraseAck = faults.mcuSilentAfterErase;
  mcu->extendedErase = faults.mcuExtendedErase;
  mcu->flashBytes = faults.mcuFlashKib * 1024;
  mcu->maxLineBaud = faults.mcuMaxBaud;
  if (!faults.mcuProtect.empty()) {
    char* end = nullptr;
    const unsigned long protect = std::strtoul(faults.mcuProtect.c_str(), &end, 16);
    if (end == faults.mcuProtect.c_str() || *end != '\0' || protect < 0x08000000 ||
        protect >= 0x08000000ul + mcu->flashBytes) {
      std::fprintf(stderr, "korvelt-sim: --mcu-protect wants a hex address in the flash\n");
      return 2;
    }
    mcu->protectedAddress = static_cast<uint32_t>(protect);
  }
  mcu->readProtected = faults.mcuReadProtected;
  base.stm32 = mcu;
  base.startInBootloader = faults.inBootloader;
  if (faults.startsAs) base.startsAsType = static_cast<uint8_t>(*faults.startsAs);
  if (!faults.mcuCut.empty()) {
    base.lineCut = ParseLineCut(faults.mcuCut, faults.mcuCutMs);
    if (!base.lineCut) {
      std::fprintf(stderr, "korvelt-sim: unknown --mcu-cut '%s'\n", faults.mcuCut.c_str());
      return 2;
    }
  }
  auto board = std::make_shared<korvelt::sim::InputBoardConfig>();
  board->silentAfterChunks = faults.boardSilentAfter > 0;
  board->chunksBeforeSilence = faults.boardSilentAfter;
  base.inputBoard = board;

  // Signals are taken by sigwait below, not by any thread.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGUSR1);  // power the units off and on
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::error_code ec;
  std::filesystem::create_directories(portDir, ec);
  std::map<int, std::unique_ptr<ServedPort>> served;
  std::stringstream spec(portsSpec);
  std::string item;
  while (std::getline(spec, item, ',')) {
    const auto equals = item.find('=');
    const int com = korvelt::sim::StrictNumber(item.substr(0, equals)).value_or(0);
    const std::string role = equals == std::string::npos ? "" : item.substr(equals + 1);
    if (com < 1 || com > 99 || role.empty()) {
      std::fprintf(stderr, "korvelt-sim: bad port entry '%s' (want N=role)\n", item.c_str());
      return 2;
    }
    if (served.count(com)) {
      std::fprintf(stderr, "korvelt-sim: COM%d is given twice\n", com);
      return 2;
    }
    InstrumentConfig config = base;
    // Each unit its own MCU: its own unique ID.
    auto unitMcu = std::make_shared<korvelt::sim::Stm32Config>(*base.stm32);
    unitMcu->uniqueId[11] = static_cast<uint8_t>(com);
    for (const std::string& given : faults.mcuUids) {
      int uidCom = 0;
      std::array<uint8_t, 12> uid{};
      if (!ParseUid(given, &uidCom, &uid)) {
        std::fprintf(stderr, "korvelt-sim: --mcu-uid wants COM=24 hex digits, not '%s'\n",
                     given.c_str());
        return 2;
      }
      if (uidCom == com) unitMcu->uniqueId = uid;
    }
    config.stm32 = unitMcu;
    config.blockFault = BlockFaults(faults);
    if (role == "generator") {
      config.deviceType = 0;
    } else if (role == "analyzer") {
      config.deviceType = 1;
    } else if (role == "silent") {
      config.silent = true;
    } else if (role.rfind("type", 0) == 0 && role.size() == 5 && role[4] >= '2' && role[4] <= '7') {
      config.deviceType = static_cast<uint8_t>(role[4] - '0');
    } else {
      std::fprintf(stderr, "korvelt-sim: unknown role '%s'\n", role.c_str());
      return 2;
    }
    auto port = std::make_unique<ServedPort>(com, role, std::make_shared<InstrumentModel>(config),
                                             portDir, baud);
    if (faults.lineNoise > 0) port->SetLineNoise(faults.lineNoise, faults.noiseSeed);
    std::string error;
    if (!port->Start(&error)) {
      std::fprintf(stderr, "korvelt-sim: %s\n", error.c_str());
      return 1;
    }
    served[com] = std::move(port);
  }

  Json ready{{"ready", true}, {"portDir", std::filesystem::absolute(portDir).string()}};
  for (auto& [com, unit] : served) ready["ports"][std::to_string(com)] = unit->device().portPath();
  std::printf("%s\n", ready.dump().c_str());
  std::fflush(stdout);

  // Signals, the control file and the timed commands, every 50 ms.
  korvelt::sim::ControlFile control(controlFile);
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    const timespec tick{0, 50 * 1000 * 1000};
    const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) break;
    if (signal == SIGUSR1) {
      for (auto& [com, unit] : served) unit->PowerCycle();
    }
    if (!controlFile.empty()) {
      for (const std::string& line : control.NewLines()) {
        std::string error;
        auto command = korvelt::sim::ParseControlCommand(line, &error);
        if (command) {
          commands.push_back(*command);
        } else {
          std::fprintf(stderr, "korvelt-sim: %s: %s\n", controlFile.c_str(), error.c_str());
        }
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    RunDue(commands, seconds, served);
  }

  if (!dumpDir.empty()) std::filesystem::create_directories(dumpDir, ec);
  Json report{{"baud", baud}, {"ports", Json::object()}};
  for (auto& [com, unit] : served) {
    unit->device().Stop();
    InstrumentModel& m = unit->model();
    const std::string prefix = "COM" + std::to_string(com) + "-";
    Json port{{"role", unit->role()},
              {"bytesIn", unit->device().bytesIn()},
              {"bytesOut", unit->device().bytesOut()},
              {"framesSeen", m.framesSeen()},
              {"badFrames", m.badFrames()},
              {"probesAnswered", m.probesAnswered()},
              {"blockFramesSeen", m.blockFramesSeen()},
              {"textCommands", m.textCommands()},
              {"subMcuRequested", m.subMcuRequested()}};
    port["images"] = Json::object();
    for (const auto& [kind, image] : m.uploads()) {
      Json entry = Describe(image.bytes);
      entry["blocksAccepted"] = image.blocksAccepted;
      entry["lastBlockAccepted"] = image.lastBlockAccepted;
      port["images"][KindName(kind)] = entry;
      Dump(dumpDir, prefix + KindName(kind) + ".bin", image.bytes);
    }
    auto& mcuModel = m.mcu();
    const std::vector<uint8_t> written(mcuModel.flash().begin(),
                                       mcuModel.flash().begin() + mcuModel.flashWrittenEnd());
    port["mcu"] = Describe(written);
    port["mcu"]["synced"] = mcuModel.synced();
    port["mcu"]["writesAccepted"] = mcuModel.writesAccepted();
    port["mcu"]["writesRefused"] = mcuModel.writesRefused();
    port["mcu"]["writesIntoUnerasedFlash"] = mcuModel.writesIntoUnerasedFlash();
    port["mcu"]["erases"] = mcuModel.erases();
    port["mcu"]["firstWordErased"] = mcuModel.FirstWordErased();
    port["mcu"]["firmwareStarts"] = mcuModel.flashStarts();
    port["mcu"]["ramCodeRuns"] = mcuModel.ramCodeRuns();  // the flashing stub, started by Go
    static const char* kModes[] = {"firmware", "mcu-bootloader", "input-board-loader",
                                   "no-firmware"};
    port["mode"] = kModes[static_cast<int>(m.mode())];
    if (mcuModel.flashWrittenEnd() > 0) Dump(dumpDir, prefix + "mcu.bin", written);
    if (m.inputBoardRequested() > 0) {
      auto& boardModel = m.inputBoard();
      port["inputBoard"] = Describe(boardModel.boardImage());
      port["inputBoard"]["board"] = m.inputBoardRequested();
      port["inputBoard"]["loaderBytes"] = boardModel.loader().size();
      port["inputBoard"]["errors"] = boardModel.errors();
      Dump(dumpDir, prefix + "board.bin", boardModel.boardImage());
    }
    if (const auto* toUnit = unit->noiseToUnit()) {
      const auto* toHost = unit->noiseToHost();
      port["lineNoise"] = {{"toUnit", {{"lost", toUnit->lost()}, {"flipped", toUnit->flipped()}}},
                           {"toHost", {{"lost", toHost->lost()}, {"flipped", toHost->flipped()}}},
                           {"damagedBlocksTaken", m.damagedBlocksTaken()}};
    }
    report["ports"][std::to_string(com)] = port;
  }
  // Text the units received may be any bytes (noise, a frame cut short): replaced, not fatal.
  if (!reportFile.empty()) {
    std::ofstream(reportFile) << report.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  }
  for (auto& [com, unit] : served) unit->Stop();  // the links and their locks go
  return 0;
}
