#include "tray_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <mutex>
#include <string>

#include "platform/env_setting.h"

namespace tray {

namespace {

// Lines held for counting at once; the oldest gives way (its count written) to a new one.
constexpr size_t kMaxRecentLines = 16;

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

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

QByteArray Line(const char* level, const QByteArray& message) {
  return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")).toUtf8() +
         level + ' ' + message + '\n';
}

class TrayLog {
 public:
  // Under the caller's lock from here on.
  bool Open(const QString& path, const TrayLogOptions& options) {
    Close();
    m_path = path;
    m_options = options;
    return Reopen();
  }

  void Close() {
    QByteArray out;
    TakeRecent(0, true, &out);
    Write(out);
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
  }

  void Message(QtMsgType type, const QString& message) {
    const int64_t now = SteadyMs();
    QByteArray out;
    TakeRecent(now, false, &out);
    const QByteArray text = message.toUtf8();
    const char* level = LevelName(type);
    bool counted = false;
    if (m_options.repeatWindowMs > 0) {
      for (Recent& r : m_recent) {
        if (r.type == type && r.text == text) {
          ++r.repeats;
          counted = true;
          break;
        }
      }
      if (!counted) {
        if (m_recent.size() >= kMaxRecentLines) {
          out += RepeatLine(m_recent.front());
          m_recent.pop_front();
        }
        m_recent.push_back(Recent{type, text, now, 0});
      }
    }
    if (!counted) out += Line(level, text);
    Write(out);
  }

  void Flush() {
    QByteArray out;
    TakeRecent(0, true, &out);
    Write(out);
  }

 private:
  struct Recent {
    QtMsgType type;
    QByteArray text;
    int64_t writtenMs;
    unsigned repeats;
  };

  static QByteArray RepeatLine(const Recent& r) {
    if (r.repeats == 0) return {};
    return Line(LevelName(r.type), r.text + " (" + QByteArray::number(r.repeats) + " more times)");
  }

  // The lines whose window has passed (all with force) leave the list; their counts go to out.
  void TakeRecent(int64_t now, bool force, QByteArray* out) {
    for (auto it = m_recent.begin(); it != m_recent.end();) {
      if (force || now - it->writtenMs >= m_options.repeatWindowMs) {
        *out += RepeatLine(*it);
        it = m_recent.erase(it);
      } else {
        ++it;
      }
    }
  }

  bool Reopen() {
    if (m_path.isEmpty()) return false;
    m_file = std::fopen(QFile::encodeName(m_path).constData(), "a");
    if (!m_file) return false;
    std::fseek(m_file, 0, SEEK_END);
    long pos = std::ftell(m_file);
    m_size = pos > 0 ? pos : 0;
    return true;
  }

  // Tirvan.log.N-1 to .N, ..., the log itself to .1; what passes the count is removed.
  void Rotate() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
    const int keep = m_options.rotatedFiles;
    auto name = [this](int n) { return QFile::encodeName(m_path + QLatin1Char('.') + QString::number(n)); };
    if (keep <= 0) {
      std::remove(QFile::encodeName(m_path).constData());
    } else {
      std::remove(name(keep).constData());
      for (int n = keep - 1; n >= 1; --n) std::rename(name(n).constData(), name(n + 1).constData());
      std::rename(QFile::encodeName(m_path).constData(), name(1).constData());
    }
    Reopen();
  }

  void Write(const QByteArray& out) {
    if (out.isEmpty()) return;
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stderr);
    if (m_path.isEmpty()) return;
    if (m_size > 0 && m_size + out.size() > m_options.sizeLimitBytes) Rotate();
    // After a failed open or rotation the next line tries again rather than stay silent.
    if (!m_file && !Reopen()) return;
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), m_file);
    std::fflush(m_file);
    m_size += out.size();
  }

  QString m_path;
  TrayLogOptions m_options;
  std::FILE* m_file = nullptr;
  int64_t m_size = 0;
  std::list<Recent> m_recent;
};

std::mutex g_mutex;
TrayLog g_log;  // g_mutex
bool g_exitHook = false;  // g_mutex

void Handler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_log.Message(type, message);
}

}  // namespace

TrayLogOptions TrayLogOptions::FromEnvironment() {
  TrayLogOptions o;
  if (auto v = EnvInteger("TIRVAN_TRAY_LOG_SIZE_BYTES", 1, INT64_MAX)) o.sizeLimitBytes = *v;
  if (auto v = EnvInteger("TIRVAN_TRAY_LOG_ROTATED_FILES", 0, 1000)) o.rotatedFiles = static_cast<int>(*v);
  if (auto v = EnvInteger("TIRVAN_TRAY_LOG_REPEAT_MS", 0, 3600000)) o.repeatWindowMs = static_cast<int>(*v);
  return o;
}

QString DefaultTrayLogPath() {
  QString env = qEnvironmentVariable("TIRVAN_TRAY_LOG");
  if (!env.isEmpty()) return env;
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (state.isEmpty()) state = QDir::homePath() + QStringLiteral("/.local/state");
  return state + QStringLiteral("/Tirvan/Tirvan.log");
}

bool InstallTrayLog(const QString& path, const TrayLogOptions& options) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  bool ok;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ok = g_log.Open(path, options);
    if (!g_exitHook) {
      g_exitHook = true;
      std::atexit(FlushTrayLog);
    }
  }
  qInstallMessageHandler(Handler);
  if (!ok) qWarning("cannot open the log file %s", qUtf8Printable(path));
  return ok;
}

void FlushTrayLog() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_log.Flush();
}

}  // namespace tray
