// The tray side of the settings dialog: the icon and its animation following the states,
// the clicks and menus, the network going down and up, the banner and the exit's hotspot
// stop.
#include "hermetic.h"
#include "setting_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <QTemporaryDir>
#include <QTimer>

#include <cstring>
#include <thread>

#include "ap_dlg.h"
#include "connect_dlg.h"
#include "dialog_options.h"
#include "diy_menu.h"
#include "fake_autostart.h"
#include "fake_service.h"
#include "html_dlg.h"
#include "login_dlg.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "recording_process.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "settings_store.h"
#include "spin.h"
#include "wizard_dlg.h"

namespace {

struct FixedProbe final : tray::IAdapterProbe {
  tray::AdapterState Probe() override { return {true, true, QStringLiteral("wlan0")}; }
};

struct IdleNetwork final : tray::IHostedNetwork {
  bool ToolFound() const override { return true; }
  bool Busy() const override { return false; }
  bool Start(const QString&, const QString&, const QString&) override { return false; }
  bool Stop() override { return false; }
};

class SettingDlgTrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    tray::SetHostedNetworkStarted(false);
    ResetService();
    traytest::FillDialogOptions(options, &service, &shell, &trayBackend, &autostart, &shellFolder);
    options.adapters = &probe;
    options.hostedNetwork = &network;
    options.launcher = &launcher;
  }
  void TearDown() override {
    tray::SetHostedNetworkStarted(false);
    traytest::ForgetLanguages();
  }
  // A service whose answers the test sets, as it is before the test sets them.
  void ResetService() {
    service = traytest::FakeService{};
    service.status = tray::kNoAccount;
    service.mobile = tray::kMobileNoDevice;
    service.defShareResult = tray::kDefShareSet;
    service.defShare = "/home/someone/Tirvan";
    service.answersLogOnInfo = true;
    service.replyDeviceLoginResult = 0;
  }
  void StoreAccount() {
    std::strcpy(service.stored.account, "me@example.cn");
    std::strcpy(service.stored.password, "0123456789abcdef");
  }
  // The balloons the tray was asked to show.
  QStringList Balloons() const {
    QStringList texts;
    for (const auto& call : trayBackend.calls)
      if ((call.record.flags & tray::kTrayInfo) && call.command == tray::TrayCommand::Modify)
        texts << call.record.balloonText;
    return texts;
  }
  static QString Text(const char* section, const char* key) { return tray::GetLanguages()->GetString(section, key); }

  traytest::FakeService service;
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::RecordingProcess launcher;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  FixedProbe probe;
  IdleNetwork network;
  tray::SettingDlgOptions options;
};

