#include "language_font.h"

#include <gtest/gtest.h>

#include "qt_app.h"

namespace {

TEST(LanguageFontTest, HeightsWeightsAndFaces) {
  traytest::TestApp();
  EXPECT_EQ(tray::FontPixelSize(-12, 96), 16);
  EXPECT_EQ(tray::FontPixelSize(9, 96), 12);
  EXPECT_EQ(tray::FontPixelSize(-10, 96), 13);  // 13.33 rounds down
  EXPECT_EQ(tray::FontPixelSize(-11, 120), 18);  // 18.33

  tray::FontRec rec;
  rec.face = QStringLiteral("Liberation Sans");
  rec.height = -9;
  rec.weight = 0;
  QFont font = tray::MakeLanguageFont(rec, true, 96);
  EXPECT_EQ(font.family(), QStringLiteral("Liberation Sans"));
  EXPECT_EQ(font.pixelSize(), 12);
  EXPECT_EQ(font.weight(), QFont::Normal);
  EXPECT_TRUE(font.underline());
  rec.weight = 700;
  EXPECT_EQ(tray::MakeLanguageFont(rec, false, 96).weight(), QFont::Bold);
}

}  // namespace
