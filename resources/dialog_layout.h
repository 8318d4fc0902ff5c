#pragma once

#include <array>
#include <span>
#include <string_view>

namespace korvelt {

// Control ids of the main window (dialog 102).
enum ControlId : int {
  IDC_PORT_BUTTON = 1006,
  IDC_PORT_ICON = 1007,
  IDC_PORT_LIST = 1106,
  IDC_SEARCH_GENERATOR = 1107,
  IDC_STATUS = 1108,
  IDC_SEARCH_ANALYZER = 1109,
  IDC_SEARCH_TYPE2 = 1110,
  IDC_SEARCH_TYPE3 = 1111,
  IDC_SEARCH_TYPE6 = 1112,
  IDC_SEARCH_TYPE7 = 1113,
  IDC_SEARCH_TYPE4 = 1114,
  IDC_SEARCH_TYPE5 = 1115,
  IDC_UPDATE_GENERATOR_MCU = 1118,
  IDC_UPDATE_SUB_MCU = 1119,
  IDC_UPDATE_IN1 = 1120,
  IDC_UPDATE_IN2 = 1121,
  IDC_UPDATE_IN3 = 1122,
  IDC_UPDATE_IN4 = 1123,
  IDC_UPDATE_ANALYZER_MCU = 1124,
  IDC_GENERATOR_DATA_FLASH = 1144,
  IDC_ANALYZER_DATA_FLASH = 1145,
  IDC_DATA_FLASH_NO = 1167,
  IDC_NOTE = 1168,
  IDC_SUB_MCU_LIST = 1180,
  IDC_NAND_FLASH = 1181,
  IDC_WAIT = 1183,
  IDC_GENERATOR_FPGA = 1187,
  IDC_AUX_FPGA = 1188,
  IDC_ANALYZER_FPGA = 1189,
  IDC_PROGRESS = 1190,
  IDC_STATIC = -1,  // labels, group boxes and the picture have no id
};

enum ResourceId : int {
  IDD_ABOUTBOX = 100,
  IDS_ABOUTBOX = 101,
  IDD_MAIN_DIALOG = 102,
  IDP_SOCKETS_INIT_FAILED = 103,
  IDR_MAINFRAME = 128,   // application icon
  IDI_PORT_OFF = 133,    // unlit lamp outline
  IDI_PORT_ON = 134,     // lit red lamp
  IDB_INSTRUMENT = 210,  // 114 x 84 picture of the rack instrument
};

enum class ControlKind {
  kPushButton,
  kMultiLineButton,
  kDefaultButton,
  kIconStatic,
  kBitmapStatic,
  kLabel,
  kGroupBox,
  kCenteredGroupBox,
  kDropDownCombo,
  kEdit,  // see the flags below
};

struct DialogRect {
  int x, y, width, height;  // dialog units
};

struct ControlTemplate {
  int id;
  ControlKind kind;
  std::string_view text;
  DialogRect rect;
  bool visible;
  bool enabled;
  bool readOnly = false;
  bool multiLine = false;
  int imageResource = 0;  // icon or bitmap shown by an image static
};

struct DialogTemplate {
  int id;
  std::string_view title;
  std::string_view fontName;
  int fontPoints;
  int width, height;                          // dialog units
  std::span<const ControlTemplate> controls;  // in tab order
};

const DialogTemplate& MainDialogTemplate();
const DialogTemplate& AboutDialogTemplate();

// The lists filled from the dialog's initialisation data when the window is created.
std::span<const std::string_view> PortListEntries();    // "COM1".."COM99", then ""
std::span<const std::string_view> SubMcuListEntries();  // 11 entries

// The string table.
std::string_view LoadResourceString(int id);  // "" for an id with no string

inline constexpr std::string_view kMainWindowTitle = "KORVELT (RACK version) FIRMWARE UPDATER 1.0";
inline constexpr std::string_view kApplicationName = "korvelt-updater";

}  // namespace korvelt
