#include "show_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

namespace tray {

namespace {

// The address of path; false when the path does not fit.
bool AddressOf(const QString& path, sockaddr_un& addr) {
  const QByteArray bytes = QFile::encodeName(path);
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (bytes.isEmpty() || static_cast<size_t>(bytes.size()) >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
  return true;
}

}  // namespace

QString ShowSocketPath() { return QDir::tempPath() + QStringLiteral("/tirvan-show-%1").arg(getuid()); }

bool AskToShow(const QString& path) {
  sockaddr_un addr{};
  if (!AddressOf(path, addr)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool asked = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
               ::send(fd, "show\n", 5, MSG_NOSIGNAL) == 5;
  ::close(fd);
  return asked;
}

ShowListener::ShowListener(QObject* parent) : QObject(parent) {}

ShowListener::~ShowListener() {
  if (m_fd < 0) return;
  ::close(m_fd);
  QFile::remove(m_path);
}

bool ShowListener::Listen(const QString& path) {
  sockaddr_un addr{};
  if (m_fd >= 0 || !AddressOf(path, addr)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  QFile::remove(path);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    qWarning("cannot listen at %s: %s", qUtf8Printable(path), std::strerror(errno));
    ::close(fd);
    return false;
  }
  m_fd = fd;
  m_path = path;
  m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, [this] { OnReadable(); });
  return true;
}

void ShowListener::OnReadable() {
  // Each copy that connected asks once; what it wrote is not needed.
  for (;;) {
    const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) break;
    ::close(client);
    emit showRequested();
  }
}

}  // namespace tray
