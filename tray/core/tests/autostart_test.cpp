#include "autostart.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <optional>

namespace {

// The Exec line of a desktop entry as a launcher reads it, written here from the rules
// and not from the program's own reader: the string value's escapes (\s \n \t \r \\),
// then the arguments (quoted ones with \" \` \$ \\ inside, unquoted ones up to a space),
// then the field codes ("%%" a "%", any other code is an error here). None for a line a
// launcher refuses: an open quote, a stray field code, a reserved character unquoted.
std::optional<QStringList> LauncherArguments(const QByteArray& entry) {
  QString exec;
  bool found = false;
  for (const QByteArray& raw : entry.split('\n')) {
    const QString line = QString::fromUtf8(raw);
    if (line.startsWith(QLatin1String("Exec="))) {
      exec = line.mid(5);
      found = true;
    }
  }
  if (!found) return std::nullopt;
  QString value;
  for (int i = 0; i < exec.size(); ++i) {
    if (exec[i] != QLatin1Char('\\')) {
      value += exec[i];
      continue;
    }
    if (++i == exec.size()) return std::nullopt;
    switch (exec[i].unicode()) {
      case 's': value += QLatin1Char(' '); break;
      case 'n': value += QLatin1Char('\n'); break;
      case 't': value += QLatin1Char('\t'); break;
      case 'r': value += QLatin1Char('\r'); break;
      case '\\': value += QLatin1Char('\\'); break;
      default: return std::nullopt;
    }
  }
  QStringList args;
  const QString reserved = QStringLiteral("\"'\\><~|&;$*?#()`");
  for (int i = 0; i < value.size();) {
    if (value[i] == QLatin1Char(' ')) {
      ++i;
      continue;
    }
    QString arg;
    if (value[i] == QLatin1Char('"')) {
      for (++i;; ++i) {
        if (i == value.size()) return std::nullopt;  // no closing quote
        if (value[i] == QLatin1Char('"')) break;
        if (value[i] == QLatin1Char('\\')) {
          if (++i == value.size()) return std::nullopt;
          if (!QStringLiteral("\"`$\\").contains(value[i])) return std::nullopt;
        } else if (value[i] == QLatin1Char('`') || value[i] == QLatin1Char('$')) {
          return std::nullopt;  // must be escaped inside quotes
        }
        arg += value[i];
      }
      ++i;
    } else {
      for (; i < value.size() && value[i] != QLatin1Char(' '); ++i) {
        if (reserved.contains(value[i])) return std::nullopt;
        arg += value[i];
      }
    }
    QString expanded;
    for (int j = 0; j < arg.size(); ++j) {
      if (arg[j] != QLatin1Char('%')) {
        expanded += arg[j];
      } else if (j + 1 < arg.size() && arg[j + 1] == QLatin1Char('%')) {
        expanded += QLatin1Char('%');
        ++j;
      } else {
        return std::nullopt;  // a field code the entry never means to have
      }
    }
    args << expanded;
  }
  return args;
}

TEST(AutostartTest, TheExecLineHoldsTheProgramByTheDesktopEntryRules) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  tray::XdgAutostart entry(dir.path() + QStringLiteral("/autostart/tirvan.desktop"));
  const char* paths[] = {
      "/opt/tirvan/bin/Tirvan",
      "/home/anna/my programs/Tirvan",
      "/home/anna/100%/%u/Tirvan",
      "/home/anna/back\\slash/\\s/Tirvan",
      "/home/anna/\"quoted\" 'single'/Tirvan",
      "/home/anna/$HOME/`id`/Tirvan",
      "/home/anna/a;b&c|d>e<f~g*h?i#j(k)l/Tirvan",
      "/home/anna/tab\there/new\nline/Tirvan",
      "/home/anna/\\\\%%\\\"$/Tirvan",
      "/home/ánna/中文/Tirvan",
  };
  for (const char* p : paths) {
    const QString program = QString::fromUtf8(p);
    ASSERT_TRUE(entry.Enable(program)) << p;
    QFile f(entry.path());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_EQ(text.count("\nExec="), 1) << p;  // one line, whatever the path holds
    std::optional<QStringList> args = LauncherArguments(text);
    ASSERT_TRUE(args) << p << "\n" << text.toStdString();
    EXPECT_EQ(*args, QStringList{program}) << text.toStdString();
    EXPECT_EQ(entry.Command(), program) << text.toStdString();
  }
  // Entries written by hand, with arguments after the program, read back too.
  const struct {
    const char* exec;
    const char* program;
  } byHand[] = {
      {"/opt/tirvan/bin/Tirvan --hidden", "/opt/tirvan/bin/Tirvan"},
      {"/opt/100%%/Tirvan", "/opt/100%/Tirvan"},
      {"\"/opt/my apps/Tirvan\" --hidden", "/opt/my apps/Tirvan"},
      {"/opt/my\\sapps/Tirvan", "/opt/my"},  // \s is a space, which ends the argument
  };
  for (const auto& c : byHand) {
    QFile f(entry.path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("[Desktop Entry]\nExec=") + c.exec + "\n");
    f.close();
    EXPECT_EQ(entry.Command(), QString::fromUtf8(c.program)) << c.exec;
  }
}

TEST(AutostartTest, EnableDisableAndReadBack) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  tray::XdgAutostart entry(dir.path() + QStringLiteral("/autostart/tirvan.desktop"));
  EXPECT_FALSE(entry.IsEnabled());
  EXPECT_TRUE(entry.Disable());  // nothing to remove

  // A long path with characters the Exec key must quote comes back whole.
  QString program = QStringLiteral("/opt/") + QString(220, QChar('d')) +
                    QStringLiteral("/my \"tray\" $dir/bin/Tirvan");
  ASSERT_TRUE(entry.Enable(program));
  EXPECT_TRUE(entry.IsEnabled());
  EXPECT_EQ(entry.Command(), program);

  ASSERT_TRUE(entry.Disable());
  EXPECT_FALSE(entry.IsEnabled());
  EXPECT_EQ(entry.Command(), QString());
}

TEST(AutostartTest, AHiddenEntryCountsAsOff) {
  QTemporaryDir dir;
  QString path = dir.path() + QStringLiteral("/tirvan.desktop");
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[Desktop Entry]\nType=Application\nExec=/bin/Tirvan\nHidden=true\n");
  f.close();
  EXPECT_FALSE(tray::XdgAutostart(path).IsEnabled());
}

}  // namespace
