#include "process.h"

#include <QProcess>

namespace tray {

bool QtProcessLauncher::StartDetached(const QString& program, const QStringList& args,
                                      const QString& workDir) {
  qint64 pid = 0;
  bool ok = QProcess::startDetached(program, args, workDir, &pid);
  if (ok) {
    qInfo("started %s (pid %lld)", qPrintable(program), static_cast<long long>(pid));
  } else {
    qWarning("cannot start %s", qPrintable(program));
  }
  return ok;
}

}  // namespace tray
