#include "message_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <functional>

#include "diy_static.h"
#include "fixture_languages.h"
#include "fixture_pictures.h"
#include "qt_app.h"
#include "skin_buttons.h"

namespace {

using traytest::FixturePictures;

class MessageBoxTest : public ::testing::Test {
 protected:
  void SetUp() override { traytest::TestApp(); }

  // Runs ShowDiyMessageBox and, once the box is up, does `action` to it.
  int RunWith(int type, const std::function<void(tray::CDiyMessageBox&)>& action) {
    QTimer poll;
    bool done = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* box = qobject_cast<tray::CDiyMessageBox*>(QApplication::activeModalWidget());
      if (done || !box || !box->isVisible()) return;
      done = true;
      action(*box);
    });
    poll.start(10);
    int result = tray::ShowDiyMessageBox(m_languages.Store(), QStringLiteral("Saved."),
                                         QStringLiteral("Tirvan"), type);
    EXPECT_TRUE(done);
    return result;
  }
  static QImage Seen(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
  }

  traytest::FixtureLanguages m_languages;
  FixturePictures m_pictures;
};

TEST_F(MessageBoxTest, ButtonsByType) {
  struct Case {
    int type;
    bool ok, cancel;
    QString okText, cancelText;
    int okX;
  };
  const Case cases[] = {
      {0, true, false, QStringLiteral("OK"), QString(), 133},
      {1, true, true, QStringLiteral("OK"), QStringLiteral("Cancel"), 67},
      {4, true, true, QStringLiteral("Yes"), QStringLiteral("No"), 67},
      {7, false, false, QString(), QString(), 0},
  };
  for (const Case& c : cases) {
    tray::CDiyMessageBox box(m_languages.Store(), QStringLiteral("Saved."), QStringLiteral("T"), c.type);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    EXPECT_EQ(box.size(), QSize(355, 197));
    EXPECT_FALSE(box.MinimizeButton()->isVisible());
    EXPECT_EQ(box.OkButton()->isVisible(), c.ok) << c.type;
    EXPECT_EQ(box.CancelButton()->isVisible(), c.cancel) << c.type;
    EXPECT_FALSE(box.findChild<QWidget*>(QStringLiteral("1098"))->isVisible());
    EXPECT_FALSE(box.findChild<QWidget*>(QStringLiteral("1099"))->isVisible());
    EXPECT_EQ(box.windowTitle(), QStringLiteral("T"));
    QImage seen = Seen(box);
    if (c.ok) {
      EXPECT_EQ(box.OkButton()->ButtonText(), c.okText);
      EXPECT_EQ(box.OkButton()->geometry(), QRect(c.okX, 160, 89, 30)) << c.type;
      EXPECT_EQ(seen.pixel(c.okX + 2, 162), FixturePictures::Color(259));
    }
    if (c.cancel) {
      EXPECT_EQ(box.CancelButton()->ButtonText(), c.cancelText);
      EXPECT_EQ(box.CancelButton()->geometry(), QRect(174, 160, 89, 30));
      EXPECT_EQ(seen.pixel(176, 162), FixturePictures::Color(259));
    } else {
      EXPECT_EQ(seen.pixel(240, 175), FixturePictures::Color(263));
    }
    EXPECT_EQ(seen.pixel(100, 60), FixturePictures::Color(263));
  }
}

TEST_F(MessageBoxTest, ShortMessageIsCentredLongOneWrapsBelowTheStrip) {
  tray::CDiyMessageBox shortBox(m_languages.Store(), QStringLiteral("Saved."), QString(), 0);
  const int lineHeight = QFontMetrics(shortBox.Label()->font()).height();
  const QRect label = shortBox.Label()->geometry();
  EXPECT_EQ(label, QRect(27, (193 - lineHeight - 1) / 2, 310, lineHeight + 1));
  EXPECT_EQ(shortBox.Label()->text(), QStringLiteral("Saved."));
  shortBox.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&shortBox));
  // The text is centred: the label's left end shows the face.
  QImage seen = Seen(shortBox);
  EXPECT_EQ(seen.pixel(label.left() + 5, label.center().y()), FixturePictures::Color(263));
  bool drawn = false;
  for (int x = 150; x < 200 && !drawn; ++x)
    for (int y = label.top(); y <= label.bottom() && !drawn; ++y)
      drawn = seen.pixel(x, y) != FixturePictures::Color(263);
  EXPECT_TRUE(drawn);

  QString longText;
  for (int i = 0; i < 12; ++i) longText += QStringLiteral("The folder could not be shared. ");
  tray::CDiyMessageBox longBox(m_languages.Store(), longText, QString(), 0);
  const QRect tall = longBox.Label()->geometry();
  const int lines = tray::LaidOutLines(longText, longBox.Label()->font(), 310, false);
  EXPECT_GT(lines, 3);
  EXPECT_GE(tall.top(), 41);
  EXPECT_LT(tall.bottom(), 160);
  EXPECT_GT(tall.height(), 3 * lineHeight);
}

TEST_F(MessageBoxTest, KeysAndButtonsGiveTheResults) {
  auto enter = [](tray::CDiyMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); };
  auto escape = [](tray::CDiyMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); };
  auto closeButton = [](tray::CDiyMessageBox& box) {
    QTest::mouseClick(box.CloseButton(), Qt::LeftButton, {}, QPoint(16, 15));
  };
  auto ok = [](tray::CDiyMessageBox& box) {
    QTest::mouseClick(box.OkButton(), Qt::LeftButton, {}, QPoint(40, 15));
  };
  auto cancel = [](tray::CDiyMessageBox& box) {
    QTest::mouseClick(box.CancelButton(), Qt::LeftButton, {}, QPoint(40, 15));
  };
  EXPECT_EQ(RunWith(0, enter), 1);
  EXPECT_EQ(RunWith(0, escape), 2);
  EXPECT_EQ(RunWith(0, closeButton), 2);
  EXPECT_EQ(RunWith(0, ok), 1);
  EXPECT_EQ(RunWith(1, cancel), 2);
  EXPECT_EQ(RunWith(4, ok), 1);  // Yes
  EXPECT_EQ(RunWith(4, cancel), 2);  // No
  EXPECT_EQ(RunWith(4, enter), 1);
  EXPECT_EQ(RunWith(7, enter), 1);  // no buttons: Enter is still OK
  // Enter with the focus on Cancel presses Cancel.
  EXPECT_EQ(RunWith(1, [](tray::CDiyMessageBox& box) {
              box.CancelButton()->setFocus();
              QTest::keyClick(&box, Qt::Key_Return);
            }),
            2);
}

}  // namespace
