#include "diy_menu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include "fixture_pictures.h"
#include "qt_app.h"
#include "skin_rules.h"

namespace {

using traytest::FixturePictures;
using namespace tray::skin;

class DiyMenuTest : public ::testing::Test {
 protected:
  QApplication& m_app = traytest::TestApp();
  FixturePictures m_pictures;
};

QImage Seen(QWidget& widget) { return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32); }

TEST_F(DiyMenuTest, EveryCommandIsAnActionWithItsTextAndIcon) {
  // What a desktop's tray reads from the menu: texts, icons, enabled states.
  for (int id : {kMenuLoggedOn, kMenuLoggedOff}) {
    tray::CDiyMenu menu;
    ASSERT_TRUE(menu.LoadMenu(id));
    const std::vector<unsigned> layout = MenuLayout(id);
    const QList<QAction*> actions = menu.actions();
    ASSERT_EQ(actions.size(), static_cast<qsizetype>(layout.size()));
    for (size_t i = 0; i < layout.size(); ++i) {
      QAction* action = actions[static_cast<qsizetype>(i)];
      EXPECT_EQ(action->isSeparator(), layout[i] == 0) << id << " " << i;
      if (layout[i] == 0) continue;
      EXPECT_EQ(menu.Action(layout[i]), action);
      EXPECT_EQ(action->icon().isNull(), MenuIconFor(layout[i], false) == 0) << layout[i];
      EXPECT_TRUE(menu.ModifyItem(layout[i], QStringLiteral("cmd %1").arg(layout[i])));
      EXPECT_EQ(action->text(), QStringLiteral("cmd %1").arg(layout[i]));
    }
  }
  tray::CDiyMenu menu;
  EXPECT_FALSE(menu.LoadMenu(1));
  EXPECT_TRUE(menu.actions().isEmpty());
}

TEST_F(DiyMenuTest, TextsAreReplacedAndTheOnlineMarkSwapsOneIcon) {
  tray::CDiyMenu menu;
  menu.LoadMenu(kMenuLoggedOn);
  EXPECT_EQ(menu.ItemText(kCmdExit), QString());
  EXPECT_TRUE(menu.ModifyItem(kCmdExit, QStringLiteral("Exit")));
  EXPECT_TRUE(menu.ModifyItem(kCmdExit, QStringLiteral("退出")));
  EXPECT_EQ(menu.ItemText(kCmdExit), QStringLiteral("退出"));
  EXPECT_FALSE(menu.ModifyItem(12345, QStringLiteral("none")));
  EXPECT_EQ(menu.ItemText(12345), QString());

  auto iconColor = [&](unsigned command) {
    return menu.Action(command)->icon().pixmap(16, 16).toImage().pixel(8, 8);
  };
  EXPECT_EQ(iconColor(kCmdMobileStatus), FixturePictures::Color(280));
  menu.SetOnlineMark(true);
  EXPECT_EQ(iconColor(kCmdMobileStatus), FixturePictures::Color(285));
  EXPECT_EQ(iconColor(kCmdExit), FixturePictures::Color(281));
  menu.SetOnlineMark(false);
  EXPECT_EQ(iconColor(kCmdMobileStatus), FixturePictures::Color(280));

  QSignalSpy commands(&menu, &tray::CDiyMenu::CommandTriggered);
  menu.Action(kCmdAbout)->trigger();
  ASSERT_EQ(commands.count(), 1);
  EXPECT_EQ(commands.at(0).at(0).toUInt(), kCmdAbout);
}

TEST_F(DiyMenuTest, RowsAreDrawnInOurColours) {
  tray::CDiyMenu menu;
  menu.LoadMenu(kMenuLoggedOff);
  for (unsigned command : MenuLayout(kMenuLoggedOff))
    if (command) menu.ModifyItem(command, QStringLiteral("Command %1").arg(command));
  menu.ModifyItem(kCmdDownload, QString());  // no text: an empty text area
  menu.EnableItem(kCmdMobileStatus, false);
  menu.popup(QPoint(10, 10));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu));

  QRect first = menu.actionGeometry(menu.Action(kCmdOpenFolder));
  QRect separator = menu.actionGeometry(menu.actions().at(2));
  EXPECT_EQ(first.height(), 27);
  EXPECT_EQ(separator.height(), 1);
  // Wide enough for the text in the font that draws it, plus the icon column.
  EXPECT_GE(first.width(),
            QFontMetrics(tray::CDiyMenu::RowFont()).horizontalAdvance(QStringLiteral("Command 32810")) + 27);

  QImage seen = Seen(menu);
  EXPECT_EQ(seen.pixel(first.left() + 1, first.top() + 1), 0xFFF3F3F3u);
  EXPECT_EQ(seen.pixel(first.right() - 1, first.top() + 1), 0xFFFEFFFEu);
  // Icon 287 centred in the 27 x 27 square.
  EXPECT_EQ(seen.pixel(first.left() + 5, first.top() + 5), FixturePictures::Color(287));
  EXPECT_EQ(seen.pixel(first.left() + 20, first.top() + 20), FixturePictures::Color(287));
  EXPECT_EQ(seen.pixel(separator.left() + 1, separator.top()), 0xFFF3F3F3u);
  EXPECT_EQ(seen.pixel(separator.left() + 40, separator.top()), 0xFFDDDDDDu);
  // The download row has neither icon nor text.
  QRect download = menu.actionGeometry(menu.Action(kCmdDownload));
  for (int x = download.left() + 27; x < download.right(); x += 3)
    EXPECT_EQ(seen.pixel(x, download.center().y()), 0xFFFEFFFEu) << x;
  EXPECT_EQ(seen.pixel(download.left() + 13, download.top() + 13), 0xFFF3F3F3u);

  // The active row is highlighted by its state.
  menu.setActiveAction(menu.Action(kCmdHelp));
  QRect help = menu.actionGeometry(menu.Action(kCmdHelp));
  seen = Seen(menu);
  EXPECT_EQ(seen.pixel(help.left() + 1, help.top() + 1), 0xFFC9E9F3u);
  EXPECT_EQ(seen.pixel(help.right() - 1, help.top() + 1), 0xFFD5F4FFu);
  EXPECT_EQ(seen.pixel(first.left() + 1, first.top() + 1), 0xFFF3F3F3u);

  // A greyed row's text is grey, an enabled row's black.
  auto darkest = [&](const QRect& row) {
    int best = 255 * 3;
    QRgb color = 0;
    for (int y = row.top(); y <= row.bottom(); ++y)
      for (int x = row.left() + 27; x < row.right(); ++x) {
        QRgb p = seen.pixel(x, y);
        int sum = qRed(p) + qGreen(p) + qBlue(p);
        if (sum < best) best = sum, color = p;
      }
    return color;
  };
  QRgb grey = darkest(menu.actionGeometry(menu.Action(kCmdMobileStatus)));
  QRgb black = darkest(menu.actionGeometry(menu.Action(kCmdUpdate)));
  EXPECT_GE(qRed(grey), 0x70);
  EXPECT_LE(qRed(grey), 0x90);
  EXPECT_LE(qRed(black), 0x30);
  menu.close();
}

}  // namespace
