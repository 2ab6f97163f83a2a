// A desktop that takes no folder icons.
#pragma once

#include <QString>

#include "shell_folder.h"

namespace traytest {

struct NoShellFolder final : tray::IShellIntegration {
  void Setup(const QString&, int, const QString&) override {}
  void Forget(const QString&) override {}
};

}  // namespace traytest
