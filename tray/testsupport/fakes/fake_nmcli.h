// A stand-in nmcli first on PATH: each run appends its arguments to <dir>/args and ends
// with the code in <dir>/code ("hang": it sleeps 30 s instead).
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace traytest {

class FakeNmcli {
 public:
  // Writes the program to dir/bin, puts that folder first on PATH and sets the code 0.
  void Install(const QString& dir) {
    m_dir = dir;
    const QString bin = dir + QStringLiteral("/bin");
    QDir().mkpath(bin);
    const QString script = QStringLiteral(
                               "#!/bin/sh\n"
                               "echo \"$*\" >> '%1/args'\n"
                               "code=$(cat '%1/code')\n"
                               "[ \"$code\" = hang ] && exec sleep 30\n"
                               "exit $code\n")
                               .arg(dir);
    Write(bin + QStringLiteral("/nmcli"), script.toUtf8());
    QFile::setPermissions(bin + QStringLiteral("/nmcli"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_oldPath = qgetenv("PATH");
    qputenv("PATH", bin.toUtf8() + ":" + m_oldPath);
    SetCode("0");
  }
  // Puts PATH back as Install found it.
  void Restore() const { qputenv("PATH", m_oldPath); }
  void SetCode(const char* code) const { Write(m_dir + QStringLiteral("/code"), code); }

 private:
  static void Write(const QString& path, const QByteArray& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  }
  QString m_dir;
  QByteArray m_oldPath;
};

}  // namespace traytest
