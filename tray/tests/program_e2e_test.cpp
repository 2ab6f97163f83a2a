// The tray program Tirvan as a user runs it, against the built TirvanClient under the
// built-in service manager and tirvan-central: it starts the stopped service, follows its
// log-on, fetches the folders, keeps one copy per user, and stops the service at exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/service_manager.h"
#include "program_env.h"
#include "support/temp_dir.h"
#include "system_harness.h"

namespace {

class TrayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(central.Start()) << central.Output();
    tmp.MakeDir("share");
    tmp.MakeDir("home");
    ASSERT_NO_FATAL_FAILURE(traytest::InstallProgramService(tmp, central, &service, &servicePort, &trayLoginPort));

    // The program's environment: its own home, runtime, config and log, the service's ports.
    // Its config folder holds no settings file, as for a user the installer did not set up:
    // no first-run wizard waits for a click.
    traytest::SetProgramEnvironment(tmp, servicePort, trayLoginPort,
                                    {{"QT_QPA_PLATFORM", "offscreen"},
                                     {"TIRVAN_WATCHDOG_MS", "300"},
                                     // The update check goes to a closed loopback port, never off the machine.
                                     {"TIRVAN_WEB_BASE", "https://127.0.0.1:9"},
                                     {"TIRVAN_BLOG_BASE", "https://127.0.0.1:9"}});
  }

  platform::ServiceState State() const { return traytest::ProgramServiceState(tmp); }
  std::string TrayLog() const { return systest::ReadFile(tmp.Sub("tray.log")); }
  bool WaitLog(const std::string& text, int ms = 20000) const {
    return systest::WaitUntil([&] { return TrayLog().find(text) != std::string::npos; }, ms);
  }

  support::TempDir tmp;
  systest::Central central{tmp, "pc@tirvan.test", "pc-password"};
  std::unique_ptr<systest::Service> service;
  uint16_t servicePort = 0;
  std::string trayLoginPort;
};

TEST_F(TrayProgramTest, StartsTheServiceFollowsItsLogOnAndStopsItAtExit) {
  ASSERT_EQ(State(), platform::ServiceState::kStopped);
  systest::Child tray({TIRVAN_TRAY_PROGRAM}, tmp.Sub("tray.out"));
  EXPECT_TRUE(systest::WaitUntil([&] { return State() == platform::ServiceState::kRunning; }, 20000))
      << TrayLog();
  EXPECT_TRUE(systest::WaitUntil([&] { return !central.LoggedOnStation().empty(); }, 30000));
  EXPECT_TRUE(WaitLog("logged on as pc@tirvan.test")) << TrayLog();
  EXPECT_TRUE(WaitLog("the data folder is " + service->DefaultFolder())) << TrayLog();
  EXPECT_TRUE(WaitLog("shared: " + tmp.Sub("share"))) << TrayLog();

  // Stopped by hand, the service runs again within a watchdog period or two.
  platform::ServiceManagerOptions o;
  o.stateDir = tmp.Sub("scm");
  ASSERT_TRUE(platform::OpenBuiltinServiceManager(o)->Stop("Tirvan", 20000).ok());
  EXPECT_TRUE(systest::WaitUntil([&] { return State() == platform::ServiceState::kRunning; }, 20000));

  // A second copy only tells and ends; the first one keeps running.
  systest::Child second({TIRVAN_TRAY_PROGRAM}, tmp.Sub("second.out"));
  EXPECT_TRUE(systest::WaitUntil([&] { return ::kill(second.pid(), 0) != 0 || ::waitpid(second.pid(), nullptr, WNOHANG) == second.pid(); }, 20000));
  EXPECT_EQ(::kill(tray.pid(), 0), 0);

  tray.Kill(SIGTERM);  // the exit sequence, as the menu's exit runs it
  EXPECT_TRUE(WaitLog("Tirvan exits")) << TrayLog();
  EXPECT_TRUE(systest::WaitUntil([&] { return State() == platform::ServiceState::kStopped; }, 20000));
  EXPECT_EQ(systest::CrashReports(systest::ReadFile(tmp.Sub("tray.out"))), "");
}

}  // namespace
