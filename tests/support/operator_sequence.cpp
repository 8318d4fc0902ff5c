#include "tests/support/operator_sequence.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "app/updater_dialog.h"
#include "resources/dialog_layout.h"
#include "sim/image_digest.h"
#include "sim/input_board_model.h"
#include "sim/instrument_model.h"
#include "sim/stm32_bootloader_model.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/fake_window_services.h"
#include "tests/support/temp_workdir.h"
#include "tests/support/virtual_clock.h"
#include "update/block_upload.h"
#include "update/image_file.h"
#include "update/stm32_boot_client.h"

namespace korvelt::testing {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned kLongestWrittenPauseMs = 500;
constexpr uint64_t kSettleMs = 60000;

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes Padded(const Bytes& image, std::size_t block, uint8_t fill) {
  return sim::PaddedToBlocks(image, block, fill);
}

struct Button {
  int id;
  const char* name;
};
constexpr Button kButtons[] = {
    {IDC_PORT_BUTTON, "port button"},
    {IDC_SEARCH_GENERATOR, "search generator"},
    {IDC_SEARCH_ANALYZER, "search analyzer"},
    {IDC_SEARCH_TYPE2, "search type 2"},
    {IDC_GENERATOR_FPGA, "generator FPGA"},
    {IDC_ANALYZER_FPGA, "analyzer FPGA"},
    {IDC_AUX_FPGA, "AUX FPGA"},
    {IDC_GENERATOR_DATA_FLASH, "generator data flash"},
    {IDC_ANALYZER_DATA_FLASH, "analyzer data flash"},
    {IDC_NAND_FLASH, "NAND"},
    {IDC_UPDATE_GENERATOR_MCU, "generator MCU"},
    {IDC_UPDATE_ANALYZER_MCU, "analyzer MCU"},
    {IDC_UPDATE_SUB_MCU, "sub MCU"},
    {IDC_UPDATE_IN1, "input board 1"},
    {IDC_UPDATE_IN3, "input board 3"},
};

// Window services that check every success the moment the window claims it.
class CheckingServices : public FakeWindowServices {
 public:
  using FakeWindowServices::FakeWindowServices;
  std::function<void(const std::string& what)> onSuccessClaim;

  void OperationEnded(const OperationResult& result) override {
    FakeWindowServices::OperationEnded(result);
    const OperationEvent event = result.event;
    if (event == OperationEvent::kUploadFinished) onSuccessClaim("upload finished event");
    if (event == OperationEvent::kMcuUpdateSucceeded) onSuccessClaim("MCU success event");
    if (event == OperationEvent::kInputBoardFinished) onSuccessClaim("input board event");
  }
  // A claim is made when the text changes to it; showing the same text again claims nothing.
  void SetControlText(int controlId, const std::string& text) override {
    const bool changed = controlTexts[controlId] != text;
    FakeWindowServices::SetControlText(controlId, text);
    if (!changed) return;
    if (controlId == IDC_NOTE && text.find("Succeed") != std::string::npos) {
      onSuccessClaim("success note");
    }
    if (controlId == IDC_PROGRESS && text == "100") onSuccessClaim("100 %");
  }
};

}  // namespace

struct OperatorSequence::State {
  State(const std::string& dir, Decide decide)
      : workDir(dir),
        below(std::move(decide)),
        services(clock),
        port(clock),
        dialog(services, port, nullptr),
        generator(sim::InstrumentConfig{.deviceType = 0}),
        analyzer(sim::InstrumentConfig{.deviceType = 1}) {
    services.Attach(&dialog);
    port.Attach(&dialog);
    units[1] = &generator;
    units[2] = &analyzer;
    port.presentPorts = {1, 2, 3};  // COM3 is present and silent
    port.SetWriteObserver([this](int com, const Bytes& bytes) { Carry(com, bytes); });
    services.onSuccessClaim = [this](const std::string& what) { CheckSuccess(what); };
    // Decisions about the unit's answers are made as the blocks arrive.
    for (sim::InstrumentModel* unit : {&generator, &analyzer}) {
      unit->config().blockFault = [this](const sim::BlockSeen&) { return NextBlockAnswer(); };
      unit->mcu().config().refuseWrite = [this](uint32_t, uint64_t) {
        if (mcuRefusals == 0) return false;
        --mcuRefusals;
        return true;
      };
    }
    std::filesystem::create_directories(workDir + "/data");
    WriteFile(workDir + "/data/GENERATOR_FPGA.bin", PatternImage(3000, 1));
    WriteFile(workDir + "/data/ANALYZER_FPGA.bin", PatternImage(2600, 2));
    WriteFile(workDir + "/data/GENERATOR_MCU(rack).bin", PatternImage(700, 3));
    WriteFile(workDir + "/data/ANALYZER_MCU(rack).bin", PatternImage(900, 4));
    WriteFile(workDir + "/chosen-a.bin", PatternImage(1500, 5));
    WriteFile(workDir + "/chosen-b.bin", PatternImage(5000, 6));
    WriteFile(workDir + "/empty.bin", {});
    dialog.OnInitDialog();
    dialog.Configure(
        {.allowPlaceholderLoader = true});  // the virtual boards take this build's loader
  }

