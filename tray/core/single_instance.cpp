#include "single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

namespace tray {

QString SingleInstanceFolder() {
  QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty()) return runtime;
  return QDir::tempPath() + QStringLiteral("/tirvan-%1").arg(getuid());
}

SingleInstance::SingleInstance(const QString& folder) {
  QString dir = folder.isEmpty() ? SingleInstanceFolder() : folder;
  QByteArray dirBytes = QFile::encodeName(dir);
  // A folder of our own in /tmp is made private, so no other user can hold the lock.
  if (::mkdir(dirBytes.constData(), 0700) != 0 && errno != EEXIST) {
    m_error = QStringLiteral("cannot make %1: %2").arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
    return;
  }
  m_path = dir + QLatin1Char('/') + QLatin1String(kSingleInstanceName) + QStringLiteral(".lock");
  m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (m_fd < 0) {
    m_error = QStringLiteral("cannot open %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
    return;
  }
  if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
    m_outcome = Outcome::kFirst;
    return;
  }
  if (errno == EWOULDBLOCK) {
    m_outcome = Outcome::kAnotherRuns;
  } else {
    m_error = QStringLiteral("cannot lock %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
  }
  ::close(m_fd);
  m_fd = -1;
}

SingleInstance::~SingleInstance() {
  if (m_fd >= 0) ::close(m_fd);
}

}  // namespace tray
