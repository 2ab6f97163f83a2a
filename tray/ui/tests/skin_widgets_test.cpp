#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include "diy_static.h"
#include "fixture_pictures.h"
#include "qt_app.h"
#include "skin_buttons.h"

namespace {

using traytest::FixturePictures;

constexpr QRgb kParentColor = 0xFF2040A0;

class SkinWidgetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    m_parent.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, QColor::fromRgba(kParentColor));
    m_parent.setPalette(palette);
    m_parent.resize(300, 200);
  }
  void Show() {
    m_parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_parent));
  }
  // What the user sees: the parent's face with the control painted over it.
  QImage Seen() { return m_parent.grab().toImage().convertToFormat(QImage::Format_ARGB32); }
  static bool HasPixelNotIn(const QImage& image, QRect area, std::initializer_list<QRgb> colors) {
    for (int y = area.top(); y <= area.bottom(); ++y)
      for (int x = area.left(); x <= area.right(); ++x)
        if (std::find(colors.begin(), colors.end(), image.pixel(x, y)) == colors.end()) return true;
    return false;
  }

  QApplication& m_app = traytest::TestApp();
  FixturePictures m_pictures{{{340, QSize(89, 30)}, {341, QSize(89, 30)}, {342, QSize(89, 30)},
                              {343, QSize(89, 30)}, {338, QSize(121, 31)}}};
  QWidget m_parent;
};

TEST_F(SkinWidgetsTest, PushButtonPicturesFollowPressHoverAndDragOff) {
  tray::CColorButton button(&m_parent);
  button.setGeometry(10, 10, 89, 30);
  button.SetPictures(340, 341, 342, 343);
  button.SetTextColor(0xFFFF0000);
  button.SetButtonText(QStringLiteral("OK"));
  QSignalSpy clicks(&button, &QAbstractButton::clicked);
  Show();
  EXPECT_EQ(Seen().pixel(12, 12), FixturePictures::Color(340));
  // The text is drawn on the picture, centred.
  EXPECT_TRUE(HasPixelNotIn(Seen(), QRect(40, 15, 30, 20), {FixturePictures::Color(340)}));

  QTest::mouseMove(&button, QPoint(40, 15));
  QTRY_VERIFY_WITH_TIMEOUT(button.IsInside(), 5000);
  EXPECT_EQ(Seen().pixel(12, 12), FixturePictures::Color(341));

  QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(40, 15));
  EXPECT_TRUE(button.IsPressed());
  EXPECT_EQ(Seen().pixel(12, 12), FixturePictures::Color(342));

  // Dragged off while pressed: the hover picture, and a release outside does not click.
  QTest::mouseMove(&button, QPoint(150, 15));
  QTRY_VERIFY_WITH_TIMEOUT(!button.IsInside(), 5000);
  EXPECT_TRUE(button.IsPressed());
  EXPECT_EQ(button.CurrentPicture(), 341);
  EXPECT_EQ(Seen().pixel(12, 12), FixturePictures::Color(341));
  QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(150, 15));
  EXPECT_FALSE(button.IsPressed());
  EXPECT_EQ(clicks.count(), 0);
  EXPECT_EQ(Seen().pixel(12, 12), FixturePictures::Color(340));

  QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(40, 15));
  EXPECT_EQ(clicks.count(), 1);

  button.setEnabled(false);
  EXPECT_EQ(Seen().pixel(12, 12), FixturePictures::Color(343));

  // A missing state picture shows the normal one; with none at all, a neutral button.
  button.setEnabled(true);
  m_pictures.SetMissing(341);
  QTest::mouseMove(&button, QPoint(40, 15));
  QTRY_VERIFY_WITH_TIMEOUT(button.IsInside(), 5000);
  EXPECT_EQ(Seen().pixel(12, 12), FixturePictures::Color(340));
  m_pictures.SetMissing(340);
  QRgb neutral = Seen().pixel(30, 20);
  EXPECT_NE(neutral, kParentColor);
  EXPECT_NE(neutral, FixturePictures::Color(340));
}

TEST_F(SkinWidgetsTest, MarkButtonDrawsOverItsParent) {
  tray::CColorButton radio(&m_parent);
  radio.SetKind(tray::skin::kKindMark);
  radio.setGeometry(20, 50, 150, 23);
  radio.SetTextColor(0xFFFFFFFF);
  radio.SetButtonText(QStringLiteral("Use the proposed folder"));
  Show();
  // The mark at x 0, y (23 - 16) / 2 + 1 = 4; the parent shows everywhere else.
  EXPECT_EQ(Seen().pixel(20, 54), FixturePictures::Color(223));
  EXPECT_EQ(Seen().pixel(35, 69), FixturePictures::Color(223));
  EXPECT_EQ(Seen().pixel(20, 53), kParentColor);
  EXPECT_EQ(Seen().pixel(160, 51), kParentColor);
  EXPECT_TRUE(HasPixelNotIn(Seen(), QRect(36, 50, 100, 23), {kParentColor}));
  EXPECT_FALSE(HasPixelNotIn(Seen(), QRect(20, 50, 16, 4), {kParentColor}));

  QTest::mouseClick(&radio, Qt::LeftButton, {}, QPoint(40, 11));
  EXPECT_TRUE(radio.isChecked());
  EXPECT_EQ(Seen().pixel(20, 54), FixturePictures::Color(222));
  // A disabled mark button keeps its text colour (only kind 1 turns grey).
  radio.setEnabled(false);
  EXPECT_EQ(Seen().pixel(20, 54), FixturePictures::Color(222));
}

