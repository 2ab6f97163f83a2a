// A desktop that takes no folder icons, and records the folders it was asked to set up
// and to forget.
#pragma once

#include <QString>
#include <QStringList>

#include "shell_folder.h"

namespace traytest {

struct NoShellFolder final : tray::IShellIntegration {
  QStringList setups, forgotten;
  void Setup(const QString& folder, int, const QString&) override { setups << folder; }
  void Forget(const QString& folder) override { forgotten << folder; }
};

}  // namespace traytest
