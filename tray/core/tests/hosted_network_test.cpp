#include "hosted_network.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <array>
#include <optional>

#include <QFileInfo>
#include <QTimer>

#include "fake_nmcli.h"
#include "process.h"
#include "settings_store.h"

namespace {

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "hosted_network_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app =
      QCoreApplication::instance() ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
  return *app;
}

void Write(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text);
}

// A /sys/class/net tree: (name, kind, operstate) with kind "wireless", "phy80211" or "".
QString NetTree(const QTemporaryDir& dir, const std::vector<std::array<const char*, 3>>& adapters) {
  QString root = dir.filePath(QStringLiteral("net"));
  QDir().mkpath(root);
  for (const auto& [name, kind, oper] : adapters) {
    QString d = root + QLatin1Char('/') + QString::fromLatin1(name);
    QDir().mkpath(d);
    if (*kind) QDir().mkpath(d + QLatin1Char('/') + QString::fromLatin1(kind));
    Write(d + QStringLiteral("/operstate"), QByteArray(oper) + "\n");
  }
  return root;
}

TEST(HostedNetworkTest, AdapterProbeAndShowStateTable) {
  QTemporaryDir dir;
  struct Case {
    std::vector<std::array<const char*, 3>> tree;
    bool started, tool;
    bool showStop, startEnabled;
    const char* text;
    int picture;
    const char* free;
  };
  const Case cases[] = {
      // Started: Stop and its text, whatever the adapters.
      {{}, true, false, true, false, "AP_STARTED", 331, ""},
      // No nmcli: its own text in place of the system-version one.
      {{{"wlan0", "wireless", "down"}}, false, false, false, false, "AP_OS", 266, "wlan0"},
      {{{"lo", "", "unknown"}, {"eth0", "", "up"}}, false, true, false, false, "AP_NOWLAN", 266, ""},
      {{{"wlan0", "phy80211", "up"}}, false, true, false, false, "AP_NOWIFI", 266, ""},
      {{{"wlan0", "wireless", "down"}}, false, true, false, true, "AP_OK", 331, "wlan0"},
      // A laptop on Wi-Fi with a second adapter: the free one can be the access point.
      {{{"wlan0", "wireless", "up"}, {"wlx1", "phy80211", "dormant"}}, false, true, false, true, "AP_OK", 331, "wlx1"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    QTemporaryDir caseDir;
    tray::SysfsAdapterProbe probe(NetTree(caseDir, c.tree));
    tray::AdapterState adapters = probe.Probe();
    EXPECT_EQ(adapters.freeAdapter, QString::fromLatin1(c.free));
    tray::ApView v = tray::ApShowState(c.started, c.tool, adapters);
    EXPECT_EQ(v.showStop, c.showStop);
    EXPECT_EQ(v.startEnabled, c.startEnabled);
    EXPECT_STREQ(v.textKey, c.text);
    EXPECT_EQ(v.picture, c.picture);
    ++n;
  }
  // A missing tree is no adapter.
  tray::SysfsAdapterProbe none(dir.filePath(QStringLiteral("absent")));
  EXPECT_FALSE(none.Probe().hasWifi);
  // Failures have their own texts and the warning picture; a failed start can be retried.
  tray::AdapterState ok{true, true, QStringLiteral("wlan0")};
  tray::ApView failed = tray::ApShowState(false, true, ok, true, tray::HostedOp::kStart);
  EXPECT_STREQ(failed.textKey, "AP_FAILED");
  EXPECT_TRUE(failed.startEnabled);
  EXPECT_EQ(failed.picture, 266);
  tray::ApView stopFailed = tray::ApShowState(true, true, ok, true, tray::HostedOp::kStop);
  EXPECT_STREQ(stopFailed.textKey, "AP_STOPFAILED");
  EXPECT_TRUE(stopFailed.showStop);
}

TEST(HostedNetworkTest, KeyIsRandomPerInstallationAndKept) {
  QTemporaryDir dir;
  tray::FileSettingsStore a(dir.filePath(QStringLiteral("a/settings.ini")));
  tray::FileSettingsStore b(dir.filePath(QStringLiteral("b/settings.ini")));
  ASSERT_TRUE(a.CreateKey());
  QString key = tray::HotspotKey(a);
  EXPECT_TRUE(tray::ValidHotspotKey(key)) << key.toStdString();
  EXPECT_EQ(tray::HotspotKey(a), key);  // kept
  EXPECT_EQ(a.GetString(QStringLiteral("HotspotKey")), key);
  EXPECT_NE(tray::HotspotKey(b), key);  // another installation (its key is made too)
  EXPECT_TRUE(b.KeyExists());
  // A value that cannot be a WPA pass phrase is replaced.
  a.SetString(QStringLiteral("HotspotKey"), QStringLiteral("short"));
  QString replaced = tray::HotspotKey(a);
  EXPECT_TRUE(tray::ValidHotspotKey(replaced));
  EXPECT_NE(replaced, QStringLiteral("short"));
  EXPECT_FALSE(tray::ValidHotspotKey(QString(64, QLatin1Char('a'))));
  EXPECT_FALSE(tray::ValidHotspotKey(QStringLiteral("abcdefgh\n")));
}

// A stand-in nmcli first on PATH: it appends its arguments to a file and exits with the
// code in another, or hangs when that says "hang".
class NmcliStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    tray::SetHostedNetworkStarted(false);
    ASSERT_NO_FATAL_FAILURE(nmcli.Install(dir.path()));
  }
  void TearDown() override {
    nmcli.Restore();
    tray::SetHostedNetworkStarted(false);
  }
  void SetCode(const char* code) { nmcli.SetCode(code); }
  QStringList Calls() {
    QFile f(dir.filePath(QStringLiteral("args")));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  // Runs the loop until the network reports, within seconds.
  std::optional<std::pair<tray::HostedOp, tray::HostedResult>> Wait(tray::IHostedNetwork& net) {
    std::optional<std::pair<tray::HostedOp, tray::HostedResult>> got;
    QMetaObject::Connection c = QObject::connect(&net, &tray::IHostedNetwork::finished,
                                                 [&](tray::HostedOp op, tray::HostedResult r) { got = {op, r}; });
    QDeadlineTimer deadline(10000);
    while (!got && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QObject::disconnect(c);
    return got;
  }
  QTemporaryDir dir;
  traytest::FakeNmcli nmcli;
};

TEST_F(NmcliStandIn, StartAndStopRunNmcliAndSetTheFlag) {
  tray::NmcliHostedNetwork net;
  EXPECT_TRUE(net.ToolFound());
  ASSERT_TRUE(net.Start(QStringLiteral("tirvan"), QStringLiteral("k3yk3yk3y"), QStringLiteral("wlx1")));
  EXPECT_TRUE(net.Busy());
  EXPECT_FALSE(net.Stop());  // one at a time
  auto r = Wait(net);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, tray::HostedOp::kStart);
  EXPECT_EQ(r->second, tray::HostedResult::kOk);
  EXPECT_TRUE(tray::HostedNetworkStarted());
  EXPECT_FALSE(net.Busy());

  ASSERT_TRUE(net.Stop());
  r = Wait(net);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, tray::HostedOp::kStop);
  EXPECT_EQ(r->second, tray::HostedResult::kOk);
  EXPECT_FALSE(tray::HostedNetworkStarted());
  EXPECT_EQ(Calls(), (QStringList{QStringLiteral("device wifi hotspot ifname wlx1 con-name Hotspot ssid tirvan "
                                                 "password k3yk3yk3y"),
                                  QStringLiteral("connection down Hotspot")}));
}

