// The desktop's shell: web pages and folders open through the desktop's default handlers.
// A web address given as a path ("/faq.html") is a page of the configured web host.
#pragma once

#include "shell.h"

namespace tray {

class DesktopShell final : public IShellOpen {
 public:
  bool OpenUrl(const QString& url) override;
  bool OpenFolder(const QString& path) override;
  bool OpenFile(const QString& path) override;
};

}  // namespace tray
