#include "frontends/win32/resource_script.h"

#include <cstdio>
#include <span>
#include <string_view>

#include "resources/dialog_layout.h"

namespace korvelt::win32 {

namespace {

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';  // a quote inside a resource string is written twice
    out += c;
  }
  return out + "\"";
}

std::string Rect(const DialogRect& r) {
  char text[64];
  std::snprintf(text, sizeof text, "%d, %d, %d, %d", r.x, r.y, r.width, r.height);
  return text;
}

// The style words a control adds to its statement's defaults.
std::string ExtraStyles(const ControlTemplate& control, std::string styles) {
  auto add = [&](std::string_view word) {
    if (!styles.empty()) styles += " | ";
    styles += word;
  };
  if (!control.visible) add("NOT WS_VISIBLE");
  if (!control.enabled) add("WS_DISABLED");
  return styles;
}

std::string ControlStatement(const ControlTemplate& c) {
  const std::string id = std::to_string(c.id);
  const std::string place = Rect(c.rect);
  // "KEYWORD "text", id, x, y, w, h" for the statements that carry a text.
  auto texted = [&](std::string_view keyword) {
    return std::string(keyword) + " " + Quoted(c.text) + ", " + id + ", " + place;
  };
  std::string head, styles;
  switch (c.kind) {
    case ControlKind::kPushButton:
    case ControlKind::kMultiLineButton:
      head = texted("PUSHBUTTON");
      if (c.kind == ControlKind::kMultiLineButton) styles = "BS_MULTILINE";
      break;
    case ControlKind::kDefaultButton:
      head = texted("DEFPUSHBUTTON");
      break;
    case ControlKind::kIconStatic:
      head = "ICON " + std::to_string(c.imageResource) + ", " + id + ", " + place;
      break;
    case ControlKind::kBitmapStatic:
      head = "CONTROL " + std::to_string(c.imageResource) + ", " + id + ", \"Static\", " +
             ExtraStyles(c, "SS_BITMAP") + ", " + place;
      return "    " + head + "\n";
    case ControlKind::kLabel:
      head = texted("LTEXT");
      break;
    case ControlKind::kGroupBox:
    case ControlKind::kCenteredGroupBox:
      head = texted("GROUPBOX");
      if (c.kind == ControlKind::kCenteredGroupBox) styles = "BS_CENTER";
      break;
    case ControlKind::kDropDownCombo:
      head = "COMBOBOX " + id + ", " + place;
      styles = "CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP";
      break;
    case ControlKind::kEdit:
      head = "EDITTEXT " + id + ", " + place;
      styles = c.multiLine ? "ES_MULTILINE | ES_AUTOVSCROLL" : "ES_AUTOHSCROLL";
      if (c.readOnly) styles += " | ES_READONLY";
      break;
  }
  styles = ExtraStyles(c, styles);
  return "    " + head + (styles.empty() ? "" : ", " + styles) + "\n";
}

std::string DialogBody(const DialogTemplate& dialog) {
  std::string out = "BEGIN\n";
  for (const ControlTemplate& control : dialog.controls) out += ControlStatement(control);
  return out + "END\n";
}

std::string FontLine(const DialogTemplate& dialog, bool extended) {
  return "FONT " + std::to_string(dialog.fontPoints) + ", " + Quoted(dialog.fontName) +
         (extended ? ", 0, 0, 0x1" : "") + "\n";
}

// One record per entry: control id, message, length, the text and its terminating zero.
std::string DialogInitRecords(int controlId, std::span<const std::string_view> entries) {
  std::string out;
  for (std::string_view entry : entries) {
    char head[64];
    std::snprintf(head, sizeof head, "    %d, 0x%04X, %zuL, ", controlId, kDialogInitAddString,
                  entry.size() + 1);
    out += head + Quoted(entry).insert(entry.size() + 1, "\\0") + ",\n";
  }
  return out;
}

}  // namespace

std::string WriteResourceScript() {
  const DialogTemplate& main = MainDialogTemplate();
  const DialogTemplate& about = AboutDialogTemplate();
  const std::string mainId = std::to_string(main.id);
  std::string rc;
  rc += "// The updater's resources, written by korvelt-rcgen from resources/dialog_layout.cpp.\n";
  rc += "// Do not edit: change the layout table and run 'make win32-rc'.\n";
  rc += "#include <windows.h>\n\n";
  rc += "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US\n\n";

  rc += std::to_string(IDR_MAINFRAME) + " ICON \"resources/images/icon_128_app.ico\"\n";
  rc += std::to_string(IDI_PORT_OFF) + " ICON \"resources/images/icon_133_port_off.ico\"\n";
  rc += std::to_string(IDI_PORT_ON) + " ICON \"resources/images/icon_134_port_on.ico\"\n";
  rc +=
      std::to_string(IDB_INSTRUMENT) + " BITMAP \"resources/images/bitmap_210_instrument.bmp\"\n\n";

  rc += std::to_string(about.id) + " DIALOG 0, 0, " + std::to_string(about.width) + ", " +
        std::to_string(about.height) + "\n";
  rc += "STYLE DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU\n";
  rc += "CAPTION " + Quoted(about.title) + "\n";
  rc += FontLine(about, false);
  rc += DialogBody(about) + "\n";

  rc += mainId + " DIALOGEX 0, 0, " + std::to_string(main.width) + ", " +
        std::to_string(main.height) + "\n";
  rc += "STYLE DS_MODALFRAME | WS_MINIMIZEBOX | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU\n";
  rc += "EXSTYLE WS_EX_APPWINDOW\n";
  rc += "CAPTION " + Quoted(main.title) + "\n";
  rc += FontLine(main, true);
  rc += DialogBody(main) + "\n";

  rc += "// The lists the combo boxes are filled with when the dialog is created.\n";
  rc += mainId + " " + std::to_string(kDialogInitResourceType) + "\nBEGIN\n";
  rc += DialogInitRecords(IDC_PORT_LIST, PortListEntries());
  rc += DialogInitRecords(IDC_SUB_MCU_LIST, SubMcuListEntries());
  rc += "    0\nEND\n\n";

  rc += "STRINGTABLE\nBEGIN\n";
  for (int id : {IDS_ABOUTBOX, IDP_SOCKETS_INIT_FAILED}) {
    rc += "    " + std::to_string(id) + ", " + Quoted(LoadResourceString(id)) + "\n";
  }
  rc += "END\n\n";

  // The version resource is written at build time (cmake/WriteVersion.cmake): it carries
  // the version of the build, which a committed script cannot.
  return rc;
}

}  // namespace korvelt::win32
