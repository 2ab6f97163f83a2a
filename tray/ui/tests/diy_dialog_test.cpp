#include "diy_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>

#include "fixture_languages.h"
#include "fixture_pictures.h"
#include "qt_app.h"
#include "skin_buttons.h"

namespace {

using traytest::FixturePictures;

constexpr int kFace = 263;
constexpr int kSettingsFace = 337;

// Records the window system's move instead of starting one.
class MoveRecordingDialog : public tray::CDiyDialog {
 public:
  using CDiyDialog::CDiyDialog;
  int systemMoves = 0;
  bool systemMoveWorks = true;

 protected:
  bool StartSystemMove() override {
    ++systemMoves;
    return systemMoveWorks;
  }
};

class DiyDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { traytest::TestApp(); }

  // A shown dialog with face 263 (355 x 197).
  std::unique_ptr<MoveRecordingDialog> Shown(int templateId = 105, int face = kFace) {
    auto dialog = std::make_unique<MoveRecordingDialog>(templateId);
    dialog->SetBackgroundImage(face);
    EXPECT_TRUE(dialog->ResizeToFace());
    dialog->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    return dialog;
  }
  static QRgb At(QWidget& widget, int x, int y) {
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32).pixel(x, y);
  }

  traytest::FixtureLanguages m_languages;
  FixturePictures m_pictures{{{kSettingsFace, QSize(484, 426)}}};
};

