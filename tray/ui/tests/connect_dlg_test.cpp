// The device-login confirmation: the dialog alone (texts, one answer for Enter, Escape,
// the close button and the deadline), then the settings dialog with the real service
// client against the built TirvanClient and tirvan-central, a device asking to log in
// with another account and seeing the tray's verdict.
#include "connect_dlg.h"

#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "crypt_password.h"
#include "dialog_options.h"
#include "diy_static.h"
#include "fake_autostart.h"
#include "hermetic.h"
#include "live_service.h"
#include "login_dlg.h"
#include "no_shell_folder.h"
#include "pictures.h"
#include "qt_app.h"
#include "recording_shell.h"
#include "recording_tray.h"
#include "records.h"
#include "setting_dlg.h"
#include "settings_store.h"
#include "skin_buttons.h"
#include "spin.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"
#include "system_harness.h"

namespace {

struct Answers final : tray::IConnectDlgCallBack {
  std::vector<std::pair<uint32_t, int>> got;
  void OnConnectResult(const tray::ConnectResult* r) override { got.emplace_back(r->id, r->accepted); }
};

tray::DeviceLoginInfo Question(uint32_t id) {
  tray::DeviceLoginInfo info{};
  std::strcpy(info.sender, "Anna's phone");
  std::strcpy(info.network, "wlan");
  info.id = id;
  return info;
}

class ConnectDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::UseShippedLanguages(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
  }
  void TearDown() override {
    traytest::ForgetLanguages();
  }
};

TEST_F(ConnectDlgTest, ShowsTheQuestionAndAnswersOnceForEveryWayOut) {
  struct Way {
    const char* name;
    std::function<void(tray::CConnectDlg&)> act;
    int accepted;
  };
  const std::vector<Way> ways = {
      {"OK", [](tray::CConnectDlg& d) { d.OkButton()->click(); }, 1},
      {"Enter", [](tray::CConnectDlg& d) { QTest::keyClick(&d, Qt::Key_Return); }, 1},
      {"Cancel", [](tray::CConnectDlg& d) { d.CancelButton()->click(); }, 0},
      {"Escape", [](tray::CConnectDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, 0},
      {"close", [](tray::CConnectDlg& d) { d.close(); }, 0},
      {"title-bar close", [](tray::CConnectDlg& d) {
         d.CloseButton()->click();
         QCoreApplication::processEvents();
       }, 0},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    Answers answers;
    tray::CConnectDlg dlg(Question(42));
    dlg.SetCallback(&answers);
    int result = -1;
    QTimer::singleShot(0, &dlg, [&] {
      way.act(dlg);
      // Whatever follows the first answer sends nothing more.
      dlg.close();
      dlg.CancelButton()->click();
    });
    result = dlg.exec();
    EXPECT_EQ(answers.got, (std::vector<std::pair<uint32_t, int>>{{42u, way.accepted}}));
    EXPECT_EQ(result, way.accepted ? tray::skin::kResultOk : tray::skin::kResultCancel);
    EXPECT_FALSE(dlg.isVisible());
  }

  tray::CConnectDlg dlg(Question(7));
  dlg.show();
  QCoreApplication::processEvents();
  dlg.repaint();
  EXPECT_TRUE(dlg.TextsLoaded());
  EXPECT_EQ(dlg.SenderStatic()->text(), QStringLiteral("Device: Anna's phone"));
  EXPECT_EQ(dlg.NetworkStatic()->text(), QStringLiteral("Network: wlan"));
  EXPECT_FALSE(dlg.TitleStatic()->text().isEmpty());
  EXPECT_FALSE(dlg.OkButton()->ButtonText().isEmpty());
  EXPECT_EQ(dlg.size(), QSize(353, 251));
  EXPECT_FALSE(dlg.ShowMinimize());
  dlg.grab().save(traytest::ShotPath(QStringLiteral("connect.png")));
}

TEST_F(ConnectDlgTest, RefusesAndClosesAtTheQuestionsDeadline) {
  Answers answers;
  tray::DeviceLoginInfo q = Question(9);
  q.spare = 20;  // waited 20 ticks in the queue already
  tray::CConnectDlg dlg(q, 25);
  dlg.SetCallback(&answers);
  QTimer ticker;
  int ticks = 0;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    ++ticks;
    dlg.Tick();
  });
  ticker.start(1);
  EXPECT_EQ(dlg.exec(), tray::skin::kResultCancel);
  EXPECT_EQ(ticks, 5);
  for (int i = 0; i < 5; ++i) dlg.Tick();
  EXPECT_EQ(answers.got, (std::vector<std::pair<uint32_t, int>>{{9u, 0}}));
}

