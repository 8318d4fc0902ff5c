// The shared application-data folder (normally C:\ProgramData), which every user can read
// and only administrators can change.
#include <shlobj.h>
#include <windows.h>

#include "release/station_folder.h"

namespace korvelt::release {

std::filesystem::path StationFolder() {
  PWSTR folder = nullptr;
  std::filesystem::path base = L"C:\\ProgramData";
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder))) {
    base = folder;
  }
  ::CoTaskMemFree(folder);
  return base / L"korvelt-updater";
}

}  // namespace korvelt::release
