// The update dialogs as the user sees them: the program's own pictures and language files,
// the run script's site, each language once; the grabs are written to the build folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>

#include <memory>

#include "banner.h"
#include "hermetic.h"
#include "html_dlg.h"
#include "languages.h"
#include "pictures.h"
#include "qt_app.h"
#include "settings_store.h"
#include "skin_buttons.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "update_dlg.h"
#include "web_config.h"

namespace {

class UpdateLookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    tray::InitPictures();
    tray::SetLanguageFolder(QStringLiteral(TIRVAN_LANG_SOURCE_DIR));
    peer = std::make_unique<support::WebPeer>(
        TIRVAN_WEB_BIN, std::vector<std::string>{"--manifest", TIRVAN_WEB_SITE "/manifest"},
        tmp.Sub("web.log"), false);
    ASSERT_TRUE(peer->ok()) << peer->Log();
    tray::WebConfig c;
    c.webBase = QString::fromStdString(peer->base());
    tray::SetWebConfig(c);
    store = std::make_unique<tray::FileSettingsStore>(QString::fromStdString(tmp.Sub("s.ini")));
  }
  void TearDown() override {
    traytest::UseNoWebServer();
    tray::SetLanguageFolder(QString());
  }
  static void Save(QWidget& w, const QString& name) {
    EXPECT_TRUE(w.grab().save(traytest::ShotPath(name)));
  }
  support::TempDir tmp;
  std::unique_ptr<support::WebPeer> peer;
  std::unique_ptr<tray::FileSettingsStore> store;
};

TEST_F(UpdateLookTest, EachLanguageWithTheSiteAndWithTheLocalBanner) {
  tray::LanguagesRef languages;
  for (int language = 0; language < 3; ++language) {
    languages->SetLanguage(language);
    const QString tag = QString::number(language);

    tray::CUpdateDlg notes;
    ASSERT_TRUE(notes.OnInitDialog()) << language;
    EXPECT_EQ(notes.size(), QSize(529, 284));
    EXPECT_FALSE(notes.NotesEdit()->toPlainText().isEmpty());
    Save(notes, QStringLiteral("look_update_dlg_") + tag + QStringLiteral(".png"));

    tray::CUpdateNoticeDlg question(QStringLiteral("0.2.0.0"), store.get());
    question.OnInitDialog();
    QSignalSpy banner(question.Banner(), &tray::CHtmlDlg::navigated);
    ASSERT_TRUE(banner.wait(10000));
    EXPECT_FALSE(question.Banner()->OnLocalPage());
    EXPECT_EQ(question.size(), QSize(634, 324));
    Save(question, QStringLiteral("look_update_notice_") + tag + QStringLiteral(".png"));
    EXPECT_TRUE(question.Question()->text().contains(QStringLiteral("0.2.0.0")));
  }

  peer->Stop();  // the banner page cannot be had: the local banner of the language
  for (int language = 0; language < 3; ++language) {
    languages->SetLanguage(language);
    tray::CUpdateNoticeDlg question(QStringLiteral("0.2.0.0"), store.get());
    question.OnInitDialog();
    QSignalSpy banner(question.Banner(), &tray::CHtmlDlg::navigated);
    ASSERT_TRUE(banner.wait(10000));
    EXPECT_TRUE(question.Banner()->OnLocalPage());
    QImage seen = question.Banner()->grab().toImage();
    QImage local(tray::LocalBannerPicture(language));
    ASSERT_FALSE(local.isNull());
    EXPECT_EQ(seen.pixel(200, 50), local.convertToFormat(seen.format()).pixel(200, 50));
    Save(question, QStringLiteral("look_update_notice_local_") + QString::number(language) +
                       QStringLiteral(".png"));
  }
  languages->SetLanguage(1);
}

}  // namespace
