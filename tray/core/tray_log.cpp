#include "tray_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>
#include <memory>
#include <mutex>

namespace tray {

namespace {

std::mutex g_mutex;
QFile* g_file = nullptr;

const char* LevelName(QtMsgType type) {
  switch (type) {
    case QtDebugMsg:
      return "DEBUG";
    case QtInfoMsg:
      return "INFO";
    case QtWarningMsg:
      return "WARNING";
    case QtCriticalMsg:
    case QtFatalMsg:
      return "ERROR";
  }
  return "OTHER";
}

void Handler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  QByteArray line = QDateTime::currentDateTime()
                        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz "))
                        .toUtf8() +
                    LevelName(type) + ' ' + message.toUtf8() + '\n';
  std::lock_guard<std::mutex> lock(g_mutex);
  std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
  if (g_file) {
    g_file->write(line);
    g_file->flush();
  }
}

}  // namespace

QString DefaultTrayLogPath() {
  QString env = qEnvironmentVariable("TIRVAN_TRAY_LOG");
  if (!env.isEmpty()) return env;
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty()) state = QDir::homePath() + QStringLiteral("/.local/state");
  return state + QStringLiteral("/Tirvan/Tirvan.log");
}

bool InstallTrayLog(const QString& path) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  auto file = std::make_unique<QFile>(path);
  bool ok = file->open(QIODevice::WriteOnly | QIODevice::Append);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    delete g_file;
    g_file = ok ? file.release() : nullptr;
  }
  qInstallMessageHandler(Handler);
  if (!ok) qWarning("cannot open the log file %s", qUtf8Printable(path));
  return ok;
}

}  // namespace tray