TEST_F(NmcliStandIn, AFailureAndAHangAreReportedAndLeaveTheFlag) {
  SetCode("4");
  tray::NmcliHostedNetwork net(QStringLiteral("nmcli"), 500);
  ASSERT_TRUE(net.Start(QStringLiteral("tirvan"), QStringLiteral("k3yk3yk3y"), QString()));
  auto r = Wait(net);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->second, tray::HostedResult::kFailed);
  EXPECT_FALSE(tray::HostedNetworkStarted());
  EXPECT_EQ(Calls().value(0), QStringLiteral("device wifi hotspot con-name Hotspot ssid tirvan password k3yk3yk3y"));

  // A hang past the limit: the call returns at once, the loop keeps running, and the
  // process is stopped at the limit.
  SetCode("hang");
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(net.Start(QStringLiteral("tirvan"), QStringLiteral("k3yk3yk3y"), QString()));
  EXPECT_LT(clock.elapsed(), 400);
  bool loopRan = false;
  QTimer::singleShot(100, [&] { loopRan = true; });
  r = Wait(net);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->second, tray::HostedResult::kTimedOut);
  EXPECT_TRUE(loopRan);
  EXPECT_GE(clock.elapsed(), 450);
  EXPECT_FALSE(tray::HostedNetworkStarted());
  EXPECT_FALSE(net.Busy());

  // A failed stop keeps the flag: the hotspot may still run.
  tray::SetHostedNetworkStarted(true);
  SetCode("10");
  ASSERT_TRUE(net.Stop());
  r = Wait(net);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->second, tray::HostedResult::kFailed);
  EXPECT_TRUE(tray::HostedNetworkStarted());
}

TEST_F(NmcliStandIn, MissingToolAndTheStopAtExit) {
  qputenv("PATH", dir.filePath(QStringLiteral("empty")).toUtf8());
  tray::NmcliHostedNetwork net;
  EXPECT_FALSE(net.ToolFound());
  ASSERT_TRUE(net.Start(QStringLiteral("tirvan"), QStringLiteral("k3yk3yk3y"), QString()));
  auto r = Wait(net);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->second, tray::HostedResult::kMissing);

  struct Launcher final : tray::IProcessLauncher {
    bool StartDetached(const QString& program, const QStringList& args, const QString&) override {
      calls.push_back(program + QLatin1Char(' ') + args.join(QLatin1Char(' ')));
      return true;
    }
    QStringList calls;
  } launcher;
  EXPECT_FALSE(tray::StopHostedNetworkAtExit(launcher));  // never started: the user's own stays
  EXPECT_TRUE(launcher.calls.isEmpty());
  tray::SetHostedNetworkStarted(true);
  EXPECT_TRUE(tray::StopHostedNetworkAtExit(launcher));
  EXPECT_EQ(launcher.calls, QStringList{QStringLiteral("nmcli connection down Hotspot")});
  EXPECT_FALSE(tray::HostedNetworkStarted());
}

}  // namespace
