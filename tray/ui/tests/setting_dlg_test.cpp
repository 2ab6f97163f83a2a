#include "hermetic.h"
#include "setting_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTest>

#include "about_dlg.h"
#include "connect_dlg.h"
#include "dialog_options.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "login_dlg.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "skin_buttons.h"
#include "switch_account_dlg.h"
#include "settings_store.h"
#include "web_config.h"

#include <QTemporaryDir>
#include <QTimer>

#include <cstring>
#include <thread>

namespace {

class SettingDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    traytest::FillDialogOptions(options, &service, &shell, &trayBackend, &autostart, &shellFolder);
    // Settings of a user the installer did not set up: never the real ones, no wizard.
    tray::SetSettingsStore(&noSettings);
  }
  void TearDown() override {
    tray::SetSettingsStore(nullptr);
    traytest::ForgetLanguages();
  }
  traytest::FakeService service;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
  QTemporaryDir settingsDir;
  tray::FileSettingsStore noSettings{settingsDir.filePath(QStringLiteral("settings.ini"))};
};

TEST_F(SettingDlgTest, StaysHiddenWithATrayAndOnlyHidesOnCloseAndEscape) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();  // the start-up log-on
  EXPECT_TRUE(dlg.TrayAvailable());
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(dlg.LoginWindow()->isVisible());  // no stored account
  ASSERT_FALSE(trayBackend.calls.empty());
  EXPECT_EQ(trayBackend.calls.front().command, tray::TrayCommand::Add);

  dlg.LoginWindow()->hide();
  dlg.ShowSettings();
  EXPECT_TRUE(dlg.isVisible());
  QTest::keyClick(&dlg, Qt::Key_Return);
  EXPECT_TRUE(dlg.isVisible());
  QTest::keyClick(&dlg, Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());
  dlg.ShowSettings();
  dlg.close();
  EXPECT_FALSE(dlg.isVisible());
  dlg.ShowSettings();
  dlg.Minimize();
  EXPECT_FALSE(dlg.isVisible());

  // The account page, as a person sees it.
  dlg.ShowSettingsPage(tray::CSettingDlg::kPageAccount);
  dlg.grab().save(traytest::ShotPath(QStringLiteral("settings_account.png")));
  tray::CSwitchAccountDlg question(&dlg);
  question.grab().save(traytest::ShotPath(QStringLiteral("switch_account.png")));
}

TEST_F(SettingDlgTest, WithAStoredAccountTheLoginWindowIsMadeOnlyWhenNeededAndShowsTheAccount) {
  service.answersLogOnInfo = true;
  std::strcpy(service.stored.account, "someone@example.com");
  std::strcpy(service.stored.password, "hash");
  auto loginWindows = [] {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) n += qobject_cast<tray::CLoginDlg*>(w) != nullptr;
    return n;
  };
  const int before = loginWindows();
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();  // the start-up log-on with the stored account
  EXPECT_EQ(loginWindows(), before);
  EXPECT_FALSE(dlg.LoginWindowVisible());
  dlg.OnExit();  // hides what exists; nothing to hide here
  ASSERT_NE(dlg.LoginWindow(), nullptr);
  EXPECT_EQ(loginWindows(), before + 1);
  EXPECT_FALSE(dlg.LoginWindow()->isVisible());
  auto* account = dlg.LoginWindow()->findChild<QLineEdit*>(QStringLiteral("1004"));
  ASSERT_NE(account, nullptr);
  EXPECT_EQ(account->text(), QStringLiteral("someone@example.com"));
}

TEST_F(SettingDlgTest, WithoutATrayTheWindowShowsAndMenuCommandsReachTheirTargets) {
  trayBackend.failures = 1000;  // no tray on this desktop
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  EXPECT_FALSE(dlg.TrayAvailable());
  EXPECT_TRUE(dlg.LoginWindow()->isVisible() || dlg.isVisible());

  tray::WebConfig web;
  web.webBase = QStringLiteral("https://127.0.0.1:8443");
  web.blogBase = QStringLiteral("https://127.0.0.1:9443");
  tray::SetWebConfig(web);
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdHelp);
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdDownload);
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdFeedback);
  EXPECT_EQ(shell.urls, (QStringList{QStringLiteral("https://127.0.0.1:8443/faq.html"),
                                     QStringLiteral("https://127.0.0.1:8443/download.html"),
                                     QStringLiteral("https://127.0.0.1:9443/book")}));
  traytest::UseNoWebServer();
}

