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
#include "tests/support/hex_digits.h"
#include "tests/support/temp_workdir.h"
#include "tests/support/virtual_clock.h"
#include "update/block_upload.h"
#include "update/image_file.h"
#include "update/mcu_image.h"
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

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Intel HEX of `image` from the flash base, 16 bytes a record.
Bytes HexFile(const Bytes& image) {
  std::string text = HexRecordLine(0x04, 0, {0x08, 0x00});
  for (std::size_t at = 0; at < image.size(); at += 16) {
    const auto from = image.begin() + static_cast<long>(at);
    text += HexRecordLine(
        0x00, static_cast<uint16_t>(at),
        Bytes(from, from + static_cast<long>(std::min<std::size_t>(16, image.size() - at))));
  }
  text += HexRecordLine(0x01, 0, {});
  return Bytes(text.begin(), text.end());
}

// What the success claims are compared with: the file the operator chose for the operation.
constexpr int kMcuChoice = 0x100;
constexpr int kBoardChoice = 0x101;

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
    if (onResult) onResult(result);
  }
  std::function<void(const OperationResult&)> onResult;
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
    WriteFile(workDir + "/good.hex", HexFile(PatternImage(1100, 8)));
    WriteFile(workDir + "/broken.hex", {':', '1', '0', 'Z', '\n'});
    services.onResult = [this](const OperationResult& result) {
      if (result.failed()) refusedDuringPress = true;
      // A finished update closes its port by itself; the operator's next move may keep it.
      if (result.event == OperationEvent::kUploadFinished ||
          result.event == OperationEvent::kInputBoardFinished ||
          result.event == OperationEvent::kMcuUpdateSucceeded) {
        expectClosed = true;
      }
    };
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
      // An MCU update's bar reaches 100 when its blocks are written, before the read-back.
      if (dialog.m_strNote.find("MCU firmware") != std::string::npos) claim = Claim::kMcu;
      if (dialog.m_bLoaderMode == 1 || dialog.m_bLoaderStreaming == 1) claim = Claim::kNone;
      if (dialog.mcuUpdate().running() && claim != Claim::kMcu) claim = Claim::kNone;
    }
    if (claim == Claim::kNone) return;
    auto it = units.find(port.CurrentPort());
    if (it == units.end()) {
      failure = what + " with no unit behind the port";
      return;
    }
    sim::InstrumentModel& unit = *it->second;
    const uint8_t uploadKind = dialog.m_bFpgaUpload      ? kKindFpga
                               : dialog.m_bAuxFpgaUpload ? kKindAuxFpga
                               : dialog.m_bNandUpload    ? kKindNand
                                                         : kKindDataFlash;
    const int choice = claim == Claim::kMcu     ? kMcuChoice
                       : claim == Claim::kBoard ? kBoardChoice
                                                : uploadKind;
    // Not the window's buffer, which a fault could have replaced: the file chosen for this.
    auto chosenFile = chosen.find(choice);
    if (chosenFile == chosen.end()) {
      failure = what + " for an operation nobody started" + Flags();
      return;
    }
    const Bytes& image = chosenFile->second;
    bool held = false;
    if (claim == Claim::kMcu) {
      const Bytes& flash = unit.mcu().flash();
      const Bytes want = Padded(image, kStm32BlockBytes, 0xFF);
      held = !image.empty() && flash.size() >= want.size() &&
             std::equal(want.begin(), want.end(), flash.begin());
    } else if (claim == Claim::kBoard) {
      held = unit.inputBoard().boardImage() == image;
    } else {
      auto upload = unit.uploads().find(uploadKind);
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
      log.push_back(std::string(twice ? "double press " : "press ") + button.name + choiceNote);
      Press(button.id);
      if (twice) {
        PrepareChoices(button.id);
        Press(button.id);
      }
    } else if (what < 46) {
      const int index = static_cast<int>(below(3));
      log.push_back("choose COM" + std::to_string(index + 1) + " in the list");
      services.comboSelections[IDC_PORT_LIST] = index;
      dialog.SelectionMade(IDC_PORT_LIST);
      expectClosed = false;  // the operator wants this port open
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

  // A press; what it chose counts as the operation's image only if nothing refused it, and a
  // refused MCU press leaves the MCU options as they were.
  void Press(int button) {
    refusedDuringPress = false;
    dialog.Click(button);
    if (refusedDuringPress) {
      dialog.mcuUpdate().Configure(mcuOptions);
      return;
    }
    if (pendingChoice >= 0 && pendingImage) chosen[pendingChoice] = *pendingImage;
    if (pendingChoice == kMcuChoice) mcuOptions = dialog.mcuUpdate().options();
    expectClosed = false;
  }

  // Answers for the file dialog and the hidden fields a press may read, the MCU's options, and
  // the image the press is meant to send.
  void PrepareChoices(int button) {
    choiceNote.clear();
    pendingChoice = -1;
    pendingImage.reset();
    services.fileAnswers.clear();  // a refused press leaves its answer unused
    if (below(4) == 0) services.comboSelections[IDC_SUB_MCU_LIST] = static_cast<int>(below(12));
    if (below(8) == 0) {
      services.controlTexts[IDC_DATA_FLASH_NO] = below(3) == 0 ? "3716" : "0";
    }
    switch (button) {
      case IDC_GENERATOR_FPGA:
      case IDC_ANALYZER_FPGA:
        pendingChoice = kKindFpga;
        pendingImage =
            ReadFile(workDir + (button == IDC_GENERATOR_FPGA ? "/data/GENERATOR_FPGA.bin"
                                                             : "/data/ANALYZER_FPGA.bin"));
        return;
      case IDC_UPDATE_GENERATOR_MCU:
      case IDC_UPDATE_ANALYZER_MCU:
        PrepareMcu(button);
        return;
      case IDC_AUX_FPGA:
        pendingChoice = kKindAuxFpga;
        break;
      case IDC_GENERATOR_DATA_FLASH:
      case IDC_ANALYZER_DATA_FLASH:
        pendingChoice = kKindDataFlash;
        break;
      case IDC_NAND_FLASH:
        pendingChoice = kKindNand;
        break;
      case IDC_UPDATE_IN1:
      case IDC_UPDATE_IN3:
        pendingChoice = kBoardChoice;
        break;
      default:
        return;
    }
    std::string file;
    switch (below(8)) {
      case 0:
        services.fileAnswers.push_back(std::nullopt);
        choiceNote = " (cancelled)";
        return;
      case 1:
        file = workDir + "/empty.bin";
        break;
      case 2:
        file = OversizedImage();
        break;
      case 3:
      case 4:
        file = workDir + "/chosen-b.bin";
        break;
      default:
        file = workDir + "/chosen-a.bin";
        break;
    }
    services.fileAnswers.push_back(file);
    choiceNote = " (" + std::filesystem::path(file).filename().string() + ")";
    // The oversized file is sparse: zeros, refused for blocks, taken by a board.
    pendingImage = file == OversizedImage() ? Bytes(kMaxUploadBytes + 1, 0) : ReadFile(file);
  }
  // The fixed image, an empty or broken file, or a HEX file; in either pacing.
  void PrepareMcu(int button) {
    pendingChoice = kMcuChoice;
    McuUpdateOptions options;
    options.pacing = below(2) ? Stm32Pacing::kAcknowledged : Stm32Pacing::kWritten;
    // korvelt-cli's default reads the flash back; the written pacing may or may not.
    options.verify = options.pacing == Stm32Pacing::kAcknowledged || below(2) == 1;
    const char* files[] = {"", "", "/empty.bin", "/broken.hex", "/good.hex", "/good.hex"};
    const std::string file = files[below(std::size(files))];
    if (!file.empty()) options.imageFile = workDir + file;
    dialog.mcuUpdate().Configure(options);
    choiceNote = std::string(" (") + (file.empty() ? "fixed image" : file.substr(1)) + ", " +
                 (options.pacing == Stm32Pacing::kAcknowledged ? "acknowledged" : "written") +
                 (options.verify ? ", read back)" : ")");
    const std::string path = file.empty() ? workDir + (button == IDC_UPDATE_GENERATOR_MCU
                                                           ? "/data/GENERATOR_MCU(rack).bin"
                                                           : "/data/ANALYZER_MCU(rack).bin")
                                          : workDir + file;
    McuImageParse parsed = ParseMcuImage(ReadFile(path), path);
    if (parsed.ok) pendingImage = parsed.image.flat;
  }
  // Larger than 65536 blocks: refused from its size for a block upload, whatever runs
  // meanwhile. Made once.
  std::string OversizedImage() {
    const std::string path = workDir + "/oversized.bin";
    if (!std::filesystem::exists(path)) {
      WriteFile(path, {});
      std::filesystem::resize_file(path, kMaxUploadBytes + 1);
    }
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
    } else if (!running && expectClosed && port.HoldsPort()) {
      failure = "an update finished, and its port is left open for good" + Flags();
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
  // The operator's choices: per operation the image last chosen by a press nothing refused.
  std::map<int, Bytes> chosen;
  int pendingChoice = -1;
  std::optional<Bytes> pendingImage;
  std::string choiceNote;
  McuUpdateOptions mcuOptions;
  bool refusedDuringPress = false;
  bool expectClosed = false;  // an update finished; nothing the operator did since keeps it open
};

OperatorSequence::OperatorSequence(const std::string& workDir, Decide below)
    : state_(std::make_unique<State>(workDir, std::move(below))) {}

OperatorSequence::~OperatorSequence() = default;

std::string OperatorSequence::Run(int maxSteps, const std::function<bool()>& finished) {
  State& s = *state_;
  g_bUploadFinished = 0;  // the upload flag is per process; each sequence starts afresh
  // The dialog's own mode, or korvelt-cli's acknowledged mode with its resends.
  const bool resend = s.below(2) == 1;
  s.log.push_back(resend ? "the command line's acknowledged mode" : "the dialog's mode");
  s.dialog.Configure({.allowPlaceholderLoader = true, .resendBlocks = resend});
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