TEST_F(DiyDialogTest, FaceLogoAndTitleButtons) {
  auto dialog = Shown();
  EXPECT_EQ(dialog->size(), QSize(355, 197));
  EXPECT_EQ(dialog->objectName(), QStringLiteral("105"));
  EXPECT_TRUE(dialog->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(At(*dialog, 100, 100), FixturePictures::Color(kFace));
  // English logo at (8, 8), 76 x 22.
  EXPECT_EQ(At(*dialog, 8, 8), FixturePictures::Color(376));
  EXPECT_EQ(At(*dialog, 83, 29), FixturePictures::Color(376));
  EXPECT_EQ(At(*dialog, 84, 30), FixturePictures::Color(kFace));
  EXPECT_EQ(dialog->LogoImage(), 376);

  auto* close = dialog->findChild<tray::CTransparentButton*>(QStringLiteral("1093"));
  auto* minimize = dialog->findChild<tray::CTransparentButton*>(QStringLiteral("1128"));
  ASSERT_TRUE(close && minimize);
  EXPECT_EQ(close->geometry(), QRect(321, 0, 32, 30));
  EXPECT_EQ(minimize->geometry(), QRect(295, 6, 26, 24));
  EXPECT_TRUE(close->isVisible());
  EXPECT_TRUE(minimize->isVisible());
  // Title pictures centred on the buttons: close 326 at (330, 8), minimise 328 at (301, 11).
  EXPECT_EQ(At(*dialog, 330, 8), FixturePictures::Color(326));
  EXPECT_EQ(At(*dialog, 343, 21), FixturePictures::Color(326));
  EXPECT_EQ(At(*dialog, 301, 11), FixturePictures::Color(328));
  EXPECT_EQ(At(*dialog, 329, 8), FixturePictures::Color(kFace));

  // The logo follows the language at the next paint; the title buttons stay.
  m_languages.Store()->SetLanguage(tray::kLanguageChineseSimplified);
  EXPECT_EQ(At(*dialog, 8, 8), FixturePictures::Color(344));
  m_languages.Store()->SetLanguage(tray::kLanguageChineseTrad);
  EXPECT_EQ(At(*dialog, 8, 8), FixturePictures::Color(377));
  dialog->SetDrawLogo(false);
  EXPECT_EQ(At(*dialog, 8, 8), FixturePictures::Color(kFace));

  dialog->SetShowMinimize(false);
  EXPECT_FALSE(minimize->isVisible());
  EXPECT_TRUE(close->isVisible());
  EXPECT_EQ(At(*dialog, 301, 11), FixturePictures::Color(kFace));
}

TEST_F(DiyDialogTest, HoverShowsTheHoverPicture) {
  auto dialog = Shown();
  auto* close = dialog->CloseButton();
  QTest::mouseMove(dialog.get(), QPoint(200, 100));
  QTest::mouseMove(close, QPoint(16, 15));
  QTRY_VERIFY_WITH_TIMEOUT(close->IsInside(), 5000);
  EXPECT_EQ(close->CurrentPicture(), 327);
  EXPECT_EQ(At(*dialog, 336, 14), FixturePictures::Color(327));
  QTest::mouseMove(dialog.get(), QPoint(200, 100));
  QTRY_VERIFY_WITH_TIMEOUT(!close->IsInside(), 5000);
  EXPECT_EQ(At(*dialog, 336, 14), FixturePictures::Color(326));
}

TEST_F(DiyDialogTest, DecorationsByTemplateAndPage) {
  auto login = Shown(102, kSettingsFace);
  login->SetDecorationId(102);
  EXPECT_EQ(At(*login, 109, 62), FixturePictures::Color(369));
  EXPECT_EQ(At(*login, 362, 105 + 28), FixturePictures::Color(369));
  EXPECT_EQ(At(*login, 109, 92), FixturePictures::Color(kSettingsFace));

  auto settings = Shown(129, kSettingsFace);
  settings->SetDecorationId(129);
  EXPECT_EQ(At(*settings, 30, 350), FixturePictures::Color(kSettingsFace));
  settings->SetPage(1);
  EXPECT_EQ(At(*settings, 30, 350), FixturePictures::Color(370));
  EXPECT_EQ(At(*settings, 29 + 178, 349 + 16), FixturePictures::Color(370));
  settings->SetPage(0);
  EXPECT_EQ(At(*settings, 30, 350), FixturePictures::Color(kSettingsFace));
}

TEST_F(DiyDialogTest, MissingFaceAndPicturesLeaveNothingUndrawn) {
  m_pictures.SetMissing(kFace);
  m_pictures.SetMissing(376);
  auto dialog = std::make_unique<tray::CDiyDialog>(105);
  dialog->SetBackgroundImage(kFace);
  EXPECT_FALSE(dialog->ResizeToFace());
  dialog->resize(200, 120);
  dialog->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
  EXPECT_EQ(At(*dialog, 100, 100), tray::skin::kNeutralFace);
  EXPECT_EQ(At(*dialog, 10, 10), tray::skin::kNeutralFace);  // no logo picture: skipped
}

TEST_F(DiyDialogTest, MaskFollowsResizing) {
  auto dialog = Shown();
  EXPECT_FALSE(dialog->mask().contains(QPoint(0, 0)));
  EXPECT_FALSE(dialog->mask().contains(QPoint(354, 196)));
  EXPECT_TRUE(dialog->mask().contains(QPoint(354, 100)));
  dialog->resize(484, 426);
  EXPECT_TRUE(dialog->mask().contains(QPoint(483, 200)));
  EXPECT_FALSE(dialog->mask().contains(QPoint(483, 425)));
  EXPECT_TRUE(dialog->mask().contains(QPoint(480, 422)));
  // The title buttons follow the width.
  EXPECT_EQ(dialog->CloseButton()->geometry(), QRect(450, 0, 32, 30));
  dialog->SetCornerRadius(14);
  EXPECT_FALSE(dialog->mask().contains(QPoint(1, 1)));
}

TEST_F(DiyDialogTest, PressInTheStripMovesTheWindow) {
  auto dialog = Shown();
  QTest::mousePress(dialog.get(), Qt::LeftButton, {}, QPoint(150, 40));
  QTest::mouseRelease(dialog.get(), Qt::LeftButton, {}, QPoint(150, 40));
  EXPECT_EQ(dialog->systemMoves, 1);
  QTest::mousePress(dialog.get(), Qt::LeftButton, {}, QPoint(150, 41));
  QTest::mouseRelease(dialog.get(), Qt::LeftButton, {}, QPoint(150, 41));
  EXPECT_EQ(dialog->systemMoves, 1);

  // Where the window system has no move of its own, the dialog follows the mouse.
  dialog->systemMoveWorks = false;
  const QPoint start = dialog->pos();
  QTest::mousePress(dialog.get(), Qt::LeftButton, {}, QPoint(100, 20));
  QTest::mouseMove(dialog.get(), QPoint(150, 60));
  QTRY_COMPARE_WITH_TIMEOUT(dialog->pos(), start + QPoint(50, 40), 5000);
  QTest::mouseRelease(dialog.get(), Qt::LeftButton, {}, QPoint(100, 20));
  const QPoint moved = dialog->pos();
  QTest::mouseMove(dialog.get(), QPoint(10, 10));
  QApplication::processEvents();
  EXPECT_EQ(dialog->pos(), moved);
}

TEST_F(DiyDialogTest, CloseAndMinimiseButtons) {
  auto dialog = Shown();
  QTest::mouseClick(dialog->MinimizeButton(), Qt::LeftButton, {}, QPoint(13, 12));
  QTRY_VERIFY_WITH_TIMEOUT(dialog->isMinimized(), 5000);
  dialog->showNormal();
  QTest::mouseClick(dialog->CloseButton(), Qt::LeftButton, {}, QPoint(16, 15));
  EXPECT_TRUE(dialog->isVisible());  // the close is posted
  QTRY_VERIFY_WITH_TIMEOUT(!dialog->isVisible(), 5000);
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

}  // namespace
