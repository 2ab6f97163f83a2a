// A launcher that starts nothing and records what it was asked to start.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

#include "process.h"

namespace traytest {

class RecordingProcess final : public tray::IProcessLauncher {
 public:
  struct Call {
    QString program;
    QStringList args;
    QString workDir;
  };
  bool StartDetached(const QString& program, const QStringList& args,
                     const QString& workDir = QString()) override {
    calls.push_back({program, args, workDir});
    return result;
  }
  std::vector<Call> calls;
  bool result = true;
};

}  // namespace traytest
