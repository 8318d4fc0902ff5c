#include "app/updater_app.h"

#include "resources/dialog_layout.h"

namespace korvelt {

bool UpdaterApp::InitInstance(AppPlatform& platform) {
  if (!platform.InitializeSockets()) {
    platform.ShowAppMessageBox(std::string(LoadResourceString(IDP_SOCKETS_INIT_FAILED)));
    return false;
  }
  platform.RunMainDialog();  // how it ended is not looked at
  return false;
}

}  // namespace korvelt
