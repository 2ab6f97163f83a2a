// Starting other programs: the tray program starts its downloaded installer (and later
// tools such as nmcli) through this interface, so tests record the calls instead.
#pragma once

#include <QString>
#include <QStringList>

namespace tray {

class IProcessLauncher {
 public:
  virtual ~IProcessLauncher() = default;
  // Starts program with args, detached from this process (it outlives it); false when it
  // could not be started. workDir "" keeps the current folder.
  virtual bool StartDetached(const QString& program, const QStringList& args,
                             const QString& workDir = QString()) = 0;
  // Starts the program held by the open file fd, detached, as name with args: what runs
  // is that file, whatever lies at its path by then. fd stays the caller's. A launcher
  // that cannot refuses (false).
  virtual bool StartDetachedImage(int fd, const QString& name, const QStringList& args,
                                  const QString& workDir = QString());
};

// QProcess::startDetached; an open file through fexecve in a grandchild of its own session.
class QtProcessLauncher final : public IProcessLauncher {
 public:
  bool StartDetached(const QString& program, const QStringList& args,
                     const QString& workDir = QString()) override;
  bool StartDetachedImage(int fd, const QString& name, const QStringList& args,
                          const QString& workDir = QString()) override;
};

}  // namespace tray
