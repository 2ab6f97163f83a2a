#include "service_control.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <thread>

#include "fake_autostart.h"

namespace {

using platform::ScmError;
using platform::ScmResult;
using platform::ServiceState;
using platform::StartType;

TEST(StartTypeRuleTest, FollowsTheAutostartEntry) {
  struct Case {
    StartType current;
    bool autostart;
    std::optional<StartType> wanted;
  };
  const Case cases[] = {
      {StartType::kDemand, true, StartType::kAuto},    {StartType::kDemand, false, std::nullopt},
      {StartType::kAuto, true, std::nullopt},          {StartType::kAuto, false, StartType::kDemand},
      {StartType::kDisabled, true, StartType::kAuto},  {StartType::kDisabled, false, StartType::kDemand},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tray::StartTypeFor(c.current, c.autostart), c.wanted)
        << platform::StartTypeName(c.current) << " " << c.autostart;
  }
}

bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The service "Tirvan" as the built-in manager runs it: the platform's test service.
class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    m_options.stateDir = m_dir.path().toStdString();
    auto m = platform::OpenBuiltinServiceManager(m_options);
    ASSERT_TRUE(m->Install("Tirvan", TIRVAN_SCM_TEST_SERVICE).ok());
  }
  void TearDown() override { Manager()->Stop("Tirvan", 10000); }
  std::unique_ptr<platform::ServiceManager> Manager() const {
    return platform::OpenBuiltinServiceManager(m_options);
  }
  ServiceState State() const {
    platform::ServiceStatus status;
    Manager()->QueryStatus("Tirvan", &status);
    return status.state;
  }
  StartType Type() const {
    StartType type = StartType::kDisabled;
    Manager()->GetStartType("Tirvan", &type);
    return type;
  }
  QString Events() const {
    QFile f(QDir(m_dir.path()).filePath(QStringLiteral("Tirvan.events")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  void Configure(const char* text) {
    QFile f(QDir(m_dir.path()).filePath(QStringLiteral("Tirvan.test")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  }

  QTemporaryDir m_dir;
  platform::ServiceManagerOptions m_options;
  traytest::FakeAutostart m_autostart;
  tray::ServiceControl m_control{m_autostart, [this] { return Manager(); }};
};

TEST_F(ServiceControlTest, WatchdogStartsTheServiceAndKeepsItsStartType) {
  m_autostart.enabled = false;
  ASSERT_EQ(Type(), StartType::kAuto);  // as installed
  m_control.Tick();
  EXPECT_TRUE(WaitFor([&] { return State() == ServiceState::kRunning; }));
  EXPECT_EQ(Type(), StartType::kDemand);

  m_autostart.enabled = true;
  m_control.Tick();  // running: only the start type changes
  EXPECT_EQ(Type(), StartType::kAuto);
  EXPECT_EQ(State(), ServiceState::kRunning);

  m_control.StopService();
  EXPECT_TRUE(WaitFor([&] { return State() == ServiceState::kStopped; }));
  m_control.Tick();  // stopped by hand: started again
  EXPECT_TRUE(WaitFor([&] { return State() == ServiceState::kRunning; }));
}

TEST_F(ServiceControlTest, AFailedServiceIsStartedAgain) {
  Configure("failcode=7\n");  // ends its start-up with an error
  m_control.Tick();
  ASSERT_TRUE(WaitFor([&] { return Events().contains("start-failed"); }));
  ASSERT_TRUE(WaitFor([&] { return State() == ServiceState::kStopped; }));
  Configure("steps=1\n");
  m_control.Tick();
  EXPECT_TRUE(WaitFor([&] { return State() == ServiceState::kRunning; }));
}

TEST_F(ServiceControlTest, AServiceStuckStartingGetsAStop) {
  Configure("steps=40\nstepms=100\n");  // reports start-pending for 4 s
  m_control.Tick();
  // Its own process runs and reports its start-up.
  ASSERT_TRUE(WaitFor([&] { return Events().contains("checkpoint 1") && State() == ServiceState::kStartPending; }));
  m_control.Tick();  // pending once: left alone
  m_control.Tick();  // pending twice: asked to stop, which it does once its start-up ends
  EXPECT_TRUE(WaitFor([&] { return State() == ServiceState::kStopped; }));
  EXPECT_TRUE(Events().contains("control 1")) << Events().toStdString();
  Configure("steps=1\n");
  m_control.Tick();
  EXPECT_TRUE(WaitFor([&] { return State() == ServiceState::kRunning; }));
}

// A service manager that refuses everything for want of rights.
struct RefusingManager final : platform::ServiceManager {
  platform::ScmBackend Backend() const override { return platform::ScmBackend::kSystemd; }
  bool IsInstalled(const std::string&) override { return true; }
  ScmResult Install(const std::string&, const std::string&) override { return Refuse(); }
  ScmResult Remove(const std::string&) override { return Refuse(); }
  ScmResult Start(const std::string&, int) override { return Refuse(); }
  ScmResult Stop(const std::string&, int) override { return Refuse(); }
  ScmResult QueryStatus(const std::string&, platform::ServiceStatus* s) override {
    s->state = ServiceState::kStopped;
    return ScmResult::Ok();
  }
  ScmResult SetStartType(const std::string&, StartType) override { return Refuse(); }
  ScmResult GetStartType(const std::string&, StartType* t) override {
    *t = StartType::kDisabled;
    return ScmResult::Ok();
  }
  static ScmResult Refuse() { return ScmResult::Fail(ScmError::kAccessDenied, "Access denied"); }
};

TEST(ServiceControlRightsTest, MissingRightsAreToldOnceAndNothingStops) {
  traytest::FakeAutostart autostart;
  tray::ServiceControl control(autostart, [] { return std::make_unique<RefusingManager>(); });
  int told = 0;
  control.onRightsMissing = [&](const QString& text) {
    ++told;
    EXPECT_TRUE(text.contains(QStringLiteral("Tirvan")));
  };
  for (int i = 0; i < 3; ++i) control.Tick();
  control.StopService();
  EXPECT_EQ(told, 1);
}

}  // namespace