  // What the window writes reaches the unit behind the port, if the line's settings are the
  // ones the unit speaks now; what the unit answers comes back at its time.
  void Carry(int com, const Bytes& bytes) {
    auto it = units.find(com);
    if (it == units.end() || silent[com]) return;
    sim::InstrumentModel& unit = *it->second;
    if (!ParityMatches(unit)) return;  // framing and parity errors: nothing usable arrives
    unit.Receive(clock.Now(), bytes.data(), bytes.size());
    for (const auto& out : unit.TakeOutput()) {
      uint8_t byte = out.byte;
      if (lineFault == LineFault::kDrop) {
        lineFault = LineFault::kNone;
        continue;
      }
      if (lineFault == LineFault::kCorrupt) {
        lineFault = LineFault::kNone;
        byte ^= 0x5A;
      }
      if (silent[com]) continue;
      // An answer to a port session that has ended is lost with it. (An acknowledgement
      // carries no block number: one that crossed a close and reopen within milliseconds
      // could not be told from a fresh one.)
      const std::size_t session = port.opens.size() + static_cast<std::size_t>(port.closeRequests);
      clock.ScheduleAt(out.atMs, [this, com, byte, session] {
        if (port.opens.size() + static_cast<std::size_t>(port.closeRequests) != session) return;
        port.DeliverAt(clock.Now(), com, {byte});
      });
    }
  }
  bool ParityMatches(sim::InstrumentModel& unit) const {
    if (port.opens.empty()) return false;
    const char parity = port.opens.back().parity;
    return unit.mode() == sim::InstrumentModel::Mode::kStm32Bootloader ? parity == 'E'
                                                                       : parity == 'N';
  }
  sim::BlockAnswer NextBlockAnswer() {
    if (blockAnswers.empty()) return sim::BlockAnswer::kAccept;
    const sim::BlockAnswer answer = blockAnswers.front();
    blockAnswers.erase(blockAnswers.begin());
    return answer;
  }

  // A success claimed now must be backed by the unit behind the port holding the image.
  void CheckSuccess(const std::string& what) {
    if (!failure.empty()) return;
    enum class Claim { kBlocks, kMcu, kBoard, kNone };
    Claim claim = Claim::kBlocks;
    if (what == "MCU success event") {
      claim = Claim::kMcu;
    } else if (what == "input board event") {
      claim = Claim::kBoard;
    } else if (what != "upload finished event") {
      // The input board's bar reaches 100 as its last chunk goes out; its event comes later.
      if (dialog.m_strNote.find("MCU firmware") != std::string::npos) claim = Claim::kMcu;
      if (dialog.m_bLoaderMode == 1 || dialog.m_bLoaderStreaming == 1) claim = Claim::kNone;
    }
    if (claim == Claim::kNone) return;
    auto it = units.find(port.CurrentPort());
    if (it == units.end()) {
      failure = what + " with no unit behind the port";
      return;
    }
    sim::InstrumentModel& unit = *it->second;
    const Bytes image(dialog.m_pImage.begin(),
                      dialog.m_pImage.begin() + static_cast<long>(std::min<std::size_t>(
                                                    dialog.m_imageSize, dialog.m_pImage.size())));
    bool held = false;
    if (claim == Claim::kMcu) {
      const Bytes& flash = unit.mcu().flash();
      const Bytes want = Padded(image, kStm32BlockBytes, 0xFF);
      held = !image.empty() && flash.size() >= want.size() &&
             std::equal(want.begin(), want.end(), flash.begin());
    } else if (claim == Claim::kBoard) {
      held = unit.inputBoard().boardImage() == image;
    } else {
      const uint8_t kind = dialog.m_bFpgaUpload      ? kKindFpga
                           : dialog.m_bAuxFpgaUpload ? kKindAuxFpga
                           : dialog.m_bNandUpload    ? kKindNand
                                                     : kKindDataFlash;
      auto upload = unit.uploads().find(kind);
      held = upload != unit.uploads().end() && upload->second.lastBlockAccepted &&
             upload->second.bytes == Padded(image, 256, 0);
    }
    if (!held) failure = what + ": the unit does not hold the image being written" + Flags();
  }