TEST_F(SettingDlgTrayTest, IconAnimationAndMenusFollowTheStates) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  EXPECT_EQ(dlg.TrayIconId(), 174);
  EXPECT_EQ(dlg.TrayMenu(), dlg.MenuLoggedOff());

  service.status = tray::kLoggedOn;
  dlg.LogOnPollTick();
  EXPECT_EQ(dlg.TrayIconId(), 368);
  EXPECT_FALSE(dlg.TrayAnimating());
  EXPECT_EQ(dlg.TrayMenu(), dlg.MenuLoggedOn());
  EXPECT_EQ(dlg.MenuLoggedOn()->ItemText(32816), Text("UI", "TRAYMENU_MOBILE_OUTLINE"));
  EXPECT_FALSE(dlg.MenuLoggedOn()->Action(32816)->isEnabled());

  // An upload: three frames with an empty tip, round and round.
  service.mobile = tray::kMobileUploading;
  dlg.LogOnPollTick();
  EXPECT_TRUE(dlg.TrayAnimating());
  EXPECT_EQ(dlg.TrayAnimationPeriod(), 150);
  std::vector<int> icons;
  for (int i = 0; i < 4; ++i) {
    dlg.TrayAnimationTimerProc();
    icons.push_back(dlg.TrayIconId());
  }
  EXPECT_EQ(icons, (std::vector<int>{240, 241, 355, 240}));
  // The transfer ends: the next refresh stops the animation; a device is online.
  service.mobile = tray::kMobileIdle;
  dlg.LogOnPollTick();
  EXPECT_FALSE(dlg.TrayAnimating());
  EXPECT_EQ(dlg.TrayIconId(), 239);
  for (tray::CDiyMenu* menu : {dlg.MenuLoggedOn(), dlg.MenuLoggedOff()}) {
    EXPECT_TRUE(menu->OnlineMark());
    EXPECT_EQ(menu->ItemText(32816), Text("UI", "TRAYMENU_MOBILE_ONLINE"));
  }
  // The service has no answer about devices: nothing changes.
  service.mobile = tray::kMobileUnknown;
  dlg.LogOnPollTick();
  EXPECT_EQ(dlg.TrayIconId(), 239);

  // A right click opens the menu of the state.
  dlg.OnTrayActivated(tray::TrayActivation::RightClick);
  ASSERT_EQ(dlg.ShownTrayMenu(), dlg.MenuLoggedOn());
  dlg.ShownTrayMenu()->hide();
  service.status = tray::kNoAccount;
  service.mobile = tray::kMobileNoDevice;
  dlg.LogOnPollTick();
  dlg.OnTrayActivated(tray::TrayActivation::RightClick);
  ASSERT_EQ(dlg.ShownTrayMenu(), dlg.MenuLoggedOff());
  EXPECT_EQ(dlg.ShownTrayMenu()->objectName(), QStringLiteral("145"));
  EXPECT_EQ(dlg.ShownTrayMenu()->Action(32784), nullptr);  // no settings item
  dlg.ShownTrayMenu()->hide();
}

TEST_F(SettingDlgTrayTest, LeftClickRoutingAndTheDeviceLoginItem) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  // Not logged on: the login window comes up, the settings stay hidden.
  dlg.LoginWindow()->hide();
  dlg.OnTrayActivated(tray::TrayActivation::LeftClick);
  EXPECT_TRUE(dlg.LoginWindow()->isVisible());
  EXPECT_FALSE(dlg.isVisible());
  dlg.LoginWindow()->hide();

  // Logged on: the data folder opens; during the wizard nothing happens.
  service.status = tray::kLoggedOn;
  dlg.LogOnPollTick();
  dlg.OnTrayActivated(tray::TrayActivation::LeftClick);
  EXPECT_EQ(shell.folders, QStringList{QStringLiteral("/home/someone/Tirvan")});
  dlg.SetBusy(true);
  dlg.OnTrayActivated(tray::TrayActivation::LeftClick);
  EXPECT_EQ(shell.folders.size(), 1);
  EXPECT_FALSE(dlg.LoginWindow()->isVisible());

  // A question: the icon blinks at 500 ms, a notification offers it, and both menus
  // gain its item at the top, which shows the question.
  tray::DeviceLoginInfo info{};
  std::strcpy(info.sender, "phone");
  info.id = 7;
  std::thread([&] { dlg.OnDeviceLoginRequest(&info); }).join();
  QCoreApplication::processEvents();
  EXPECT_TRUE(dlg.TrayAnimating());
  EXPECT_EQ(dlg.TrayAnimationPeriod(), 500);
  dlg.TrayAnimationTimerProc();
  const int first = dlg.TrayIconId();
  dlg.TrayAnimationTimerProc();
  EXPECT_EQ((std::vector<int>{first, dlg.TrayIconId()}), (std::vector<int>{first, first == 255 ? 254 : 255}));
  EXPECT_EQ(Balloons(), QStringList{Text("MESSAGEBOX", "MSGBOX_DEVICELOGIN")});
  for (tray::CDiyMenu* menu : {dlg.MenuLoggedOn(), dlg.MenuLoggedOff()}) {
    QAction* item = menu->Action(tray::CSettingDlg::kCmdDeviceLogin);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->isVisible());
    EXPECT_EQ(menu->actions().value(0), item);
    EXPECT_EQ(item->text(), Text("UI", "TRAYMENU_DEVICELOGIN"));
  }
  uint32_t shown = 0;
  QTimer::singleShot(0, &dlg, [&] {
    if (!dlg.ConnectWindow()) return;
    shown = dlg.ConnectWindow()->Info().id;
    QTest::keyClick(dlg.ConnectWindow(), Qt::Key_Return);  // allow
  });
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdDeviceLogin);  // even while the wizard runs
  EXPECT_EQ(shown, 7u);
  ASSERT_EQ(service.replies.size(), 1u);
  EXPECT_EQ(service.replies[0].accepted, 1);
  EXPECT_FALSE(dlg.MenuLoggedOn()->Action(tray::CSettingDlg::kCmdDeviceLogin)->isVisible());
  dlg.LogOnPollTick();
  EXPECT_FALSE(dlg.TrayAnimating());

  // A click on the notification reaches the next question; a left click comes first for
  // a waiting question even during the wizard.
  dlg.SetBusy(false);
  info.id = 8;
  dlg.OnDeviceLoginRequest(&info);
  QCoreApplication::processEvents();
  for (auto how : {tray::TrayActivation::BalloonClick, tray::TrayActivation::LeftClick}) {
    if (how == tray::TrayActivation::LeftClick) {
      dlg.SetBusy(true);
      info.id = 9;
      dlg.OnDeviceLoginRequest(&info);
      QCoreApplication::processEvents();
    }
    shown = 0;
    QTimer::singleShot(0, &dlg, [&] {
      if (!dlg.ConnectWindow()) return;
      shown = dlg.ConnectWindow()->Info().id;
      QTest::keyClick(dlg.ConnectWindow(), Qt::Key_Escape);
    });
    dlg.OnTrayActivated(how);
    EXPECT_EQ(shown, how == tray::TrayActivation::BalloonClick ? 8u : 9u);
  }
  EXPECT_EQ(shell.folders.size(), 1);
}

