#include "autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace tray {

namespace {

// The value of key in the [Desktop Entry] group of a desktop file, read whole.
QString DesktopValue(const QString& path, const QString& key) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  bool inEntry = false;
  while (!file.atEnd()) {
    QString line = QString::fromUtf8(file.readLine()).trimmed();
    if (line.startsWith(QLatin1Char('['))) {
      inEntry = line == QStringLiteral("[Desktop Entry]");
    } else if (inEntry && line.startsWith(key + QLatin1Char('='))) {
      return line.mid(key.size() + 1);
    }
  }
  return {};
}

// A path quoted for the Exec key of a desktop entry.
QString QuoteExec(const QString& program) {
  QString quoted = program;
  for (const char* c : {"\\", "\"", "`", "$"}) {
    quoted.replace(QLatin1String(c), QStringLiteral("\\") + QLatin1String(c));
  }
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString UnquoteExec(QString exec) {
  if (exec.size() < 2 || !exec.startsWith(QLatin1Char('"'))) return exec;
  QString out;
  for (int i = 1; i < exec.size(); ++i) {
    if (exec[i] == QLatin1Char('\\') && i + 1 < exec.size()) {
      out += exec[++i];
    } else if (exec[i] == QLatin1Char('"')) {
      break;
    } else {
      out += exec[i];
    }
  }
  return out;
}

}  // namespace

XdgAutostart::XdgAutostart(QString path) : m_path(path.isEmpty() ? DefaultPath() : std::move(path)) {}

QString XdgAutostart::DefaultPath() {
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty()) config = QDir::homePath() + QStringLiteral("/.config");
  return config + QStringLiteral("/autostart/tirvan.desktop");
}

bool XdgAutostart::IsEnabled() const {
  if (!QFileInfo::exists(m_path)) return false;
  return DesktopValue(m_path, QStringLiteral("Hidden")) != QStringLiteral("true");
}

QString XdgAutostart::Command() const {
  if (!QFileInfo::exists(m_path)) return {};
  return UnquoteExec(DesktopValue(m_path, QStringLiteral("Exec")));
}

bool XdgAutostart::Enable(const QString& program) {
  if (!QDir().mkpath(QFileInfo(m_path).absolutePath())) return false;
  QSaveFile file(m_path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  QString text = QStringLiteral(
                     "[Desktop Entry]\n"
                     "Type=Application\n"
                     "Name=Tirvan\n"
                     "Comment=Shares your folders with your phone\n"
                     "Exec=%1\n"
                     "Icon=tirvan\n"
                     "Terminal=false\n"
                     "X-GNOME-Autostart-enabled=true\n")
                     .arg(QuoteExec(program));
  file.write(text.toUtf8());
  return file.commit();
}

bool XdgAutostart::Disable() { return !QFileInfo::exists(m_path) || QFile::remove(m_path); }

}  // namespace tray