  void Step() {
    const uint32_t what = below(100);
    if (what < 40) {
      const Button& button = kButtons[below(std::size(kButtons))];
      PrepareChoices(button.id);
      const bool twice = below(6) == 0;
      log.push_back(std::string(twice ? "double press " : "press ") + button.name);
      dialog.Click(button.id);
      if (twice) {
        PrepareChoices(button.id);
        dialog.Click(button.id);
      }
    } else if (what < 46) {
      const int index = static_cast<int>(below(3));
      log.push_back("choose COM" + std::to_string(index + 1) + " in the list");
      services.comboSelections[IDC_PORT_LIST] = index;
      dialog.SelectionMade(IDC_PORT_LIST);
    } else if (what < 80) {
      const uint64_t ms = below(4) == 0 ? below(30000) : below(1500);
      log.push_back("wait " + std::to_string(ms) + " ms");
      clock.RunFor(ms);
    } else if (what < 84) {
      sim::InstrumentModel& unit = below(2) ? generator : analyzer;
      log.push_back(std::string("power cycle the ") +
                    (&unit == &generator ? "generator" : "analyzer"));
      unit.PowerCycle();
    } else if (what < 87) {
      const int com = static_cast<int>(below(2)) + 1;
      silent[com] = !silent[com];
      log.push_back("COM" + std::to_string(com) + (silent[com] ? " goes silent" : " speaks again"));
    } else if (what < 94) {
      static constexpr sim::BlockAnswer kFaults[] = {
          sim::BlockAnswer::kNack, sim::BlockAnswer::kNoAnswer, sim::BlockAnswer::kBadChecksum,
          sim::BlockAnswer::kWrongMagic};
      const sim::BlockAnswer fault = kFaults[below(std::size(kFaults))];
      // Gaps of accepted blocks put the fault anywhere, the final block included.
      for (uint32_t n = below(12); n > 0; --n) blockAnswers.push_back(sim::BlockAnswer::kAccept);
      blockAnswers.push_back(fault);
      log.push_back("a later block is answered with fault " + std::to_string(int(fault)));
    } else if (what < 97) {
      mcuRefusals += 1;
      log.push_back("the MCU refuses a later write");
    } else {
      lineFault = below(2) ? LineFault::kDrop : LineFault::kCorrupt;
      log.push_back(lineFault == LineFault::kDrop ? "a byte is lost on the line"
                                                  : "a byte is damaged on the line");
    }
  }

  // Answers for the file dialog and the hidden fields a press may read.
  void PrepareChoices(int button) {
    if (below(4) == 0) services.comboSelections[IDC_SUB_MCU_LIST] = static_cast<int>(below(12));
    if (below(8) == 0) {
      services.controlTexts[IDC_DATA_FLASH_NO] = below(3) == 0 ? "3716" : "0";
    }
    const bool choosesFile = button == IDC_AUX_FPGA || button == IDC_GENERATOR_DATA_FLASH ||
                             button == IDC_ANALYZER_DATA_FLASH || button == IDC_NAND_FLASH ||
                             button == IDC_UPDATE_IN1 || button == IDC_UPDATE_IN3;
    if (!choosesFile) return;
    switch (below(8)) {
      case 0:
        services.fileAnswers.push_back(std::nullopt);
        break;
      case 1:
        services.fileAnswers.push_back(workDir + "/empty.bin");
        break;
      case 2:
        services.fileAnswers.push_back(OversizedImage());
        break;
      case 3:
      case 4:
        services.fileAnswers.push_back(workDir + "/chosen-b.bin");
        break;
      default:
        services.fileAnswers.push_back(workDir + "/chosen-a.bin");
        break;
    }
  }
  // Larger than 65536 blocks: refused, whatever runs meanwhile. Made once, when first chosen.
  std::string OversizedImage() {
    const std::string path = workDir + "/oversized.bin";
    if (!std::filesystem::exists(path)) WriteFile(path, PatternImage(kMaxUploadBytes + 1, 7));
    return path;
  }

