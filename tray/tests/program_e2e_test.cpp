// The tray program Tirvan as a user runs it, against the built TirvanClient under the
// built-in service manager and tirvan-central: it starts the stopped service, follows its
// log-on, fetches the folders, keeps one copy per user, and stops the service at exit.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/service_manager.h"
#include "support/temp_dir.h"
#include "system_harness.h"

namespace {

uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

class TrayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(central.Start()) << central.Output();
    tmp.MakeDir("share");
    tmp.MakeDir("home");
    trayLoginPort = std::to_string(FreePort());
    systest::ServiceOptions options;
    options.central = &central;
    options.shares = {tmp.Sub("share")};
    options.env = {{"TIRVAN_TRAY_LOGIN_PORT", trayLoginPort}};
    service = std::make_unique<systest::Service>(tmp, options);
    servicePort = FreePort();
    platform::CommandResult set = platform::RunCommand(
        {"sqlite3", service->DbPath(), "update qz_conf set localport=" + std::to_string(servicePort)}, 10000);
    ASSERT_EQ(set.exitCode, 0) << set.err;

    // The program's environment: its own home, runtime, config and log, the service's ports.
    // Its config folder holds no settings file, as for a user the installer did not set up:
    // no first-run wizard waits for a click.
    for (auto [k, v] : std::initializer_list<std::pair<const char*, std::string>>{
             {"QT_QPA_PLATFORM", "offscreen"},
             {"HOME", tmp.Sub("home")},
             {"XDG_RUNTIME_DIR", tmp.Sub("home")},
             {"XDG_CONFIG_HOME", tmp.Sub("home/.config")},
             {"XDG_DATA_HOME", tmp.Sub("home/.local/share")},
             {"TIRVAN_TRAY_LOG", tmp.Sub("tray.log")},
             {"TIRVAN_SERVICE_PORT", std::to_string(servicePort)},
             {"TIRVAN_TRAY_LOGIN_PORT", trayLoginPort},
             {"TIRVAN_WATCHDOG_MS", "300"},
             // The update check goes to a closed loopback port, never off the machine.
             {"TIRVAN_WEB_BASE", "https://127.0.0.1:9"},
             {"TIRVAN_BLOG_BASE", "https://127.0.0.1:9"}}) {
      ::setenv(k, v.c_str(), 1);
    }
    ::chmod(tmp.Sub("home").c_str(), 0700);
  }

  platform::ServiceState State() const {
    platform::ServiceManagerOptions o;
    o.stateDir = tmp.Sub("scm");
    platform::ServiceStatus status;
    auto m = platform::OpenBuiltinServiceManager(o);
    return m->QueryStatus("Tirvan", &status).ok() ? status.state : platform::ServiceState::kStopped;
  }
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
