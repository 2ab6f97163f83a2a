// A launcher that starts nothing and records what it was asked to start.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <unistd.h>

#include <vector>

#include "process.h"

namespace traytest {

class RecordingProcess final : public tray::IProcessLauncher {
 public:
  struct Call {
    QString program;
    QStringList args;
    QString workDir;
    QByteArray image;  // started from an open file: what that file held
  };
  bool StartDetached(const QString& program, const QStringList& args,
                     const QString& workDir = QString()) override {
    calls.push_back({program, args, workDir, {}});
    return result;
  }
  bool StartDetachedImage(int fd, const QString& name, const QStringList& args,
                          const QString& workDir = QString()) override {
    QByteArray image;
    char buf[4096];
    for (off_t at = 0;;) {
      ssize_t n = ::pread(fd, buf, sizeof buf, at);
      if (n <= 0) break;
      image.append(buf, n);
      at += n;
    }
    calls.push_back({name, args, workDir, image});
    return result;
  }
  std::vector<Call> calls;
  bool result = true;
};

}  // namespace traytest