TEST_F(SettingDlgTest, ReleaseNotesShowOnceAfterAnUpdate) {
  QTemporaryDir dir;
  tray::FileSettingsStore store(dir.filePath(QStringLiteral("settings.ini")));
  ASSERT_TRUE(store.CreateKey());
  ASSERT_TRUE(store.SetDword(QStringLiteral("SetupWizard"), 1));  // the first-run wizard ran
  tray::SetSettingsStore(&store);
  tray::WebConfig web;
  web.webBase = QStringLiteral("https://127.0.0.1:9");  // the notes cannot be had: no dialog
  tray::SetWebConfig(web);
  for (uint32_t before : {1u, 0u, 7u}) {
    store.SetDword(QStringLiteral("UpdateFinish"), before);
    tray::CSettingDlg dlg(options);
    QCoreApplication::processEvents();
    EXPECT_EQ(store.GetDword(QStringLiteral("UpdateFinish")), before == 1 ? 0u : before);
  }
  traytest::UseNoWebServer();
}

TEST_F(SettingDlgTest, SwitchAccountQuestionAnswersOkAndCancel) {
  for (bool ok : {true, false}) {
    tray::CSwitchAccountDlg question;
    QTimer::singleShot(0, &question, [&] {
      QTest::mouseClick(ok ? static_cast<QWidget*>(question.OkButton()) : question.CancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(question.exec(), ok ? QDialog::Accepted : QDialog::Rejected);
  }
  tray::CSwitchAccountDlg question;
  QTimer::singleShot(0, &question, [&] { QTest::keyClick(&question, Qt::Key_Escape); });
  EXPECT_EQ(question.exec(), QDialog::Rejected);
}

}  // namespace

namespace {

TEST_F(SettingDlgTest, AboutCommandRunsTheAboutDialogAndAWaitingDeviceLoginComesFirstOnAClick) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  dlg.LoginWindow()->hide();
  bool sawAbout = false;
  QTimer::singleShot(0, &dlg, [&] {
    sawAbout = dlg.AboutWindow() != nullptr && dlg.AboutWindow()->isVisible();
    if (dlg.AboutWindow()) dlg.AboutWindow()->close();
  });
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdAbout);
  EXPECT_TRUE(sawAbout);
  EXPECT_EQ(dlg.AboutWindow(), nullptr);

  // A question from the transport's thread reaches the queue through the loop.
  tray::DeviceLoginInfo info{};
  std::strcpy(info.sender, "phone");
  info.id = 5;
  std::thread([&] { dlg.OnDeviceLoginRequest(&info); }).join();
  EXPECT_TRUE(dlg.DeviceLogins().empty());
  QCoreApplication::processEvents();
  ASSERT_EQ(dlg.DeviceLogins().size(), 1u);
  EXPECT_EQ(dlg.Flow().mobileState(), tray::kMobileAwaitingApproval);
  uint32_t shown = 0;
  QTimer::singleShot(0, &dlg, [&] {
    if (!dlg.ConnectWindow()) return;
    shown = dlg.ConnectWindow()->Info().id;
    QTest::keyClick(dlg.ConnectWindow(), Qt::Key_Escape);
  });
  dlg.OnTrayActivated(tray::TrayActivation::LeftClick);
  EXPECT_EQ(shown, 5u);
  EXPECT_FALSE(dlg.isVisible());  // the question, not the settings
  EXPECT_EQ(dlg.Flow().mobileState(), tray::kMobileNoDevice);
  // With no question left and no account logged on, the next click (a later turn of the
  // loop) brings up the login window.
  QCoreApplication::processEvents();
  dlg.OnTrayActivated(tray::TrayActivation::LeftClick);
  EXPECT_TRUE(dlg.LoginWindow()->isVisible());
  EXPECT_FALSE(dlg.isVisible());
}

}  // namespace
