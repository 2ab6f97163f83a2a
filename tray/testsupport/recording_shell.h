// A shell that opens nothing and records what it was asked to open.
#pragma once

#include <QString>
#include <QStringList>

#include "shell.h"

namespace traytest {

class RecordingShell final : public tray::IShellOpen {
 public:
  bool OpenUrl(const QString& url) override;
  bool OpenFolder(const QString& path) override;
  bool OpenFile(const QString& path) override;

  QStringList urls;
  QStringList folders;
  QStringList files;
  bool result = true;      // what OpenUrl and OpenFolder answer
  bool fileResult = true;  // what OpenFile answers
};

}  // namespace traytest
