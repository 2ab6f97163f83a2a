// Every picture in the table is compiled in, loads, and has its table size; the three
// lists agree (no picture twice, none outside the table).
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QGuiApplication>
#include <QImage>
#include <set>
#include <string>

#include "picture_table.h"
#include "pictures.h"

namespace {

QGuiApplication& App() {
  static int argc = 1;
  static char name[] = "tray_pictures_test";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QGuiApplication app(argc, argv);
  return app;
}

class PicturesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    tray::InitPictures();
    tray::InitPictures();  // a second call is harmless
  }
};

TEST_F(PicturesTest, EveryListedPictureLoadsAtItsTableSize) {
  for (const tray::PictureSpec& spec : tray::kPictureTable) {
    const std::string path = tray::PictureResourcePath(spec);
    QImage image(QString::fromStdString(path));
    ASSERT_FALSE(image.isNull()) << path;
    EXPECT_EQ(image.width(), spec.width) << path;
    EXPECT_EQ(image.height(), spec.height) << path;
    if (spec.kind == tray::PictureKind::kBitmap) {
      EXPECT_FALSE(image.hasAlphaChannel()) << path;
    }
    // A drawn picture is never blank: some pixel differs from the first one.
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    bool varied = false;
    for (int y = 0; y < argb.height() && !varied; ++y)
      for (int x = 0; x < argb.width() && !varied; ++x) varied = argb.pixel(x, y) != argb.pixel(0, 0);
    EXPECT_TRUE(varied) << path << " is one flat colour";
  }
}

TEST_F(PicturesTest, ResourcesHoldExactlyTheTable) {
  std::set<std::string> listed;
  for (const tray::PictureSpec& spec : tray::kPictureTable)
    EXPECT_TRUE(listed.insert(tray::PictureResourcePath(spec)).second)
        << tray::PictureResourcePath(spec) << " listed twice";
  std::set<std::string> present;
  for (const char* root : {":/png", ":/icon", ":/banner"}) {
    QDirIterator it(QString::fromLatin1(root), QDir::Files);
    while (it.hasNext()) present.insert(it.next().toStdString());
  }
  EXPECT_EQ(present, listed);
}

TEST_F(PicturesTest, LookupsFindTheProgramsPictures) {
  ASSERT_NE(tray::FindIconPicture(128), nullptr);
  ASSERT_NE(tray::FindIconPicture(174), nullptr);
  EXPECT_EQ(tray::FindIconPicture(263), nullptr);
  const tray::PictureSpec* face = tray::FindPngPicture(263);
  ASSERT_NE(face, nullptr);
  EXPECT_EQ(face->width, 355);
  EXPECT_EQ(face->height, 197);
  ASSERT_NE(tray::FindPngPicture(296), nullptr);  // bitmaps live under :/png as well
  EXPECT_EQ(tray::FindPngPicture(174), nullptr);
  EXPECT_EQ(tray::PictureResourcePath(*tray::FindIconPicture(174)), ":/icon/174.png");
  EXPECT_STREQ(tray::BannerTag(1), "en");
  EXPECT_EQ(tray::BannerTag(3), nullptr);
}

}  // namespace
