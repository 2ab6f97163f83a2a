// The settings dialog and the update checker against tirvan-web over HTTPS: each report
// of the check reaches the dialog in its order, UpdateFinish is written when the download
// was checked, the program ends and starts the installer only while its digest holds, a
// manual check with nothing new says so, and the release notes at start answer no
// question.
#include "hermetic.h"
#include "setting_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialog_options.h"
#include "diy_static.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "message_box.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "recording_process.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "settings_store.h"
#include "spin.h"
#include "update_dlg.h"
#include "wizard_dlg.h"
#include "support/temp_dir.h"
#include "support/web_peer.h"
#include "web_config.h"

namespace {

using Events = std::vector<std::string>;

// The settings file, with every write of UpdateFinish noted in the events.
class NotingStore final : public tray::ISettingsStore {
 public:
  NotingStore(const QString& path, Events* events) : m_file(path), m_events(events) {}
  tray::FileSettingsStore& file() { return m_file; }
  bool KeyExists() const override { return m_file.KeyExists(); }
  std::optional<uint32_t> GetDword(const QString& n) const override { return m_file.GetDword(n); }
  std::optional<QString> GetString(const QString& n) const override { return m_file.GetString(n); }
  bool SetDword(const QString& n, uint32_t v) override {
    bool ok = m_file.SetDword(n, v);
    if (n == QLatin1String(tray::kUpdateFinishValue))
      m_events->push_back("UpdateFinish := " + std::to_string(v) + (ok ? "" : " (no key)"));
    return ok;
  }
  bool SetString(const QString& n, const QString& v) override { return m_file.SetString(n, v); }
  bool DeleteValue(const QString& n) override { return m_file.DeleteValue(n); }

 private:
  tray::FileSettingsStore m_file;
  Events* m_events;
};

constexpr const char* kInstaller = "#!/bin/sh\necho installed > \"$(dirname \"$0\")/installer-ran\"\n";

class SettingUpdateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    s_ca = support::SharedTestCa(&error);
    ASSERT_NE(s_ca, nullptr) << error;
  }

  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    tray::GetLanguages()->SetLanguage(1);
    tray::GetLanguages()->Release();
    tmp.MakeDir("data");
    tmp.MakeDir("site");
    tmp.MakeDir("site/files");
    tmp.Write("site/files/setup.sh", kInstaller);
    store = std::make_unique<NotingStore>(QString::fromStdString(tmp.Sub("settings.ini")), &events);
    tray::SetSettingsStore(store.get());

    traytest::FillDialogOptions(options, &service, &shell, &trayBackend, &autostart, &shellFolder);
    options.showWhenNoTray = false;
    options.updater.dataFolder = QString::fromStdString(tmp.Sub("data"));
    options.updater.ownVersion = QStringLiteral("1.0.0.9");
    options.updater.pageTimeoutMs = 3000;
    options.updater.lowSpeedSeconds = 2;
    options.launcher = &launcher;
    options.askUpdate = [this](const QString& version) {
      events.push_back("ask " + version.toStdString());
      return answer;
    };
  }
  void TearDown() override {
    tray::SetSettingsStore(nullptr);
    traytest::UseNoWebServer();
    traytest::ForgetLanguages();
  }
  void Serve(const std::string& version) {
    tmp.Write("site/manifest",
              "/tirvan/update-pc.html expand body={\"version\":\"" + version +
                  "\",\"down\":\"{base}\\/files\\/setup.sh\",\"md5\":\"{md5:files/setup.sh}\","
                  "\"size\":\"{size:files/setup.sh}\"}\n"
                  "/tirvan/update-pc.html?L=en body={\"data\":{\"text\":\"Faster uploads.\"}}\n");
    peer = std::make_unique<support::WebPeer>(
        TIRVAN_WEB_BIN,
        std::vector<std::string>{"--manifest", tmp.Sub("site/manifest"), "--cert", s_ca->certFile, "--key",
                                 s_ca->keyFile},
        tmp.Sub("web.log"), true);
    ASSERT_TRUE(peer->ok()) << peer->Log();
    tray::WebConfig c;
    c.webBase = c.blogBase = QString::fromStdString(peer->base());
    c.caFile = QString::fromStdString(s_ca->caFile);
    tray::SetWebConfig(c);
  }
  // Runs the program's loop until the dialog ends it (false: it did not within ms).
  static bool RunUntilExit(int ms = 30000) {
    bool timedOut = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
      timedOut = true;
      QCoreApplication::exit(1);
    });
    guard.start(ms);
    QApplication::exec();
    return !timedOut;
  }
  // The key of a user who saw the first-run wizard already.
  bool MakeKey() { return store->file().CreateKey() && store->SetDword(QStringLiteral("SetupWizard"), 1); }
  QString InstallerPath() const { return QString::fromStdString(tmp.Sub("data/Tirvan.exe")); }

  static const support::TestCa* s_ca;
  support::TempDir tmp;
  Events events;
  std::unique_ptr<NotingStore> store;
  std::unique_ptr<support::WebPeer> peer;
  int answer = tray::kNoticeUpdate;
  traytest::FakeService service;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  traytest::RecordingProcess launcher;
  tray::SettingDlgOptions options;
};