// ---- against the running service

constexpr const char* kPcEmail = "pc@tirvan.test";
constexpr uint16_t kOpDeviceLogin = 0x0008;

class ConnectEndToEndTest : public ConnectDlgTest {
 protected:
  void SetUp() override {
    ConnectDlgTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(live.Start());

    traytest::FillDialogOptions(options, live.ui.get(), &shell, &trayBackend, &autostart, &shellFolder);
    options.showWhenNoTray = false;
    options.deviceLoginTickMs = 50;
    options.deviceLoginRefuseAge = 6;
    // Settings of a user the installer did not set up: never the real ones, no wizard.
    tray::SetSettingsStore(&noSettings);
  }
  void TearDown() override {
    tray::SetSettingsStore(nullptr);
    live.Stop();
    ConnectDlgTest::TearDown();
  }

  // A device logs in with another account; returns its connection once the tray holds
  // the question.
  std::unique_ptr<support::MsgClient> Ask(tray::CSettingDlg& dlg, const std::string& name) {
    auto device = std::make_unique<support::MsgClient>();
    if (!device->Connect(live.service->port())) return nullptr;
    const std::string hash = tray::CryptPassword("guest-pass").value();
    if (!device->Send(kOpDeviceLogin, 9, traytest::DeviceLoginRecord("guest@tirvan.test", hash, name))) return nullptr;
    if (!traytest::Spin([&] { return !dlg.DeviceLogins().empty(); })) return nullptr;
    return device;
  }
  // The service's answer to the device: 0 admitted, 1 refused, -1 none.
  int Verdict(support::MsgClient& device) {
    auto reply = device.Recv(10000);
    if (!reply || reply->head.opcode != kOpDeviceLogin || reply->body.size() != 4) return -1;
    return static_cast<uint8_t>(reply->body[1]);
  }

  support::TempDir tmp;
  traytest::LiveService live{tmp, kPcEmail};
  traytest::RecordingShell shell;
  traytest::RecordingTray trayBackend;
  traytest::NoAutostart autostart;
  traytest::NoShellFolder shellFolder;
  tray::SettingDlgOptions options;
  tray::FileSettingsStore noSettings{QString::fromStdString(tmp.Sub("config/Tirvan/settings.ini"))};
};

TEST_F(ConnectEndToEndTest, OkAdmitsCancelRefusesAndTheDeadlineRefuses) {
  tray::CSettingDlg dlg(options);
  QCoreApplication::processEvents();
  dlg.LoginWindow()->hide();

  struct Case {
    const char* name;
    std::function<void(tray::CConnectDlg&)> act;  // none: nobody answers
    int verdict;
  };
  const std::vector<Case> cases = {
      {"OK admits", [](tray::CConnectDlg& d) { d.OkButton()->click(); }, 0},
      {"Cancel refuses", [](tray::CConnectDlg& d) { d.CancelButton()->click(); }, 1},
      {"close refuses", [](tray::CConnectDlg& d) { d.close(); }, 1},
      {"the dialog's deadline refuses", nullptr, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = Ask(dlg, c.name);
    ASSERT_TRUE(device) << live.service->Log();
    EXPECT_EQ(dlg.Flow().mobileState(), tray::kMobileAwaitingApproval);
    QTimer::singleShot(0, &dlg, [&] {
      ASSERT_TRUE(dlg.ConnectWindow());
      if (c.act) c.act(*dlg.ConnectWindow());
    });
    dlg.OnTrayActivated(tray::TrayActivation::LeftClick);  // runs the dialog
    EXPECT_FALSE(dlg.ConnectWindow());
    EXPECT_NE(dlg.Flow().mobileState(), tray::kMobileAwaitingApproval);
    EXPECT_EQ(Verdict(*device), c.verdict) << live.service->Log();
  }

  // Nobody clicks: the queue refuses the question at its deadline, and the poll resumes.
  auto device = Ask(dlg, "ignored tablet");
  ASSERT_TRUE(device);
  EXPECT_TRUE(traytest::Spin([&] { return dlg.DeviceLogins().empty(); }));
  EXPECT_EQ(Verdict(*device), 1);
  EXPECT_NE(dlg.Flow().mobileState(), tray::kMobileAwaitingApproval);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(live.service->Reports(), "");
}

}  // namespace
