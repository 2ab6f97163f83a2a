// The set-up the settings-dialog tests share: the shipped language files in English, and
// the dialog's options with the test's fakes, no service manager and no update check.
#pragma once

#include <QString>

#include "setting_dlg.h"

namespace traytest {

// The test's QApplication, the pictures, and the language files in binDir with the
// system's locale English.
void UseShippedLanguages(const QString& binDir);

// Undoes UseShippedLanguages' language folder and locale.
void ForgetLanguages();

void FillDialogOptions(tray::SettingDlgOptions& options, tray::IUIData* service, tray::IShellOpen* shell,
                       tray::ITrayBackend* tray, tray::IAutostart* autostart,
                       tray::IShellIntegration* shellFolder);

}  // namespace traytest
