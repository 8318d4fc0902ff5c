#include "resources/dialog_layout.h"

#include <string>

namespace korvelt {

namespace {

using K = ControlKind;

// Dialog 102, in tab order. Hidden controls are never shown and disabled ones never enabled.
constexpr ControlTemplate kMainControls[] = {
    {IDC_PORT_BUTTON, K::kPushButton, "Turn on Port", {52, 7, 53, 14}, true, true},
    {IDC_PORT_ICON, K::kIconStatic, "", {7, 10, 20, 20}, true, true, false, false, IDI_PORT_OFF},
    {IDC_PORT_LIST, K::kDropDownCombo, "", {54, 23, 52, 83}, true, true},
    {IDC_STATIC, K::kLabel, "Comm:", {33, 27, 21, 8}, true, true},
    {IDC_SEARCH_GENERATOR, K::kPushButton, "Search Signal Generator", {7, 67, 103, 20}, true, true},
    {IDC_STATUS, K::kLabel, "Static", {13, 40, 87, 8}, true, true},
    {IDC_UPDATE_GENERATOR_MCU,
     K::kMultiLineButton,
     "To Update Generator MCU Firmware",
     {171, 27, 97, 25},
     true,
     true},
    {IDC_UPDATE_SUB_MCU,
     K::kMultiLineButton,
     "To Update SUB MCU Firmware",
     {31, 219, 18, 25},
     false,
     false},
    {IDC_UPDATE_IN1,
     K::kMultiLineButton,
     "To Update IN1 Firmware",
     {23, 224, 25, 17},
     false,
     false},
    {IDC_UPDATE_IN2,
     K::kMultiLineButton,
     "To Update IN2 Firmware",
     {17, 224, 32, 17},
     false,
     false},
    {IDC_UPDATE_IN3,
     K::kMultiLineButton,
     "To Update IN3 Firmware",
     {19, 224, 30, 19},
     false,
     false},
    {IDC_UPDATE_IN4,
     K::kMultiLineButton,
     "To Update IN4 Firmware",
     {23, 221, 31, 21},
     false,
     false},
    {IDC_STATIC, K::kGroupBox, "FPGA FLASH UPDATE", {13, 262, 125, 36}, false, true},
    {IDC_GENERATOR_FPGA, K::kPushButton, "Generator FPGA Firmware", {171, 64, 97, 25}, true, true},
    {IDC_AUX_FPGA, K::kPushButton, "AUX FPGA UPDATE", {70, 272, 66, 15}, false, false},
    {IDC_PROGRESS, K::kEdit, "", {46, 135, 41, 15}, true, false, true, false},
    {IDC_STATIC, K::kLabel, "%", {88, 137, 8, 9}, true, true},
    {IDC_SEARCH_ANALYZER, K::kPushButton, "Search Signal Analyzer", {7, 177, 103, 20}, true, true},
    {IDC_SEARCH_TYPE2, K::kPushButton, "Search Type 2", {27, 226, 23, 15}, false, false},
    {IDC_SEARCH_TYPE3, K::kPushButton, "Search Type 3", {21, 225, 33, 12}, false, false},
    {IDC_SEARCH_TYPE6, K::kPushButton, "Search Type 6", {21, 228, 32, 16}, false, false},
    {IDC_SEARCH_TYPE7, K::kPushButton, "Search Type 7", {21, 222, 24, 14}, false, false},
    {IDC_SEARCH_TYPE4, K::kPushButton, "Search Type 4", {21, 220, 24, 15}, false, false},
    {IDC_SEARCH_TYPE5, K::kPushButton, "Search Type 5", {21, 228, 23, 15}, false, false},
    {IDC_GENERATOR_DATA_FLASH,
     K::kPushButton,
     "Generator Data Flash",
     {172, 101, 97, 25},
     true,
     false},
    {IDC_DATA_FLASH_NO, K::kEdit, "", {15, 209, 40, 14}, false, false},
    {IDC_STATIC, K::kLabel, "Data Flash No.", {13, 247, 56, 8}, false, true},
    {IDC_SUB_MCU_LIST, K::kDropDownCombo, "", {23, 217, 20, 166}, false, false},
    {IDC_NAND_FLASH, K::kPushButton, "SG NAND FLASH", {41, 279, 60, 14}, false, false},
    {IDC_WAIT, K::kLabel, "Please wait....", {29, 162, 61, 8}, true, true},
    {IDC_UPDATE_ANALYZER_MCU,
     K::kMultiLineButton,
     "To Update Analyzer MCU Firmware",
     {165, 175, 97, 25},
     true,
     true},
    {IDC_ANALYZER_FPGA, K::kPushButton, "Analyzer FPGA Firmware", {165, 215, 97, 25}, true, true},
    {IDC_ANALYZER_DATA_FLASH,
     K::kPushButton,
     "Analyzer Data Flash",
     {165, 254, 97, 25},
     true,
     false},
    {IDC_NOTE, K::kEdit, "", {7, 96, 109, 32}, true, false, false, true},
    {IDC_STATIC,
     K::kCenteredGroupBox,
     "To Update KORVELT Generator Firmware",
     {119, 7, 202, 142},
     true,
     true},
    {IDC_STATIC,
     K::kCenteredGroupBox,
     "To Update KORVELT Analyzer Firmware",
     {119, 152, 202, 142},
     true,
     true},
    {IDC_STATIC, K::kBitmapStatic, "", {26, 209, 78, 54}, true, true, false, false, IDB_INSTRUMENT},
};

constexpr ControlTemplate kAboutControls[] = {
    {IDC_STATIC, K::kIconStatic, "", {11, 17, 20, 20}, true, true, false, false, IDR_MAINFRAME},
    {IDC_STATIC, K::kLabel, "TIRAS CONSOLE Version 1.0", {40, 10, 119, 8}, true, true},
    // The field is 119 units wide and one line high: the text must fit on one line.
    {IDC_STATIC, K::kLabel, "KORVELT rack firmware updater", {40, 25, 119, 8}, true, true},
    {1, K::kDefaultButton, "OK", {178, 7, 50, 14}, true, true},
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
