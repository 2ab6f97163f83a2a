// What the tray program asks of the desktop's shell: open a web page in the browser, a
// folder in the file manager, a file in the program for its type. The desktop's own
// (ui/desktop_shell.h) and a recording fake for tests (testsupport/recording_shell.h)
// implement it; ui/reporting_shell.h tells the user when one fails.
#pragma once

#include <QString>

namespace tray {

class IShellOpen {
 public:
  virtual ~IShellOpen() = default;
  virtual bool OpenUrl(const QString& url) = 0;
  virtual bool OpenFolder(const QString& path) = 0;
  virtual bool OpenFile(const QString& path) = 0;
};

}  // namespace tray
