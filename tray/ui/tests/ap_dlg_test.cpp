// The hotspot dialog: its states from the flag, nmcli and the adapters, start and stop
// through a stand-in nmcli first on PATH, and the status line's layout.
#include "ap_dlg.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFontMetricsF>
#include <QTemporaryDir>
#include <QTest>

#include "diy_static.h"
#include "fake_nmcli.h"
#include "hermetic.h"
#include "languages.h"
#include "pictures.h"
#include "qt_app.h"
#include "settings_store.h"
#include "skin_buttons.h"

namespace {

struct CountingProbe final : tray::IAdapterProbe {
  tray::AdapterState Probe() override {
    ++probes;
    return state;
  }
  tray::AdapterState state{true, true, QStringLiteral("wlx1")};
  int probes = 0;
};

class ApDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    traytest::TestApp();
    tray::InitPictures();
    tray::SetLanguageFolder(QStringLiteral(TIRVAN_TRAY_BIN_DIR));
    tray::SetSystemLocaleOverride("en_US.UTF-8");
    tray::SetHostedNetworkStarted(false);
    store = std::make_unique<tray::FileSettingsStore>(dir.filePath(QStringLiteral("config/settings.ini")));
    ASSERT_TRUE(store->CreateKey());
    ASSERT_NO_FATAL_FAILURE(nmcli.Install(dir.path()));
  }
  void TearDown() override {
    nmcli.Restore();
    tray::SetHostedNetworkStarted(false);
    tray::GetLanguages()->SetLanguage(1);
    tray::SetSystemLocaleOverride(std::nullopt);
    tray::SetLanguageFolder(QString());
  }
  void SetCode(const char* code) { nmcli.SetCode(code); }
  QStringList Calls() {
    QFile f(dir.filePath(QStringLiteral("args")));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  // Runs the loop until the dialog shows the status key, within seconds.
  static bool WaitFor(tray::CApDlg& dlg, const QString& key) {
    QDeadlineTimer deadline(10000);
    while (dlg.StatusKey() != key && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return dlg.StatusKey() == key;
  }

  QTemporaryDir dir;
  traytest::FakeNmcli nmcli;
  std::unique_ptr<tray::FileSettingsStore> store;
  CountingProbe probe;
};

TEST_F(ApDlgTest, ShowsTheStateOfNmcliAndTheAdapters) {
  struct Case {
    bool tool;
    tray::AdapterState adapters;
    const char* key;
    bool startEnabled;
    int picture;
  };
  const Case cases[] = {
      {false, {true, true, QStringLiteral("wlan0")}, "AP_OS", false, 266},
      {true, {false, false, {}}, "AP_NOWLAN", false, 266},
      {true, {true, false, {}}, "AP_NOWIFI", false, 266},
      {true, {true, true, QStringLiteral("wlan0")}, "AP_OK", true, 331},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    tray::NmcliHostedNetwork network(c.tool ? QStringLiteral("nmcli") : dir.filePath(QStringLiteral("absent/nmcli")));
    probe.state = c.adapters;
    tray::CApDlg dlg(probe, network, store.get());
    EXPECT_EQ(dlg.StatusKey(), QLatin1String(c.key));
    EXPECT_EQ(dlg.StatusLabel()->text(), tray::GetLanguages()->GetString("UI", c.key));
    EXPECT_FALSE(dlg.StartButton()->isHidden());
    EXPECT_TRUE(dlg.StopButton()->isHidden());
    EXPECT_EQ(dlg.StartButton()->isEnabled(), c.startEnabled);
    EXPECT_EQ(dlg.StatusPictureId(), c.picture);
    EXPECT_EQ(dlg.findChild<QWidget*>(QStringLiteral("1128")), dlg.StatusPicture());
  }
  EXPECT_EQ(size_t(probe.probes), std::size(cases));
}

TEST_F(ApDlgTest, StartAndStopRunNmcliWithTheInstallationsKey) {
  tray::NmcliHostedNetwork network;
  std::optional<tray::CApDlg> dlg;
  dlg.emplace(probe, network, store.get());
  const QString key = dlg->Key();
  EXPECT_EQ(store->GetString(QStringLiteral("HotspotKey")), key);
  EXPECT_TRUE(dlg->NetworkLabel()->text().contains(QStringLiteral("tirvan")));
  EXPECT_TRUE(dlg->NetworkLabel()->text().contains(key));

  QTest::mouseClick(dlg->StartButton(), Qt::LeftButton);
  EXPECT_TRUE(network.Busy());
  EXPECT_FALSE(dlg->StartButton()->isEnabled());  // until nmcli answers
  ASSERT_TRUE(WaitFor(*dlg, QStringLiteral("AP_STARTED")));
  EXPECT_TRUE(dlg->StartButton()->isHidden());
  EXPECT_FALSE(dlg->StopButton()->isHidden());
  EXPECT_TRUE(dlg->StopButton()->isEnabled());
  EXPECT_TRUE(tray::HostedNetworkStarted());
  EXPECT_EQ(Calls(), QStringList{QStringLiteral("device wifi hotspot ifname wlx1 con-name Hotspot ssid tirvan password ") + key});

  // Reopened: Stop, without looking at the adapters or for nmcli.
  dlg.reset();
  const int probes = probe.probes;
  dlg.emplace(probe, network, store.get());
  EXPECT_EQ(dlg->StatusKey(), QStringLiteral("AP_STARTED"));
  EXPECT_FALSE(dlg->StopButton()->isHidden());
  EXPECT_EQ(probe.probes, probes);
  EXPECT_EQ(dlg->Key(), key);

  // Stop, then a fresh look at the adapters.
  QTest::mouseClick(dlg->StopButton(), Qt::LeftButton);
  ASSERT_TRUE(WaitFor(*dlg, QStringLiteral("AP_OK")));
  EXPECT_EQ(probe.probes, probes + 1);
  EXPECT_FALSE(tray::HostedNetworkStarted());
  EXPECT_FALSE(dlg->StartButton()->isHidden());
  EXPECT_EQ(Calls().value(1), QStringLiteral("connection down Hotspot"));
}

TEST_F(ApDlgTest, AFailureOrAHangShowsTheFailureText) {
  for (const char* code : {"3", "hang"}) {
    SCOPED_TRACE(code);
    SetCode(code);
    tray::NmcliHostedNetwork network(QStringLiteral("nmcli"), 400);
    tray::CApDlg dlg(probe, network, store.get());
    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitFor(dlg, QStringLiteral("AP_FAILED")));
    EXPECT_EQ(dlg.StatusPictureId(), 266);
    EXPECT_TRUE(dlg.StartButton()->isEnabled());  // another try
    EXPECT_FALSE(tray::HostedNetworkStarted());
  }
  // A stop that fails keeps Stop on screen with its own text.
  SetCode("0");
  tray::NmcliHostedNetwork network;
  tray::SetHostedNetworkStarted(true);
  tray::CApDlg dlg(probe, network, store.get());
  SetCode("8");
  QTest::mouseClick(dlg.StopButton(), Qt::LeftButton);
  ASSERT_TRUE(WaitFor(dlg, QStringLiteral("AP_STOPFAILED")));
  EXPECT_FALSE(dlg.StopButton()->isHidden());
  EXPECT_TRUE(tray::HostedNetworkStarted());
}

