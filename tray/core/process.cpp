#include "process.h"

#include <QProcess>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace tray {

bool IProcessLauncher::StartDetachedImage(int, const QString& name, const QStringList&, const QString&) {
  qWarning("cannot start %s from an open file with this launcher", qPrintable(name));
  return false;
}

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

bool QtProcessLauncher::StartDetachedImage(int fd, const QString& name, const QStringList& args,
                                           const QString& workDir) {
  // Everything the children need is made before the fork: between fork and exec only
  // async-signal-safe calls run.
  std::vector<std::string> words{name.toStdString()};
  for (const QString& a : args) words.push_back(a.toStdString());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::string dir = workDir.toStdString();
  int report[2];  // the grandchild's errno when it could not exec; closed by a good exec
  if (::pipe2(report, O_CLOEXEC) != 0) {
    qWarning("cannot start %s: %s", qPrintable(name), std::strerror(errno));
    return false;
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::close(report[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    int err = 0;
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) {
      err = errno;
    } else {
      // A script's interpreter opens the file again as /dev/fd/N: it must stay open.
      int flags = ::fcntl(fd, F_GETFD);
      if (flags >= 0) ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
      ::fexecve(fd, argv.data(), environ);
      err = errno;
    }
    ssize_t ignored = ::write(report[1], &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  int err = child < 0 ? errno : 0;
  if (child > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) err = EAGAIN;  // no grandchild
    ssize_t n;
    while ((n = ::read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    if (n > 0 && err == 0) err = EIO;
  }
  ::close(report[0]);
  if (err != 0) {
    qWarning("cannot start %s: %s", qPrintable(name), std::strerror(err));
    return false;
  }
  qInfo("started %s from its checked open file", qPrintable(name));
  return true;
}

}  // namespace tray