const support::TestCa* SettingUpdateTest::s_ca = nullptr;

TEST_F(SettingUpdateTest, AnAcceptedUpdateReachesTheDialogInOrderAndTheCheckedInstallerStartsAtExit) {
  Serve("1.0.0.10");
  struct Case {
    const char* name;
    bool key;
    bool tamper;  // the installer changes between its check and the exit
    Events events;
    bool started;
  };
  const Case cases[] = {
      {"with the key", true, false, {"ask 1.0.0.10", "UpdateFinish := 1", "exit"}, true},
      {"without the key: installed all the same, without notes", false, false,
       {"ask 1.0.0.10", "UpdateFinish := 1 (no key)", "exit"}, true},
      {"a changed installer is not started", true, true, {"ask 1.0.0.10", "UpdateFinish := 1", "exit"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(store->file().path());
    QFile::remove(InstallerPath());
    if (c.key) {
      ASSERT_TRUE(MakeKey());
    }
    events.clear();
    launcher.calls.clear();
    options.checkForUpdates = true;
    options.updateCheckDelayMs = 0;
    {
      tray::CSettingDlg dlg(options);
      ASSERT_TRUE(RunUntilExit());
      events.push_back("exit");
      EXPECT_EQ(events, c.events);
      EXPECT_TRUE(dlg.Exiting());
      EXPECT_TRUE(dlg.RunInstaller());
      EXPECT_TRUE(launcher.calls.empty());  // not before the dialog goes
      if (c.tamper) {
        QFile f(InstallerPath());
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("rm -rf \"$HOME\"\n");
      }
    }
    ASSERT_EQ(launcher.calls.size(), c.started ? 1u : 0u);
    if (c.started) {
      EXPECT_EQ(launcher.calls[0].program, InstallerPath());
    }
    if (c.key) {
      EXPECT_EQ(store->GetDword(QStringLiteral("UpdateFinish")), 1u);
    }
    EXPECT_EQ(store->KeyExists(), c.key);
  }
  EXPECT_EQ(peer->Requests("/files/setup.sh"), 3);
}

TEST_F(SettingUpdateTest, AManualCheckWithNothingNewSaysSoInOneBox) {
  Serve("1.0.0.9");
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  QStringList boxes;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<tray::CDiyMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    boxes << box->TitleText() + QStringLiteral(" | ") + box->Label()->text();
    box->accept();
  });
  poll.start(10);
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdUpdate);
  ASSERT_TRUE(traytest::Spin([&] { return !boxes.isEmpty() && !dlg.Updater().IsChecking(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(boxes, QStringList{QStringLiteral("Tirvan update | You have the latest version of Tirvan.")});
  EXPECT_FALSE(dlg.Exiting());
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(peer->Requests("/files/setup.sh"), 0);
}

TEST_F(SettingUpdateTest, TheReleaseNotesAtStartAnswerNoPendingQuestion) {
  Serve("1.0.0.10");
  ASSERT_TRUE(MakeKey());
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateFinish"), 1));
  events.clear();
  // While the question is put, the once-after-update step runs; the user then refuses.
  options.askUpdate = nullptr;
  answer = tray::kNoticeCancel;
  QTimer closer;  // the user reads the notes and presses OK
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* notes = qobject_cast<tray::CUpdateDlg*>(QApplication::activeModalWidget())) {
      events.push_back("notes: " + notes->NotesEdit()->toPlainText().toStdString());
      notes->accept();
    }
  });
  closer.start(10);
  dlg.Updater().SetAskFunction([&](const QString& version) {
    events.push_back("ask " + version.toStdString());
    dlg.ShowUpdateFinishOnce();
    events.push_back("notes closed");
    return tray::kNoticeCancel;
  });
  ASSERT_TRUE(dlg.Updater().StartCheck(true));
  ASSERT_TRUE(traytest::Spin([&] { return !dlg.Updater().IsChecking(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(events, (Events{"ask 1.0.0.10", "UpdateFinish := 0", "notes: Faster uploads.", "notes closed"}));
  EXPECT_EQ(peer->Requests("/files/setup.sh"), 0);
  EXPECT_FALSE(dlg.RunInstaller());
  EXPECT_FALSE(dlg.Exiting());
}

// A first start: the check at start finds a new version while the wizard is up. Its
// question waits until the wizard has ended, after the release notes, and comes once.
TEST_F(SettingUpdateTest, TheQuestionAndTheReleaseNotesWaitForTheWizardThenComeOnce) {
  Serve("1.0.0.10");
  ASSERT_TRUE(store->file().CreateKey());  // a new user's key: the wizard is due
  ASSERT_TRUE(store->SetDword(QStringLiteral("UpdateFinish"), 1));
  events.clear();
  answer = tray::kNoticeCancel;
  options.checkForUpdates = true;
  options.updateCheckDelayMs = 0;
  tray::CSettingDlg dlg(options);
  QElapsedTimer sinceWizard;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* notes = qobject_cast<tray::CUpdateDlg*>(modal)) {
      events.push_back("notes: " + notes->NotesEdit()->toPlainText().toStdString());
      notes->accept();
      return;
    }
    tray::CWizardDlg* wizard = dlg.WizardWindow();
    if (!wizard || !wizard->isVisible() || modal != wizard) return;
    if (!sinceWizard.isValid()) sinceWizard.start();
    if (dlg.HeldUpdateCount() == 0) {
      if (sinceWizard.elapsed() < 15000) return;
      events.push_back("nothing held behind the wizard");  // never left open
      wizard->close();
      return;
    }
    events.push_back("held " + std::to_string(dlg.HeldUpdateCount()) + " behind the wizard");
    wizard->grab().save(traytest::ShotPath(QStringLiteral("wizard_update_held.png")));
    wizard->close();
  });
  poll.start(10);
  ASSERT_TRUE(traytest::Spin([&] {
    return !dlg.WizardWindow() && !dlg.Updater().IsChecking() && dlg.HeldUpdateCount() == 0 && !events.empty() &&
           events.back().rfind("ask", 0) == 0;
  }, 30000)) << ::testing::PrintToString(events);
  QCoreApplication::processEvents();
  EXPECT_EQ(events, (Events{"held 1 behind the wizard", "UpdateFinish := 0", "notes: Faster uploads.",
                            "ask 1.0.0.10"}));
  EXPECT_EQ(store->GetDword(QStringLiteral("SetupWizard")), 1u);
  EXPECT_EQ(peer->Requests("/files/setup.sh"), 0);
  EXPECT_FALSE(dlg.Exiting());
}

}  // namespace
