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

// The program path as the Exec key's value, by the desktop-entry rules in their three
// layers: "%" doubled (field codes), the argument quoted with '"', '`', '$' and '\'
// escaped inside the quotes, and the value escaped as a string value ('\' doubled, line
// breaks and tabs as \n, \r, \t).
QString QuoteExec(const QString& program) {
  QString arg = program;
  arg.replace(QLatin1String("%"), QLatin1String("%%"));
  QString quoted = QStringLiteral("\"");
  for (QChar c : arg) {
    if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
      quoted += QLatin1Char('\\');
    quoted += c;
  }
  quoted += QLatin1Char('"');
  QString value;
  for (QChar c : quoted) {
    if (c == QLatin1Char('\\')) {
      value += QLatin1String("\\\\");
    } else if (c == QLatin1Char('\n')) {
      value += QLatin1String("\\n");
    } else if (c == QLatin1Char('\r')) {
      value += QLatin1String("\\r");
    } else if (c == QLatin1Char('\t')) {
      value += QLatin1String("\\t");
    } else {
      value += c;
    }
  }
  return value;
}

// The string value's escapes undone: \s, \n, \t, \r and \\.
QString UnescapeValue(const QString& value) {
  QString out;
  for (int i = 0; i < value.size(); ++i) {
    if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const QChar next = value[++i];
    if (next == QLatin1Char('s')) {
      out += QLatin1Char(' ');
    } else if (next == QLatin1Char('n')) {
      out += QLatin1Char('\n');
    } else if (next == QLatin1Char('t')) {
      out += QLatin1Char('\t');
    } else if (next == QLatin1Char('r')) {
      out += QLatin1Char('\r');
    } else if (next == QLatin1Char('\\')) {
      out += QLatin1Char('\\');
    } else {
      out += QLatin1Char('\\');
      out += next;
    }
  }
  return out;
}

// The program of an Exec value: its first argument, quoted or not, with "%%" as "%".
QString UnquoteExec(const QString& exec) {
  const QString line = UnescapeValue(exec);
  QString out;
  int i = 0;
  if (line.startsWith(QLatin1Char('"'))) {
    for (i = 1; i < line.size() && line[i] != QLatin1Char('"'); ++i) {
      if (line[i] == QLatin1Char('\\') && i + 1 < line.size()) ++i;
      out += line[i];
    }
  } else {
    for (; i < line.size() && line[i] != QLatin1Char(' ') && line[i] != QLatin1Char('\t'); ++i) out += line[i];
  }
  return out.replace(QLatin1String("%%"), QLatin1String("%"));
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
