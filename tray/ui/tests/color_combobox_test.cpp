#include "color_combobox.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include "fixture_pictures.h"
#include "qt_app.h"
#include "skin_rules.h"

namespace {

using traytest::FixturePictures;

class ColorComboboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_combo.setGeometry(0, 0, 122, 22);
    m_combo.SetTextColor(0xFF323232);
    EXPECT_EQ(m_combo.AddItem(-1, QStringLiteral("English")), 0);
    EXPECT_EQ(m_combo.AddItem(-1, QStringLiteral("繁體中文")), 1);
    EXPECT_EQ(m_combo.AddItem(0, QStringLiteral("简体中文")), 0);
    m_combo.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_combo));
  }
  QImage Seen(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
  }
  bool FaceOnly(const QImage& image, QRect area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
      for (int x = area.left(); x <= area.right(); ++x)
        if (image.pixel(x, y) != FixturePictures::Color(224)) return false;
    return true;
  }

  QApplication& m_app = traytest::TestApp();
  FixturePictures m_pictures;
  tray::CColorCombobox m_combo;
};

TEST_F(ColorComboboxTest, RowsKeepTheirTextsWhereverTheyAreAdded) {
  EXPECT_EQ(m_combo.count(), 3);
  EXPECT_EQ(m_combo.RowText(0), QStringLiteral("简体中文"));
  EXPECT_EQ(m_combo.RowText(1), QStringLiteral("English"));
  EXPECT_EQ(m_combo.RowText(2), QStringLiteral("繁體中文"));
  EXPECT_EQ(m_combo.RowText(3), QString());
  EXPECT_EQ(m_combo.AddItem(9, QStringLiteral("last")), 3);
}

TEST_F(ColorComboboxTest, ClosedFaceShowsTheArrowAndTheCurrentText) {
  m_combo.setCurrentIndex(-1);
  QImage none = Seen(m_combo);
  // Face at (0, 1), arrow at (107, 8) of the face.
  EXPECT_EQ(none.pixel(1, 1), FixturePictures::Color(224));
  EXPECT_EQ(none.pixel(107, 9), FixturePictures::Color(225));
  EXPECT_EQ(none.pixel(115, 14), FixturePictures::Color(225));
  EXPECT_TRUE(FaceOnly(none, QRect(0, 1, 100, 20)));  // no selection: no text

  m_combo.setCurrentIndex(1);
  QImage english = Seen(m_combo);
  EXPECT_FALSE(FaceOnly(english, QRect(0, 1, 100, 20)));
  EXPECT_TRUE(FaceOnly(english, QRect(80, 1, 20, 20)));  // the text starts at the left
  EXPECT_EQ(english.pixel(107, 9), FixturePictures::Color(225));
}

TEST_F(ColorComboboxTest, OpenListHighlightsTheCurrentAndTheHoverRow) {
  m_combo.setCurrentIndex(0);
  m_combo.showPopup();
  QAbstractItemView* view = m_combo.view();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
  EXPECT_EQ(m_combo.HoverRow(), -1);
  QRect row0 = view->visualRect(m_combo.model()->index(0, 0));
  QRect row2 = view->visualRect(m_combo.model()->index(2, 0));
  EXPECT_EQ(row0.height(), 21);
  QImage seen = Seen(*view->viewport());
  EXPECT_EQ(seen.pixel(row0.right() - 2, row0.center().y()), tray::skin::kComboRowHighlight);
  EXPECT_EQ(seen.pixel(row2.right() - 2, row2.center().y()), tray::skin::kComboRow);

  QTest::mouseMove(view->viewport(), row2.center());
  QTRY_COMPARE_WITH_TIMEOUT(m_combo.HoverRow(), 2, 5000);
  seen = Seen(*view->viewport());
  EXPECT_EQ(seen.pixel(row2.right() - 2, row2.center().y()), tray::skin::kComboRowHighlight);

  // Opening the list again forgets the last hover row.
  m_combo.hidePopup();
  m_combo.showPopup();
  EXPECT_EQ(m_combo.HoverRow(), -1);
  m_combo.hidePopup();
}

TEST_F(ColorComboboxTest, OneChangeSignalPerChoiceAndNoneForTheProgram) {
  m_combo.setCurrentIndex(0);
  QSignalSpy changes(&m_combo, &tray::CColorCombobox::SelChange);
  m_combo.setCurrentIndex(2);  // by the program
  QApplication::processEvents();
  EXPECT_EQ(changes.count(), 0);

  // Chosen in the list.
  m_combo.showPopup();
  QAbstractItemView* view = m_combo.view();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
  QRect row1 = view->visualRect(m_combo.model()->index(1, 0));
  QTest::mouseMove(view->viewport(), row1.center());
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row1.center());
  QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 1, 5000);
  EXPECT_EQ(changes.at(0).at(0).toInt(), 1);
  EXPECT_EQ(m_combo.currentIndex(), 1);

  // By the keys on the closed box; choosing the same row again is no change.
  QTest::keyClick(&m_combo, Qt::Key_Down);
  QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 2, 5000);
  EXPECT_EQ(changes.at(1).at(0).toInt(), 2);
  emit m_combo.activated(2);
  QApplication::processEvents();
  QApplication::processEvents();
  EXPECT_EQ(changes.count(), 2);
}

}  // namespace
