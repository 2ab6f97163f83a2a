#include "autostart.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

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