// The desktop's tray delivers one press on the icon while a notification shows both as a
// click on the notification and as a left click, one after the other. The press that
// showed a question does nothing else: no data folder, no login window, no second question.
TEST_F(SettingDlgTrayTest, APressThatShowedAQuestionDoesNothingElse) {
  using tray::TrayActivation;
  const struct {
    const char* name;
    bool loggedOn;
    std::vector<TrayActivation> press;
  } cases[] = {
      {"logged on, notification first", true, {TrayActivation::BalloonClick, TrayActivation::LeftClick}},
      {"logged off, notification first", false, {TrayActivation::BalloonClick, TrayActivation::LeftClick}},
      {"logged on, icon first", true, {TrayActivation::LeftClick, TrayActivation::BalloonClick}},
      {"logged off, icon first", false, {TrayActivation::LeftClick, TrayActivation::BalloonClick}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetService();
    shell.folders.clear();
    tray::CSettingDlg dlg(options);
    QCoreApplication::processEvents();
    dlg.LoginWindow()->hide();
    if (c.loggedOn) {
      service.status = tray::kLoggedOn;
      dlg.LogOnPollTick();
    }
    // Two questions wait, so a second delivery would find one to show.
    tray::DeviceLoginInfo info{};
    std::strcpy(info.sender, "phone");
    for (uint32_t id : {21u, 22u}) {
      info.id = id;
      dlg.OnDeviceLoginRequest(&info);
    }
    QCoreApplication::processEvents();
    ASSERT_EQ(dlg.DeviceLogins().size(), 2u);
    std::vector<uint32_t> shown;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      if (!dlg.ConnectWindow() || !dlg.ConnectWindow()->isVisible()) return;
      shown.push_back(dlg.ConnectWindow()->Info().id);
      QTest::keyClick(dlg.ConnectWindow(), Qt::Key_Return);  // allow
    });
    answer.start(10);
    // The press, as the tray delivers it: both in one turn of the loop.
    bool delivered = false;
    QTimer::singleShot(0, &dlg, [&] {
      for (TrayActivation how : c.press) dlg.OnTrayActivated(how);
      delivered = true;
    });
    ASSERT_TRUE(traytest::Spin([&] { return delivered; }, 10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(shown, std::vector<uint32_t>{21u});
    EXPECT_TRUE(shell.folders.isEmpty());
    EXPECT_FALSE(dlg.LoginWindow()->isVisible());
    EXPECT_FALSE(dlg.isVisible());
    // The next press shows the next question, and the one after that does the click's own work.
    dlg.OnTrayActivated(TrayActivation::LeftClick);
    EXPECT_EQ(shown, (std::vector<uint32_t>{21u, 22u}));
    QCoreApplication::processEvents();
    dlg.OnTrayActivated(TrayActivation::LeftClick);
    EXPECT_EQ(shell.folders.size(), c.loggedOn ? 1 : 0);
    EXPECT_EQ(dlg.LoginWindow()->isVisible(), !c.loggedOn);
    dlg.LoginWindow()->hide();
  }
}

TEST_F(SettingDlgTrayTest, NetworkDropGivesOneBalloonAndItsReturnOneLogOn) {
  for (bool saved : {true, false}) {
    SCOPED_TRACE(saved);
    ResetService();
    trayBackend.calls.clear();
    if (saved) StoreAccount();
    tray::CSettingDlg dlg(options);
    QCoreApplication::processEvents();
    const int before = service.logOns;
    std::thread([&] {
      for (int i = 0; i < 3; ++i) dlg.OnNetworkDown();
    }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(Balloons(), QStringList{Text("MESSAGEBOX", "MSGBOX_ONNET")});
    EXPECT_EQ(dlg.TrayIconId(), 174);
    EXPECT_EQ(dlg.Flow().logOnState(), tray::kNoAccount);
    // While it stays down the icon stays, whatever the service says.
    service.status = tray::kLoggedOn;
    service.mobile = tray::kMobileIdle;
    dlg.LogOnPollTick();
    EXPECT_EQ(dlg.TrayIconId(), 174);
    service.status = tray::kNoAccount;
    service.mobile = tray::kMobileNoDevice;
    dlg.LogOnPollTick();

    std::thread([&] {
      dlg.OnNetworkUp();
      dlg.OnNetworkUp();
    }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(service.logOns - before, saved ? 1 : 0);
    EXPECT_EQ(dlg.Flow().logOnState(), saved ? tray::kLoggingOn : tray::kNoAccount);
    EXPECT_EQ(dlg.TrayAnimating(), saved);  // logging on animates
    EXPECT_EQ(Balloons().size(), 1);
  }
}

TEST_F(SettingDlgTrayTest, MenuCommandsReachTheirWindows) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  // Settings: with the login window up, that window is raised instead.
  ASSERT_TRUE(dlg.LoginWindow()->isVisible());
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdShareManage);
  EXPECT_FALSE(dlg.isVisible());
  dlg.LoginWindow()->hide();
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdShareManage);
  EXPECT_TRUE(dlg.isVisible());
  dlg.hide();

  bool sawHotspot = false;
  QTimer::singleShot(0, &dlg, [&] {
    sawHotspot = dlg.HostedNetworkWindow() && dlg.HostedNetworkWindow()->isVisible();
    if (dlg.HostedNetworkWindow()) dlg.HostedNetworkWindow()->close();
  });
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdHotspot);
  EXPECT_TRUE(sawHotspot);
  EXPECT_EQ(dlg.HostedNetworkWindow(), nullptr);

  dlg.OnMenuCommand(tray::CSettingDlg::kCmdOpenFolder);
  EXPECT_EQ(shell.folders, QStringList{QStringLiteral("/home/someone/Tirvan")});
  dlg.OnMenuCommand(tray::CSettingDlg::kCmdMobileLine);  // the status line does nothing
  EXPECT_FALSE(dlg.isVisible());
}

