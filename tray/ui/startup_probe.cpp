#include "startup_probe.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QTimer>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace tray {

namespace {

// Milliseconds since this process started: the start time in /proc/self/stat (field 22,
// clock ticks since boot) against CLOCK_BOOTTIME. Ticks are coarse (10 ms as a rule).
double ElapsedSinceProcessStartMs() {
  QFile stat(QStringLiteral("/proc/self/stat"));
  if (!stat.open(QIODevice::ReadOnly)) return -1;
  const QByteArray line = stat.readAll();
  const int close = line.lastIndexOf(')');  // the command name may hold spaces
  if (close < 0) return -1;
  const QList<QByteArray> fields = line.mid(close + 2).split(' ');
  // After the name the fields start at number 3 (state); start time is field 22.
  if (fields.size() < 20) return -1;
  bool ok = false;
  const double ticks = fields[19].toDouble(&ok);
  if (!ok) return -1;
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  const double nowMs = now.tv_sec * 1e3 + now.tv_nsec / 1e6;
  return nowMs - ticks * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ElapsedSinceLaunchMs() {
  bool ok = false;
  const qint64 t0 = qEnvironmentVariable("TIRVAN_STARTUP_T0_NS").toLongLong(&ok);
  if (!ok) return -1;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<double>(now.tv_sec) * 1e9 + now.tv_nsec - static_cast<double>(t0)) / 1e6;
}

long ResidentKib() {
  // /proc files report no size, so read them whole rather than testing for their end.
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
  return -1;
}

}  // namespace

void ArmStartupProbe() {
  if (qEnvironmentVariableIsEmpty("TIRVAN_STARTUP_PROBE")) return;
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (dispatcher == nullptr) return;
  const int lateMs = qEnvironmentVariableIntValue("TIRVAN_STARTUP_PROBE_LATE_MS");
  // The first time the loop has nothing left to do and is about to wait.
  auto fired = std::make_shared<bool>(false);
  QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [fired, lateMs] {
    if (*fired) return;
    *fired = true;
    const double elapsed = ElapsedSinceProcessStartMs();
    std::printf("startup_probe elapsed_ms=%.1f launch_ms=%.1f rss_kib=%ld\n", elapsed,
                ElapsedSinceLaunchMs(), ResidentKib());
    std::fflush(stdout);
    // exit, not quit: quit asks the windows to close first, and the program's own only hide.
    auto end = [] { QCoreApplication::exit(0); };
    if (lateMs <= 0) {
      QMetaObject::invokeMethod(QCoreApplication::instance(), end, Qt::QueuedConnection);
      return;
    }
    // The second sample, once the program has done what its first seconds bring.
    const int wait = std::max(0, lateMs - static_cast<int>(elapsed));
    QTimer::singleShot(wait, QCoreApplication::instance(), [end] {
      std::printf("startup_probe_late elapsed_ms=%.1f rss_kib=%ld\n", ElapsedSinceProcessStartMs(),
                  ResidentKib());
      std::fflush(stdout);
      end();
    });
  });
}

}  // namespace tray
