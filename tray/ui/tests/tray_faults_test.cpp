// The tray program's dialogs against hostile surroundings, each attack as the fixture:
//  - a peer on the service's port that drips every reply a byte at a time: the program
//    starts (windows, device-login listener, watchdog) and its timers keep firing, each
//    request failing within its deadline;
//  - language files that are missing, folders, or damaged: the store is read again only
//    at a change of language (never from a paint), the log says so once in English, and
//    the banner is fetched once, not in a loop.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>

#include "fakes/spin.h"
#include "dialog_options.h"
#include "fake_autostart.h"
#include "fake_peer.h"
#include "fake_service.h"
#include "languages.h"
#include "login_dlg.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "setting_dlg.h"
#include "settings_store.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "tray_log.h"
#include "ui_data.h"
#include "update_dlg.h"
#include "web_config.h"

namespace {

// The parts of a settings dialog that are no service: recording fakes, no settings of an
// installed user (so no first-run wizard), the shipped language files in English.
class DialogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    tray::SetSettingsStore(&noSettings);
  }
  void TearDown() override {
    tray::SetSettingsStore(nullptr);
    tray::SetWebConfig(tray::WebConfig{});
    traytest::ForgetLanguages();
  }
  void Fill(tray::IUIData* service) {
    traytest::FillDialogOptions(options, service, &shell, &trayBackend, &autostart, &shellFolder);
  }
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
  support::TempDir tmp;
  tray::FileSettingsStore noSettings{QString::fromStdString(tmp.Sub("settings.ini"))};
};

// ---- A service that drips its replies.

class SlowServiceTest : public DialogFixture {};

TEST_F(SlowServiceTest, StartAndTimersGoOnWhileEveryRequestFailsWithinItsDeadline) {
  constexpr int kDeadlineMs = 300;
  // Each reply would take minutes at one byte every 0.8 of the deadline.
  std::atomic<int> dripped{0};
  traytest::FakePeer peer(traytest::DripReply(traytest::Head(2000, 0x5001) + std::string(1992, 'x'),
                                              kDeadlineMs * 8 / 10, &dripped));
  tray::UIDataOptions uo;
  uo.transport.requestPort = peer.port();
  uo.transport.listenPort = 0;
  uo.transport.requestRecvTimeoutMs = kDeadlineMs;
  uo.networkProbe = [] { return true; };
  auto ui = std::make_unique<tray::CUIData>(uo);
  Fill(ui.get());
  options.watchdogMs = 100;

  QElapsedTimer clock;
  clock.start();
  auto dlg = std::make_unique<tray::CSettingDlg>(options);
  // The start waited for no reply: the listener takes questions and the windows exist.
  EXPECT_NE(ui->ListenPort(), 0);
  EXPECT_NE(dlg->LoginWindow(), nullptr);

  // A heartbeat on the GUI thread while the dialog's start-up log-on and its polls ask the
  // dripping service again and again.
  qint64 last = clock.elapsed(), maxGap = 0;
  int beats = 0;
  QTimer heartbeat;
  QObject::connect(&heartbeat, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    maxGap = std::max(maxGap, now - last);
    last = now;
    ++beats;
  });
  heartbeat.start(20);
  const int acceptedBefore = peer.accepted();
  QTest::qWait(3000);
  heartbeat.stop();
  maxGap = std::max(maxGap, clock.elapsed() - last);

  // A request in a slot of the loop holds it for at most its deadline (a slot may make a
  // few); a reply that could stretch the wait would hold it for the whole window.
  EXPECT_LT(maxGap, 2500) << "beats " << beats;
  EXPECT_GE(beats, 10);
  // Several requests went out and each was given up long before its reply was in.
  EXPECT_GE(peer.accepted() - acceptedBefore, 3);
  EXPECT_LT(dripped.load(), 2000 / 4);
  EXPECT_EQ(ui->GetSysType(), 2);
  dlg.reset();
  ui.reset();
}

// ---- Language files that cannot be read.

struct LanguageFixture {
  const char* name;
  const char* reason;  // what the log says about the file
  void (*make)(const support::TempDir& dir, const char* file);
};

void PrintTo(const LanguageFixture& f, std::ostream* os) { *os << f.name; }

const LanguageFixture kLanguageFixtures[] = {
    {"missing", "is missing", [](const support::TempDir&, const char*) {}},
    {"folders", "is a folder, not a file", [](const support::TempDir& d, const char* f) { d.MakeDir(f); }},
    {"damaged", "holds no texts (damaged or empty)",
     [](const support::TempDir& d, const char* f) {
       static const char kGarbage[] = "\xff\xfe\x00\x01 no sections at all\x00\x80\x81\n=\n";
       d.Write(f, std::string(kGarbage, sizeof kGarbage - 1));
     }},
};

