#include "about_dlg.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTest>
#include <QTimer>

#include "diy_static.h"
#include "hermetic.h"
#include "pictures.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "updater.h"
#include "web_config.h"

namespace {

class AboutDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    tray::InitPictures();
    tray::SetLanguageFolder(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
  }
  void TearDown() override {
    tray::SetSystemLocaleOverride(std::nullopt);
    tray::SetLanguageFolder(QString());
  }
};

TEST_F(AboutDlgTest, LogoByLanguage) {
  struct Case {
    int language, picture;
  } cases[] = {{1, 374}, {2, 373}, {0, 372}, {3, 372}, {-1, 372}};
  for (const Case& c : cases) EXPECT_EQ(tray::AboutLogoForLanguage(c.language), c.picture) << c.language;
}

TEST_F(AboutDlgTest, ShowsTheVersionAndOpensTheHomePage) {
  tray::SetSystemLocaleOverride("en_US.UTF-8");
  traytest::RecordingShell shell;
  {
    tray::CAboutDlg dlg(&shell, QStringLiteral("3.3.0.12"));
    dlg.show();
    QCoreApplication::processEvents();
    dlg.repaint();
    EXPECT_TRUE(dlg.TextsLoaded());
    EXPECT_EQ(dlg.size(), QSize(447, 385));
    EXPECT_FALSE(dlg.ShowMinimize());
    EXPECT_EQ(dlg.LogoPicture(), 374);
    EXPECT_TRUE(dlg.VersionLabel()->text().endsWith(QStringLiteral("3.3.0.12")));
    EXPECT_FALSE(dlg.AboutLabel()->text().isEmpty());
    EXPECT_FALSE(dlg.LinkText().isEmpty());
    QTest::mouseClick(dlg.Link(), Qt::LeftButton);
    ASSERT_EQ(shell.urls.size(), 1);
    EXPECT_EQ(shell.urls[0], dlg.HomePageUrl());
    EXPECT_TRUE(shell.urls[0].startsWith(tray::CurrentWebConfig().webBase));
    dlg.grab().save(traytest::ShotPath(QStringLiteral("about.png")));
  }
  // Without a version given it shows the program's own.
  tray::CAboutDlg own(&shell);
  own.show();
  QCoreApplication::processEvents();
  own.repaint();
  EXPECT_TRUE(own.VersionLabel()->text().endsWith(tray::ProgramVersion()));
  EXPECT_FALSE(tray::ProgramVersion().isEmpty());
}

}  // namespace