// A user the installer did not set up (no settings file) opens the hotspot dialog, which
// keeps its key: the next start still shows no first-run wizard.
TEST_F(SettingDlgTrayTest, TheHotspotsKeyNeverBringsTheWizardUp) {
  QTemporaryDir dir;
  tray::FileSettingsStore store(dir.filePath(QStringLiteral("config/Tirvan/settings.ini")));
  tray::SetSettingsStore(&store);
  bool wizardShown = false;
  QTimer poll;
  tray::CSettingDlg* current = nullptr;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (current && current->WizardWindow()) {
      wizardShown = true;
      current->WizardWindow()->close();
    }
    if (current && current->HostedNetworkWindow()) current->HostedNetworkWindow()->close();
  });
  poll.start(10);
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    tray::CSettingDlg dlg(options);
    current = &dlg;
    QCoreApplication::processEvents();  // the start-up steps
    dlg.OnMenuCommand(tray::CSettingDlg::kCmdHotspot);
    EXPECT_EQ(dlg.HostedNetworkWindow(), nullptr);
    current = nullptr;
  }
  EXPECT_FALSE(wizardShown);
  EXPECT_TRUE(store.GetString(QStringLiteral("HotspotKey")).has_value());  // kept all the same
  EXPECT_FALSE(tray::FirstRunWizardDue(store));
  tray::SetSettingsStore(nullptr);
}

