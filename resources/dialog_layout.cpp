#include "resources/dialog_layout.h"

#include <string>

namespace korvelt {

namespace {

using K = ControlKind;

// Dialog 102, in tab order. Hidden controls are never shown and disabled ones never enabled.
constexpr ControlTemplate kMainControls[] = {
    {.id = IDC_PORT_BUTTON,
     .kind = K::kPushButton,
     .text = "Turn on Port",
     .rect = {52, 7, 53, 14},
     .visible = true,
     .enabled = true},
    {.id = IDC_PORT_ICON,
     .kind = K::kIconStatic,
     .rect = {7, 10, 20, 20},
     .visible = true,
     .enabled = true,
     .imageResource = IDI_PORT_OFF},
    {.id = IDC_PORT_LIST,
     .kind = K::kDropDownCombo,
     .rect = {54, 23, 52, 83},
     .visible = true,
     .enabled = true},
    {.id = IDC_STATIC,
     .kind = K::kLabel,
     .text = "Comm:",
     .rect = {33, 27, 21, 8},
     .visible = true,
     .enabled = true},
    {.id = IDC_SEARCH_GENERATOR,
     .kind = K::kPushButton,
     .text = "Search Signal Generator",
     .rect = {7, 67, 103, 20},
     .visible = true,
     .enabled = true},
    {.id = IDC_STATUS,
     .kind = K::kLabel,
     .text = "Static",
     .rect = {13, 40, 87, 8},
     .visible = true,
     .enabled = true},
    {.id = IDC_UPDATE_GENERATOR_MCU,
     .kind = K::kMultiLineButton,
     .text = "To Update Generator MCU Firmware",
     .rect = {171, 27, 97, 25},
     .visible = true,
     .enabled = true},
    {.id = IDC_UPDATE_SUB_MCU,
     .kind = K::kMultiLineButton,
     .text = "To Update SUB MCU Firmware",
     .rect = {31, 219, 18, 25},
     .visible = false,
     .enabled = false},
    {.id = IDC_UPDATE_IN1,
     .kind = K::kMultiLineButton,
     .text = "To Update IN1 Firmware",
     .rect = {23, 224, 25, 17},
     .visible = false,
     .enabled = false},
    {.id = IDC_UPDATE_IN2,
     .kind = K::kMultiLineButton,
     .text = "To Update IN2 Firmware",
     .rect = {17, 224, 32, 17},
     .visible = false,
     .enabled = false},
    {.id = IDC_UPDATE_IN3,
     .kind = K::kMultiLineButton,
     .text = "To Update IN3 Firmware",
     .rect = {19, 224, 30, 19},
     .visible = false,
     .enabled = false},
    {.id = IDC_UPDATE_IN4,
     .kind = K::kMultiLineButton,
     .text = "To Update IN4 Firmware",
     .rect = {23, 221, 31, 21},
     .visible = false,
     .enabled = false},
    {.id = IDC_STATIC,
     .kind = K::kGroupBox,
     .text = "FPGA FLASH UPDATE",
     .rect = {13, 262, 125, 36},
     .visible = false,
     .enabled = true},
    {.id = IDC_GENERATOR_FPGA,
     .kind = K::kPushButton,
     .text = "Generator FPGA Firmware",
     .rect = {171, 64, 97, 25},
     .visible = true,
     .enabled = true},
    {.id = IDC_AUX_FPGA,
     .kind = K::kPushButton,
     .text = "AUX FPGA UPDATE",
     .rect = {70, 272, 66, 15},
     .visible = false,
     .enabled = false},
    {.id = IDC_PROGRESS,
     .kind = K::kEdit,
     .rect = {46, 135, 41, 15},
     .visible = true,
     .enabled = false,
     .readOnly = true},
    {.id = IDC_STATIC,
     .kind = K::kLabel,
     .text = "%",
     .rect = {88, 137, 8, 9},
     .visible = true,
     .enabled = true},
    {.id = IDC_SEARCH_ANALYZER,
     .kind = K::kPushButton,
     .text = "Search Signal Analyzer",
     .rect = {7, 177, 103, 20},
     .visible = true,
     .enabled = true},
    {.id = IDC_SEARCH_TYPE2,
     .kind = K::kPushButton,
     .text = "Search Type 2",
     .rect = {27, 226, 23, 15},
     .visible = false,
     .enabled = false},
    {.id = IDC_SEARCH_TYPE3,
     .kind = K::kPushButton,
     .text = "Search Type 3",
     .rect = {21, 225, 33, 12},
     .visible = false,
     .enabled = false},
    {.id = IDC_SEARCH_TYPE6,
     .kind = K::kPushButton,
     .text = "Search Type 6",
     .rect = {21, 228, 32, 16},
     .visible = false,
     .enabled = false},
    {.id = IDC_SEARCH_TYPE7,
     .kind = K::kPushButton,
     .text = "Search Type 7",
     .rect = {21, 222, 24, 14},
     .visible = false,
     .enabled = false},
    {.id = IDC_SEARCH_TYPE4,
     .kind = K::kPushButton,
     .text = "Search Type 4",
     .rect = {21, 220, 24, 15},
     .visible = false,
     .enabled = false},
    {.id = IDC_SEARCH_TYPE5,
     .kind = K::kPushButton,
     .text = "Search Type 5",
     .rect = {21, 228, 23, 15},
     .visible = false,
     .enabled = false},
    {.id = IDC_GENERATOR_DATA_FLASH,
     .kind = K::kPushButton,
     .text = "Generator Data Flash",
     .rect = {172, 101, 97, 25},
     .visible = true,
     .enabled = false},
    {.id = IDC_DATA_FLASH_NO,
     .kind = K::kEdit,
     .rect = {15, 209, 40, 14},
     .visible = false,
     .enabled = false},
    {.id = IDC_STATIC,
     .kind = K::kLabel,
     .text = "Data Flash No.",
     .rect = {13, 247, 56, 8},
     .visible = false,
     .enabled = true},
    {.id = IDC_SUB_MCU_LIST,
     .kind = K::kDropDownCombo,
     .rect = {23, 217, 20, 166},
     .visible = false,
     .enabled = false},
    {.id = IDC_NAND_FLASH,
     .kind = K::kPushButton,
     .text = "SG NAND FLASH",
     .rect = {41, 279, 60, 14},
     .visible = false,
     .enabled = false},
    {.id = IDC_WAIT,
     .kind = K::kLabel,
     .text = "Please wait....",
     .rect = {29, 162, 61, 8},
     .visible = true,
     .enabled = true},
    {.id = IDC_UPDATE_ANALYZER_MCU,
     .kind = K::kMultiLineButton,
     .text = "To Update Analyzer MCU Firmware",
     .rect = {165, 175, 97, 25},
     .visible = true,
     .enabled = true},
    {.id = IDC_ANALYZER_FPGA,
     .kind = K::kPushButton,
     .text = "Analyzer FPGA Firmware",
     .rect = {165, 215, 97, 25},
     .visible = true,
     .enabled = true},
    {.id = IDC_ANALYZER_DATA_FLASH,
     .kind = K::kPushButton,
     .text = "Analyzer Data Flash",
     .rect = {165, 254, 97, 25},
     .visible = true,
     .enabled = false},
    {.id = IDC_NOTE,
     .kind = K::kEdit,
     .rect = {7, 96, 109, 32},
     .visible = true,
     .enabled = false,
     .multiLine = true},
    {.id = IDC_STATIC,
     .kind = K::kCenteredGroupBox,
     .text = "To Update KORVELT Generator Firmware",
     .rect = {119, 7, 202, 142},
     .visible = true,
     .enabled = true},
    {.id = IDC_STATIC,
     .kind = K::kCenteredGroupBox,
     .text = "To Update KORVELT Analyzer Firmware",
     .rect = {119, 152, 202, 142},
     .visible = true,
     .enabled = true},
    {.id = IDC_STATIC,
     .kind = K::kBitmapStatic,
     .rect = {26, 209, 78, 54},
     .visible = true,
     .enabled = true,
     .imageResource = IDB_INSTRUMENT},
};

constexpr ControlTemplate kAboutControls[] = {
    {.id = IDC_STATIC,
     .kind = K::kIconStatic,
     .rect = {11, 17, 20, 20},
     .visible = true,
     .enabled = true,
     .imageResource = IDR_MAINFRAME},
    {.id = IDC_STATIC,
     .kind = K::kLabel,
     .text = "TIRAS CONSOLE Version 1.0",
     .rect = {40, 10, 119, 8},
     .visible = true,
     .enabled = true},
    // The field is 119 units wide and one line high: the text must fit on one line.
    {.id = IDC_STATIC,
     .kind = K::kLabel,
     .text = "KORVELT rack firmware updater",
     .rect = {40, 25, 119, 8},
     .visible = true,
     .enabled = true},
    {.id = 1,
     .kind = K::kDefaultButton,
     .text = "OK",
     .rect = {178, 7, 50, 14},
     .visible = true,
     .enabled = true},
};

constexpr DialogTemplate kMainDialog = {
    IDD_MAIN_DIALOG, kMainWindowTitle, "MS Sans Serif", 8, 337, 310, kMainControls};
constexpr DialogTemplate kAboutDialog = {
    IDD_ABOUTBOX, "About TIRAS CONSOLE", "MS Sans Serif", 8, 235, 55, kAboutControls};

constexpr std::string_view kSubMcuEntries[] = {
    "Keyboard",   "input1 MCU", "input2 MCU", "input3 MCU", "input4 MCU", "input5 MCU",
    "input6 MCU", "input7 MCU", "input8 MCU", "input9 MCU", "LAN MCU",
};

// "COM1".."COM99" and the empty last entry, built once at compile time.
struct PortNames {
  std::array<std::array<char, 6>, 100> storage{};
  std::array<std::string_view, 100> views{};
  constexpr PortNames() {
    for (int i = 0; i < 99; ++i) {
      int number = i + 1;
      auto& name = storage[static_cast<std::size_t>(i)];
      name[0] = 'C';
      name[1] = 'O';
      name[2] = 'M';
      std::size_t length = 3;
      if (number >= 10) name[length++] = static_cast<char>('0' + number / 10);
      name[length++] = static_cast<char>('0' + number % 10);
      views[static_cast<std::size_t>(i)] = std::string_view(name.data(), length);
    }
    views[99] = std::string_view();
  }
};

const PortNames& PortNamesTable() {
  static const PortNames table;
  return table;
}

}  // namespace

const DialogTemplate& MainDialogTemplate() {
  return kMainDialog;
}
const DialogTemplate& AboutDialogTemplate() {
  return kAboutDialog;
}

std::span<const std::string_view> PortListEntries() {
  return PortNamesTable().views;
}
std::span<const std::string_view> SubMcuListEntries() {
  return kSubMcuEntries;
}

std::string_view LoadResourceString(int id) {
  switch (id) {
    case IDS_ABOUTBOX:
      return "&About KOVRELT ISP...";
    case IDP_SOCKETS_INIT_FAILED:
      return "Windows sockets initialization failed.";
    default:
      return {};
  }
}

}  // namespace korvelt