  void CheckPauses() {
    for (unsigned ms : services.pauses) {
      if (ms > kLongestWrittenPauseMs && failure.empty()) {
        failure = "the window's thread was blocked for " + std::to_string(ms) + " ms";
      }
    }
  }

  // Settled: whatever still runs has a timer or an open port that can end it, and the window
  // shows the port open only when it is.
  void CheckSettled() {
    if (!failure.empty()) return;
    const bool running = dialog.m_bSearching || dialog.uploadFlight().blocks ||
                         dialog.m_bStm32Mode || dialog.m_bLoaderMode || dialog.m_bLoaderStreaming ||
                         dialog.mcuUpdate().running();
    bool timer = false;
    for (const auto& [id, running_timer] : services.timers) {
      if (id == kTimerSearchStep && dialog.m_bSearching == 0) continue;  // does nothing then
      timer = true;
    }
    if (running && !timer && !port.HoldsPort()) {
      failure = "an operation is left running with no timer and no port" + Flags();
    } else if (dialog.m_bPortOpen == 1 && !port.HoldsPort()) {
      failure = "the window shows the port open, but it is closed" + Flags();
    }
  }
  std::string Flags() const {
    std::string flags = " (";
    auto add = [&](const char* name, int value) {
      if (value) flags += std::string(name) + "=" + std::to_string(value) + " ";
    };
    add("searching", dialog.m_bSearching);
    add("upload", static_cast<int>(dialog.uploadFlight().blocks));
    add("stm32", dialog.m_bStm32Mode);
    add("stm32State", dialog.m_stm32State);
    add("mcuRunning", static_cast<int>(dialog.mcuUpdate().running()));
    add("loader", dialog.m_bLoaderMode);
    add("loaderState", dialog.m_loaderState);
    add("streaming", dialog.m_bLoaderStreaming);
    add("portShownOpen", dialog.m_bPortOpen);
    add("comOpen", port.HoldsPort() ? port.CurrentPort() : 0);
    add("fpga", dialog.m_bFpgaUpload);
    add("aux", dialog.m_bAuxFpgaUpload);
    add("nand", dialog.m_bNandUpload);
    add("dataFlash", dialog.m_bDataFlashUpload);
    add("imageSize", static_cast<int>(dialog.m_imageSize));
    add("deviceType", dialog.m_deviceType);
    for (const auto& [id, t] : services.timers) add("timer", id);
    return flags + ")";
  }

  enum class LineFault { kNone, kDrop, kCorrupt };

  std::string workDir;
  Decide below;
  VirtualClock clock;
  CheckingServices services;
  FakeSerialPort port;
  UpdaterDialog dialog;
  sim::InstrumentModel generator;
  sim::InstrumentModel analyzer;
  std::map<int, sim::InstrumentModel*> units;
  std::map<int, bool> silent;
  std::vector<sim::BlockAnswer> blockAnswers;
  int mcuRefusals = 0;
  LineFault lineFault = LineFault::kNone;
  std::vector<std::string> log;
  std::string failure;
};

OperatorSequence::OperatorSequence(const std::string& workDir, Decide below)
    : state_(std::make_unique<State>(workDir, std::move(below))) {}

OperatorSequence::~OperatorSequence() = default;

std::string OperatorSequence::Run(int maxSteps, const std::function<bool()>& finished) {
  State& s = *state_;
  g_bUploadFinished = 0;  // the upload flag is per process; each sequence starts afresh
  for (int step = 0; step < maxSteps && s.failure.empty(); ++step) {
    if (finished && finished()) break;
    s.Step();
    s.CheckPauses();
  }
  if (s.failure.empty()) {
    s.log.push_back("wait 60 s");
    s.clock.RunFor(kSettleMs);
    s.CheckPauses();
    s.CheckSettled();
  }
  return s.failure;
}

const std::vector<std::string>& OperatorSequence::log() const {
  return state_->log;
}

}  // namespace korvelt::testing