TEST_F(SkinWidgetsTest, CheckBoxKeepsTheStyleGlyphAndDrawsItsTextFrom16) {
  tray::CColorButton box(&m_parent);
  box.SetKind(tray::skin::kKindCheckBox);
  box.setGeometry(20, 100, 150, 20);
  box.SetTextColor(0xFFFFFFFF);
  box.SetButtonText(QStringLiteral("Remember"));
  EXPECT_EQ(box.ButtonText(), QStringLiteral(" Remember"));
  EXPECT_TRUE(box.isCheckable());
  EXPECT_FALSE(box.autoDefault());
  Show();
  QImage off = Seen();
  EXPECT_TRUE(HasPixelNotIn(off, QRect(20, 100, 16, 20), {kParentColor}));   // the glyph
  EXPECT_TRUE(HasPixelNotIn(off, QRect(37, 100, 100, 20), {kParentColor}));  // the text
  EXPECT_FALSE(HasPixelNotIn(off, QRect(140, 100, 30, 20), {kParentColor}));
  QTest::keyClick(&box, Qt::Key_Space);
  EXPECT_TRUE(box.isChecked());
  EXPECT_NE(Seen().copy(20, 100, 16, 20), off.copy(20, 100, 16, 20));  // the glyph changed
}

TEST_F(SkinWidgetsTest, TabButtonCentresIconAndTextAndTurnsBlackOnHover) {
  tray::CSettingButton tab(&m_parent);
  tab.setGeometry(0, 150, 121, 31);
  tab.SetBackgroundPicture(338);
  tab.SetIconPicture(311);
  tab.SetButtonText(QStringLiteral("Shares"));
  Show();
  tray::skin::TabLayout layout = tab.Layout();
  const int textWidth = tab.fontMetrics().horizontalAdvance(QStringLiteral("Shares"));
  EXPECT_EQ(layout, tray::skin::SettingTabLayout({121, 31}, {16, 16}, textWidth));
  QImage seen = Seen();
  EXPECT_EQ(seen.pixel(1, 151), FixturePictures::Color(338));
  EXPECT_EQ(seen.pixel(layout.icon.x() + 8, 150 + layout.icon.y() + 8), FixturePictures::Color(311));
  EXPECT_TRUE(HasPixelNotIn(seen, QRect(layout.textX, 150, textWidth, 31),
                            {FixturePictures::Color(338)}));
  EXPECT_FALSE(HasPixelNotIn(seen, QRect(layout.textX + textWidth + 2, 150, 5, 31),
                             {FixturePictures::Color(338)}));

  QTest::mouseMove(&tab, QPoint(60, 15));
  QTRY_VERIFY_WITH_TIMEOUT(tab.IsInside(), 5000);
  QImage hover = Seen();
  EXPECT_NE(hover.copy(layout.textX, 150, textWidth, 31), seen.copy(layout.textX, 150, textWidth, 31));

  tab.SetTransparent(true);
  EXPECT_EQ(Seen().pixel(1, 151), kParentColor);
}

TEST_F(SkinWidgetsTest, StaticDrawsItsTextOverItsParentInItsFormat) {
  tray::CDiyStatic label(&m_parent);
  label.setGeometry(10, 10, 200, 60);
  label.SetTextColor(0xFFFFFFFF);
  label.setText(QStringLiteral("Hello"));
  Show();
  QImage seen = Seen();
  EXPECT_EQ(seen.pixel(10, 10 + 59), kParentColor);
  const QSize measured = label.MeasureText();
  EXPECT_GT(measured.width(), 0);
  EXPECT_GT(measured.height(), 0);
  // Near and near: the text sits at the top left.
  EXPECT_TRUE(HasPixelNotIn(seen, QRect(10, 10, measured.width(), measured.height()), {kParentColor}));
  EXPECT_FALSE(HasPixelNotIn(seen, QRect(10 + measured.width() + 2, 10, 60, 60), {kParentColor}));

  // Centred both ways.
  label.SetStringFormat({Qt::AlignHCenter, Qt::AlignVCenter, true, true});
  seen = Seen();
  EXPECT_FALSE(HasPixelNotIn(seen, QRect(10, 10, 40, 60), {kParentColor}));
  EXPECT_TRUE(HasPixelNotIn(seen, QRect(90, 30, 40, 20), {kParentColor}));

  // Wrapped with whole lines only: a third line that does not fit is not drawn.
  const QString long_text = QStringLiteral("one two three four five six seven eight nine ten eleven twelve thirteen fourteen fifteen sixteen seventeen");
  const int lines = tray::LaidOutLines(long_text, label.font(), 200, false);
  EXPECT_GE(lines, 3);
  EXPECT_EQ(tray::LaidOutLines(long_text, label.font(), 200, true), 1);
  EXPECT_EQ(tray::LaidOutLines(QStringLiteral("a\nb"), label.font(), 200, true), 2);
  label.setText(long_text);
  const int lineHeight = QFontMetrics(label.font()).height();
  label.setGeometry(10, 10, 200, lineHeight * 2 + lineHeight / 2);
  label.SetStringFormat({Qt::AlignLeft, Qt::AlignTop, false, true});
  seen = Seen();
  EXPECT_TRUE(HasPixelNotIn(seen, QRect(10, 10 + lineHeight, 200, lineHeight), {kParentColor}));
  EXPECT_FALSE(HasPixelNotIn(seen, QRect(10, 10 + 2 * lineHeight, 200, lineHeight / 2), {kParentColor}));
}

}  // namespace