TEST_F(SettingDlgTrayTest, BannerFollowsTheLanguage) {
  tray::CSettingDlg dlg(options);
  // Made by the start-up step, once the loop runs: not on the way to the tray icon.
  EXPECT_EQ(dlg.Banner(), nullptr);
  QCoreApplication::processEvents();
  ASSERT_NE(dlg.Banner(), nullptr);
  EXPECT_EQ(dlg.Banner()->size(), QSize(483, 113));
  EXPECT_EQ(dlg.Banner()->pos(), QPoint(1, dlg.CaptionHeight()));
  EXPECT_EQ(dlg.Banner()->parentWidget(), &dlg);
  EXPECT_TRUE(dlg.Banner()->Address().endsWith(QStringLiteral("/tirvan/bannerpc?L=en")))
      << dlg.Banner()->Address().toStdString();
  // The page cannot be had here: the strip falls back to the language's picture.
  QSignalSpy navigated(dlg.Banner(), &tray::CHtmlDlg::navigated);
  ASSERT_TRUE(navigated.wait(10000));
  EXPECT_TRUE(dlg.Banner()->OnLocalPage());
  dlg.LoginWindow()->hide();
  dlg.ShowSettings();
  dlg.grab().save(traytest::ShotPath(QStringLiteral("settings_banner.png")));
  dlg.hide();
  const int language = tray::GetLanguages()->GetLanguage();
  for (auto [index, letter] : {std::pair{0, "cn"}, std::pair{2, "tw"}}) {
    tray::GetLanguages()->SetLanguage(index);
    EXPECT_TRUE(dlg.Banner()->Address().endsWith(QStringLiteral("?L=") + QLatin1String(letter)))
        << dlg.Banner()->Address().toStdString();
    EXPECT_EQ(dlg.Banner()->Language(), index);
  }
  tray::GetLanguages()->SetLanguage(language);
}

TEST_F(SettingDlgTrayTest, ExitStopsTheHotspotOnlyWhenThisProgramStartedIt) {
  for (bool started : {false, true}) {
    launcher.calls.clear();
    {
      tray::CSettingDlg dlg(options);
      QCoreApplication::processEvents();
      tray::SetHostedNetworkStarted(started);
      dlg.OnMenuCommand(tray::CSettingDlg::kCmdExit);
    }
    ASSERT_EQ(launcher.calls.size(), started ? 1u : 0u);
    if (started) {
      EXPECT_EQ(launcher.calls[0].program, QStringLiteral("nmcli"));
      EXPECT_EQ(launcher.calls[0].args, (QStringList{"connection", "down", "Hotspot"}));
    }
  }
}

}  // namespace