TEST_F(ApDlgTest, StatusLineShowsEveryLineInEveryLanguage) {
  const char* keys[] = {"AP_OK", "AP_STARTED", "AP_OS", "AP_NOWLAN", "AP_NOWIFI", "AP_FAILED", "AP_STOPFAILED"};
  tray::NmcliHostedNetwork network;
  for (int language : {0, 1, 2}) {
    tray::GetLanguages()->SetLanguage(language);
    tray::CApDlg dlg(probe, network, store.get());
    dlg.show();
    dlg.grab().save(traytest::ShotPath(QStringLiteral("hotspot_%1.png")).arg(language));
    for (const char* key : keys) {
      SCOPED_TRACE(testing::Message() << language << " " << key);
      dlg.StatusLabel()->setText(tray::GetLanguages()->GetString("UI", key));
      dlg.LayoutStatus();
      const QRect label = dlg.StatusLabel()->geometry();
      const int lines = tray::LaidOutLines(dlg.StatusLabel()->text(), dlg.StatusLabel()->font(), label.width(), false);
      EXPECT_GE(label.height(), lines * QFontMetricsF(dlg.StatusLabel()->font()).height());
      EXPECT_TRUE(dlg.rect().contains(label)) << label.x() << "," << label.y() << " " << label.width() << "x"
                                              << label.height();
      // Below the buttons.
      EXPECT_GE(dlg.StatusPicture()->y(), dlg.StartButton()->geometry().bottom());
    }
    dlg.StatusLabel()->setText(tray::GetLanguages()->GetString("UI", "AP_NOWIFI"));
    dlg.LayoutStatus();
    dlg.grab().save(traytest::ShotPath(QStringLiteral("hotspot_long_%1.png")).arg(language));
  }
}

}  // namespace
