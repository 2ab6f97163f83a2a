#include "show_socket.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryDir>

#include "qt_app.h"

namespace {

TEST(ShowSocketTest, AskReachesTheListenerOnlyWhileItListens) {
  traytest::TestApp();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(QStringLiteral("show"));
  EXPECT_FALSE(tray::AskToShow(path));  // nobody listens

  // Whatever a copy that ended left at the path is replaced.
  QFile(path).open(QIODevice::WriteOnly);
  tray::ShowListener listener;
  ASSERT_TRUE(listener.Listen(path));
  QSignalSpy shown(&listener, &tray::ShowListener::showRequested);
  EXPECT_TRUE(tray::AskToShow(path));
  EXPECT_TRUE(tray::AskToShow(path));
  for (int i = 0; i < 50 && shown.count() < 2; ++i) shown.wait(100);
  EXPECT_EQ(shown.count(), 2);
}

TEST(ShowSocketTest, RefusesAPathTooLongForASocket) {
  traytest::TestApp();
  const QString path = QStringLiteral("/tmp/") + QString(200, QLatin1Char('x'));
  tray::ShowListener listener;
  EXPECT_FALSE(listener.Listen(path));
  EXPECT_FALSE(tray::AskToShow(path));
}

}  // namespace
