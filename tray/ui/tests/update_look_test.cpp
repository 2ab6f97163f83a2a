// The update dialogs as the user sees them: the program's own pictures and language files,
// the run script's site, each language once; the grabs are written to the build folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>

#include <cstdlib>
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
#include "dialog_options.h"
#include "fakes/spin.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "no_shell_folder.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "login_dlg.h"
#include "setting_dlg.h"

namespace {

class UpdateLookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    tray::InitPictures();
    tray::SetLanguageFolder(QStringLiteral(TIRVAN_LANG_SOURCE_DIR));
    std::string error;
    ASSERT_TRUE(support::MakeTestCa(tmp.path(), &ca, &error)) << error;
    peer = std::make_unique<support::WebPeer>(
        TIRVAN_WEB_BIN,
        std::vector<std::string>{"--manifest", TIRVAN_WEB_SITE "/manifest", "--cert", ca.certFile, "--key", ca.keyFile},
        tmp.Sub("web.log"), true);
    ASSERT_TRUE(peer->ok()) << peer->Log();
    tray::WebConfig c;
    c.webBase = QString::fromStdString(peer->base());
    c.caFile = QString::fromStdString(ca.caFile);
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
  support::TestCa ca;
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
    // The picture covers the whole strip: scaled to it, the overhang cut evenly.
    const QSize strip = question.Banner()->size();
    local = local.scaled(strip, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    local = local.copy((local.width() - strip.width()) / 2, (local.height() - strip.height()) / 2, strip.width(),
                       strip.height());
    const QRgb want = local.convertToFormat(seen.format()).pixel(200, 50), got = seen.pixel(200, 50);
    EXPECT_LE(std::abs(qRed(got) - qRed(want)) + std::abs(qGreen(got) - qGreen(want)) +
                  std::abs(qBlue(got) - qBlue(want)),
              6)
        << std::hex << got << " " << want;
    Save(question, QStringLiteral("look_update_notice_local_") + QString::number(language) +
                       QStringLiteral(".png"));
  }
  languages->SetLanguage(1);
}

// The banner strip under the owner's caption from border to border, and its page (or
// picture) over all of it: no pale strip at its right end nor at its bottom.
void ExpectBannerFills(QWidget& owner, tray::CHtmlDlg* banner, const std::string& what) {
  ASSERT_TRUE(banner) << what;
  EXPECT_LE(banner->x(), 1) << what;
  EXPECT_GE(banner->geometry().right(), owner.width() - 2) << what;
  EXPECT_EQ(banner->y(), 41) << what;
  EXPECT_GE(banner->height(), tray::kBannerHeight) << what;
  EXPECT_EQ(banner->Browser()->geometry(), banner->rect()) << what;
  const QImage shot = banner->grab().toImage();
  for (int x : {shot.width() / 2, shot.width() - 3}) {
    for (int y : {4, shot.height() / 2, shot.height() - 4}) {
      EXPECT_LT(qGray(shot.pixel(x, y)), 235) << what << ": pale at " << x << "," << y;
    }
  }
}

TEST_F(UpdateLookTest, TheBannerFillsItsStripInTheQuestionAndInTheSettingsWindow) {
  tray::LanguagesRef languages;
  tray::SetLanguageFolder(QStringLiteral(TIRVAN_LANG_SOURCE_DIR));
  ASSERT_TRUE(store->CreateKey());
  ASSERT_TRUE(store->SetDword(QStringLiteral("SetupWizard"), 1));
  tray::SetSettingsStore(store.get());
  traytest::FakeService service;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::FakeAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
  traytest::FillDialogOptions(options, &service, &shell, &trayBackend, &autostart, &shellFolder);
  for (bool site : {true, false}) {
    if (!site) peer->Stop();  // the local banner of the language
    for (int language = 0; language < 3; ++language) {
      languages->SetLanguage(language);
      const std::string what = std::string(site ? "page " : "picture ") + std::to_string(language);
      {
        tray::CUpdateNoticeDlg question(QStringLiteral("0.2.0.0"), store.get());
        question.OnInitDialog();
        QSignalSpy done(question.Banner(), &tray::CHtmlDlg::navigated);
        ASSERT_TRUE(done.wait(10000)) << what;
        ASSERT_EQ(question.Banner()->OnLocalPage(), !site) << what;
        ExpectBannerFills(question, question.Banner(), "question, " + what);
      }
      {
        tray::CSettingDlg dlg(options);
        // The banner is made and fetched in the loop's first pass.
        ASSERT_TRUE(traytest::Spin([&] { return dlg.Banner() != nullptr; }, 10000)) << what;
        QSignalSpy done(dlg.Banner(), &tray::CHtmlDlg::navigated);
        ASSERT_TRUE(done.wait(10000)) << what;
        ASSERT_EQ(dlg.Banner()->OnLocalPage(), !site) << what;
        dlg.LoginWindow()->hide();
        ExpectBannerFills(dlg, dlg.Banner(), "settings, " + what);
        Save(dlg, QStringLiteral("look_settings_banner_%1_%2.png").arg(site ? 1 : 0).arg(language));
      }
    }
  }
  tray::SetSettingsStore(nullptr);
  languages->SetLanguage(1);
}

}  // namespace