class UnreadableLanguageFilesTest : public DialogFixture, public ::testing::WithParamInterface<LanguageFixture> {
 protected:
  void SetUp() override {
    DialogFixture::SetUp();
    for (int i = 0; i < 3; ++i) GetParam().make(langs, tray::LanguageFileName(i));
    tray::SetLanguageFolder(QString::fromStdString(langs.path()));
    // Every line written: a loop would show as many lines, not as one with a count.
    tray::TrayLogOptions lo;
    lo.repeatWindowMs = 0;
    ASSERT_TRUE(tray::InstallTrayLog(LogPath(), lo));

    std::string error;
    tmp.MakeDir("ca");
    ASSERT_TRUE(support::MakeTestCa(tmp.Sub("ca"), &ca, &error)) << error;
    tmp.Write("manifest", "/tirvan/bannerpc?L=en body=<p>Banner EN</p>\n"
                          "/tirvan/bannerpc?L=cn body=<p>Banner CN</p>\n");
    web = std::make_unique<support::WebPeer>(
        TIRVAN_WEB_BIN,
        std::vector<std::string>{"--manifest", tmp.Sub("manifest"), "--cert", ca.certFile, "--key", ca.keyFile},
        tmp.Sub("web.log"), true);
    ASSERT_TRUE(web->ok()) << web->Log();
    tray::WebConfig c;
    c.webBase = c.blogBase = QString::fromStdString(web->base());
    c.caFile = QString::fromStdString(ca.caFile);
    tray::SetWebConfig(c);
    Fill(&service);
  }
  void TearDown() override {
    tray::InstallTrayLog(QString::fromStdString(tmp.Sub("after.log")));
    DialogFixture::TearDown();
  }
  QString LogPath() const { return QString::fromStdString(tmp.Sub("tray.log")); }
  QStringList LogLines() const {
    tray::FlushTrayLog();
    QFile f(LogPath());
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  int LinesAbout(const char* file) const {
    const QString expected = QStringLiteral("language file %1/%2 %3;")
                                 .arg(QString::fromStdString(langs.path()), QLatin1String(file),
                                      QLatin1String(GetParam().reason));
    int n = 0;
    for (const QString& line : LogLines()) n += line.contains(expected) ? 1 : 0;
    return n;
  }

  struct Changes final : tray::ILanguageCallBack {
    int count = 0;
    void OnLanguageChanged() override { ++count; }
  };

  support::TempDir langs;
  support::TestCa ca;
  std::unique_ptr<support::WebPeer> web;
  traytest::FakeService service;
};

TEST_P(UnreadableLanguageFilesTest, PaintsDoNotReloadTheLogSaysItOnceAndTheBannerIsFetchedOnce) {
  tray::LanguagesRef languages;
  // The store reads the system's language (English) once for the program's start.
  languages->SelectSystemLanguage();
  ASSERT_FALSE(languages->IsLoaded());
  Changes changes;
  languages->AddListener(&changes);
  const int linesAtStart = static_cast<int>(LogLines().size());
  {
    tray::CSettingDlg dlg(options);
    ASSERT_TRUE(traytest::Spin([&] { return web->Requests("/tirvan/bannerpc?L=en") >= 1; }, 10000)) << web->Log();
    // Everything that paints: the settings window, the login window, the update question.
    dlg.ShowSettings();
    dlg.LoginWindow()->show();
    tray::CUpdateNoticeDlg notice(QStringLiteral("9.9"));
    notice.OnInitDialog();
    notice.show();
    ASSERT_TRUE(web->WaitRequests("/tirvan/bannerpc?L=en", 2, 10000)) << web->Log();
    for (int i = 0; i < 20; ++i) {
      dlg.grab();
      dlg.LoginWindow()->grab();
      notice.grab();
      dlg.update();
      dlg.LoginWindow()->update();
      notice.update();
      QTest::qWait(25);
    }
    // Nothing read the files again, nothing asked for the banner again.
    EXPECT_EQ(changes.count, 0);
    EXPECT_EQ(web->Requests("/tirvan/bannerpc?L=en"), 2);
    EXPECT_TRUE(dlg.Flags().textsApplied);
    EXPECT_TRUE(notice.TextsApplied());
    EXPECT_TRUE(dlg.LoginWindow()->TextsLoaded());
    // Said once, in the program's own words, and the program stayed quiet after it.
    EXPECT_EQ(LinesAbout("English.qzl"), 1) << LogLines().join(QLatin1Char('\n')).toStdString();
    EXPECT_LT(LogLines().size() - linesAtStart, 40) << LogLines().join(QLatin1Char('\n')).toStdString();

    // A real change of language tries the files again: once, and the banner follows once.
    languages->SetLanguage(tray::kLanguageChineseSimplified);
    EXPECT_EQ(changes.count, 1);
    ASSERT_TRUE(web->WaitRequests("/tirvan/bannerpc?L=cn", 2, 10000)) << web->Log();
    for (int i = 0; i < 10; ++i) {
      dlg.grab();
      notice.grab();
      QTest::qWait(25);
    }
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(web->Requests("/tirvan/bannerpc?L=cn"), 2);  // the settings window and the question
    EXPECT_EQ(LinesAbout("ChineseSimplified.qzl"), 1);
    // Back to a language already reported: tried, and not said again.
    languages->SetLanguage(tray::kLanguageEnglish);
    EXPECT_EQ(LinesAbout("English.qzl"), 1);
    notice.hide();
    dlg.LoginWindow()->hide();
    dlg.hide();
  }
  languages->RemoveListener(&changes);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, UnreadableLanguageFilesTest, ::testing::ValuesIn(kLanguageFixtures),
                         [](const ::testing::TestParamInfo<LanguageFixture>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
