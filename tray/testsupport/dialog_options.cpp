#include "dialog_options.h"

#include <memory>

#include "languages.h"
#include "pictures.h"
#include "qt_app.h"

namespace traytest {

void UseShippedLanguages(const QString& binDir) {
  TestApp();
  tray::InitPictures();
  tray::SetLanguageFolder(binDir);
  tray::SetSystemLocaleOverride("en_US.UTF-8");
}

void ForgetLanguages() {
  tray::SetSystemLocaleOverride(std::nullopt);
  tray::SetLanguageFolder(QString());
}

void FillDialogOptions(tray::SettingDlgOptions& options, tray::IUIData* service, tray::IShellOpen* shell,
                       tray::ITrayBackend* tray, tray::IAutostart* autostart,
                       tray::IShellIntegration* shellFolder) {
  options.service = service;
  options.shell = shell;
  options.tray = tray;
  options.autostart = autostart;
  options.shellFolder = shellFolder;
  options.serviceManager = [] { return std::unique_ptr<platform::ServiceManager>(); };
  options.checkForUpdates = false;
}

}  // namespace traytest
