// The systemd backend with systemctl replaced (the unit file and the calls), and the
// service side of systemd for real: the test service reporting over a notify socket.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <memory>

#include "platform/service_manager.h"
#include "scm_test_util.h"
#include "support/temp_dir.h"

namespace {

using platform::CommandResult;
using platform::ScmError;
using platform::ServiceState;
using platform::ServiceStatus;
using platform::StartType;
using Args = std::vector<std::string>;

CommandResult Reply(int exitCode, const std::string& out, const std::string& err = "") {
  CommandResult c;
  c.exitCode = exitCode;
  c.out = out;
  c.err = err;
  return c;
}

CommandResult Show(const std::string& active, int pid = 0, int status = 0) {
  return Reply(0, "ActiveState=" + active + "\nMainPID=" + std::to_string(pid) +
                      "\nExecMainStatus=" + std::to_string(status) + "\n");
}

// Records every systemctl call; answers from a queue per subcommand (the last answer
// stays), exit 0 with no output otherwise.
struct FakeSystemctl {
  std::vector<Args> calls;
  std::vector<int> timeouts;
  std::map<std::string, std::vector<CommandResult>> replies;

  platform::CommandRunner Runner() {
    return [this](const Args& argv, int timeoutMs) {
      EXPECT_EQ(argv.at(0), "/usr/bin/systemctl");
      calls.emplace_back(argv.begin() + 1, argv.end());
      timeouts.push_back(timeoutMs);
      auto it = replies.find(argv.at(1));
      if (it == replies.end() || it->second.empty()) return Reply(0, "");
      CommandResult c = it->second.front();
      if (it->second.size() > 1) it->second.erase(it->second.begin());
      return c;
    };
  }
};

class SystemdScm : public ::testing::Test {
 protected:
  void SetUp() override {
    m_tmp.MakeDir("units");
    m_units = m_tmp.Sub("units");
    platform::ServiceManagerOptions o;
    o.unitDir = m_units;
    o.systemctl = "/usr/bin/systemctl";
    o.runner = m_fake.Runner();
    o.commandTimeoutMs = 1234;
    m = platform::OpenSystemdServiceManager(o);
  }

  void InstallQuietly() {
    ASSERT_TRUE(m->Install("TirvanClient", "/opt/tirvan/bin/TirvanClient").ok());
    m_fake.calls.clear();
    m_fake.timeouts.clear();
  }

  support::TempDir m_tmp;
  std::string m_units;
  FakeSystemctl m_fake;
  std::unique_ptr<platform::ServiceManager> m;
};

TEST_F(SystemdScm, InstallWritesTheUnitAndEnablesIt) {
  ASSERT_TRUE(m->Install("TirvanClient", "/opt/tir van/bin%1/$TirvanClient").ok());
  EXPECT_EQ(m_tmp.Read("units/TirvanClient.service"),
            "[Unit]\n"
            "Description=TirvanClient\n"
            "After=network.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "NotifyAccess=main\n"
            "ExecStart=\"/opt/tir van/bin%%1/$$TirvanClient\" \"-r\" \"TirvanClient\"\n"
            "TimeoutStopSec=60\n"
            "Restart=no\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  EXPECT_EQ(m_fake.calls,
            (std::vector<Args>{{"daemon-reload"}, {"enable", "TirvanClient.service"}}));
  EXPECT_TRUE(m->IsInstalled("TirvanClient"));

  std::string unit = m_tmp.Read("units/TirvanClient.service");
  EXPECT_EQ(m->Install("TirvanClient", "/usr/bin/other").code, ScmError::kServiceExists);
  EXPECT_EQ(m_tmp.Read("units/TirvanClient.service"), unit);
  EXPECT_EQ(m_fake.calls.size(), 2u);
}

TEST_F(SystemdScm, FailedEnableLeavesNoUnitBehind) {
  m_fake.replies["enable"] = {Reply(1, "", "Failed to enable unit: Access denied\n")};
  platform::ScmResult r = m->Install("TirvanClient", "/opt/tirvan/bin/TirvanClient");
  EXPECT_EQ(r.code, ScmError::kAccessDenied);
  EXPECT_EQ(r.message,
            "/usr/bin/systemctl enable TirvanClient.service failed: Failed to enable unit: "
            "Access denied");
  EXPECT_FALSE(m->IsInstalled("TirvanClient"));
  EXPECT_EQ(m_fake.calls,
            (std::vector<Args>{
                {"daemon-reload"}, {"enable", "TirvanClient.service"}, {"daemon-reload"}}));
}

TEST_F(SystemdScm, RemoveDisablesDeletesAndReloads) {
  InstallQuietly();
  ASSERT_TRUE(m->SetStartType("TirvanClient", StartType::kDisabled).ok());
  m_fake.calls.clear();
  ASSERT_TRUE(m->Remove("TirvanClient").ok());
  EXPECT_EQ(m_fake.calls,
            (std::vector<Args>{{"disable", "TirvanClient.service"}, {"daemon-reload"}}));
  EXPECT_FALSE(m->IsInstalled("TirvanClient"));
  EXPECT_NE(::access((m_units + "/TirvanClient.service.d").c_str(), F_OK), 0);

  m_fake.calls.clear();
  EXPECT_EQ(m->Remove("TirvanClient").code, ScmError::kDoesNotExist);
  ServiceStatus st;
  EXPECT_EQ(m->QueryStatus("TirvanClient", &st).code, ScmError::kDoesNotExist);
  EXPECT_EQ(m->Start("TirvanClient", 0).code, ScmError::kDoesNotExist);
  EXPECT_EQ(m->Stop("TirvanClient", 0).code, ScmError::kDoesNotExist);
  EXPECT_EQ(m->SetStartType("TirvanClient", StartType::kAuto).code, ScmError::kDoesNotExist);
  EXPECT_EQ(m->Start("../etc", 0).code, ScmError::kInvalidName);
  EXPECT_TRUE(m_fake.calls.empty());
}

TEST_F(SystemdScm, StartAndStopCalls) {
  InstallQuietly();
  const Args show = {"show", "--property=ActiveState,MainPID,ExecMainStatus",
                     "TirvanClient.service"};
  m_fake.replies["is-enabled"] = {Reply(0, "enabled\n")};
  m_fake.replies["show"] = {Show("inactive")};
  ASSERT_TRUE(m->Start("TirvanClient", 0).ok());
  EXPECT_EQ(m_fake.calls, (std::vector<Args>{{"is-enabled", "TirvanClient.service"},
                                             show,
                                             {"start", "--no-block", "TirvanClient.service"}}));

  // Waiting: systemctl itself waits for READY=1, bounded by the wait.
  m_fake.calls.clear();
  m_fake.timeouts.clear();
  ASSERT_TRUE(m->Start("TirvanClient", 5000).ok());
  EXPECT_EQ(m_fake.calls.back(), (Args{"start", "TirvanClient.service"}));
  EXPECT_EQ(m_fake.timeouts.back(), 5000);

  m_fake.replies["show"] = {Show("active", 321)};
  m_fake.calls.clear();
  EXPECT_EQ(m->Start("TirvanClient", 0).code, ScmError::kAlreadyRunning);
  EXPECT_EQ(m_fake.calls.size(), 2u);  // no start

  m_fake.calls.clear();
  m_fake.timeouts.clear();
  ASSERT_TRUE(m->Stop("TirvanClient", 7000).ok());
  EXPECT_EQ(m_fake.calls.back(), (Args{"stop", "TirvanClient.service"}));
  EXPECT_EQ(m_fake.timeouts.back(), 7000);
  ASSERT_TRUE(m->Stop("TirvanClient", 0).ok());
  EXPECT_EQ(m_fake.calls.back(), (Args{"stop", "--no-block", "TirvanClient.service"}));

  m_fake.replies["show"] = {Show("inactive")};
  m_fake.calls.clear();
  EXPECT_EQ(m->Stop("TirvanClient", 1000).code, ScmError::kNotActive);
  EXPECT_EQ(m_fake.calls, (std::vector<Args>{show}));
}

TEST_F(SystemdScm, StartThatFailsOrHangsIsReported) {
  InstallQuietly();
  m_fake.replies["is-enabled"] = {Reply(0, "enabled\n")};
  m_fake.replies["show"] = {Show("inactive"), Show("failed", 0, 34)};
  m_fake.replies["start"] = {Reply(1, "", "Job for TirvanClient.service failed.\n")};
  platform::ScmResult r = m->Start("TirvanClient", 5000);
  EXPECT_EQ(r.code, ScmError::kServiceSpecific);
  EXPECT_NE(r.message.find("exit code 34"), std::string::npos) << r.message;

  CommandResult hung;
  hung.timedOut = true;
  hung.error = "timed out";
  m_fake.replies["show"] = {Show("inactive")};
  m_fake.replies["start"] = {hung};
  EXPECT_EQ(m->Start("TirvanClient", 5000).code, ScmError::kRequestTimeout);

  m_fake.replies["is-enabled"] = {Reply(0, "enabled\n")};
  m_fake.replies["show"] = {Show("active")};
  m_fake.replies["stop"] = {hung};
  EXPECT_EQ(m->Stop("TirvanClient", 5000).code, ScmError::kRequestTimeout);
}

TEST_F(SystemdScm, QueryMapsTheActiveState) {
  InstallQuietly();
  struct Case {
    const char* active;
    ServiceState state;
    int pid;
  };
  const Case cases[] = {
      {"active", ServiceState::kRunning, 42},
      {"reloading", ServiceState::kRunning, 42},
      {"activating", ServiceState::kStartPending, 42},
      {"deactivating", ServiceState::kStopPending, 42},
      {"inactive", ServiceState::kStopped, 0},
      {"failed", ServiceState::kStopped, 0},
  };
  for (const auto& c : cases) {
    m_fake.replies["show"] = {Show(c.active, 42, 34)};
    ServiceStatus st;
    ASSERT_TRUE(m->QueryStatus("TirvanClient", &st).ok()) << c.active;
    EXPECT_EQ(st.state, c.state) << c.active;
    EXPECT_EQ(st.pid, c.pid) << c.active;
    EXPECT_EQ(st.exitCode, c.state == ServiceState::kStopped ? 34u : 0u) << c.active;
  }
  ServiceStatus st;
  m_fake.replies["show"] = {Show("bogus")};
  EXPECT_EQ(m->QueryStatus("TirvanClient", &st).code, ScmError::kSystem);
  m_fake.replies["show"] = {Reply(1, "", "Failed to connect to bus: No such file or directory\n")};
  platform::ScmResult r = m->QueryStatus("TirvanClient", &st);
  EXPECT_EQ(r.code, ScmError::kSystem);
  EXPECT_NE(r.message.find("Failed to connect to bus"), std::string::npos) << r.message;
  EXPECT_EQ(m_fake.timeouts.back(), 1234);
}

TEST_F(SystemdScm, StartTypes) {
  InstallQuietly();
  ASSERT_TRUE(m->SetStartType("TirvanClient", StartType::kDisabled).ok());
  EXPECT_NE(m_tmp.Read("units/TirvanClient.service.d/tirvan-start-type.conf")
                .find("[Unit]\nRefuseManualStart=yes\n"),
            std::string::npos);
  EXPECT_EQ(m_fake.calls,
            (std::vector<Args>{{"daemon-reload"}, {"disable", "TirvanClient.service"}}));
  m_fake.calls.clear();
  StartType type = StartType::kAuto;
  ASSERT_TRUE(m->GetStartType("TirvanClient", &type).ok());
  EXPECT_EQ(type, StartType::kDisabled);
  EXPECT_TRUE(m_fake.calls.empty());
  EXPECT_EQ(m->Start("TirvanClient", 0).code, ScmError::kServiceDisabled);

  ASSERT_TRUE(m->SetStartType("TirvanClient", StartType::kDemand).ok());
  EXPECT_NE(::access((m_units + "/TirvanClient.service.d").c_str(), F_OK), 0);
  EXPECT_EQ(m_fake.calls,
            (std::vector<Args>{{"daemon-reload"}, {"disable", "TirvanClient.service"}}));
  m_fake.calls.clear();
  ASSERT_TRUE(m->SetStartType("TirvanClient", StartType::kAuto).ok());
  EXPECT_EQ(m_fake.calls, (std::vector<Args>{{"enable", "TirvanClient.service"}}));

  struct Case {
    CommandResult reply;
    bool ok;
    StartType type;
  };
  const Case cases[] = {
      {Reply(0, "enabled\n"), true, StartType::kAuto},
      {Reply(1, "disabled\n"), true, StartType::kDemand},
      {Reply(0, "static\n"), true, StartType::kDemand},
      {Reply(1, "masked\n"), true, StartType::kDisabled},
      {Reply(1, "", "Failed to get unit file state: Access denied\n"), false, StartType::kAuto},
  };
  for (const auto& c : cases) {
    m_fake.replies["is-enabled"] = {c.reply};
    platform::ScmResult r = m->GetStartType("TirvanClient", &type);
    EXPECT_EQ(r.ok(), c.ok) << c.reply.out << r.message;
    if (c.ok) {
      EXPECT_EQ(type, c.type) << c.reply.out;
    }
  }
}

// The service side under systemd: the test service started with NOTIFY_SOCKET, as
// systemd starts a Type=notify unit.
class SystemdNotify : public ::testing::TestWithParam<bool> {};

TEST_P(SystemdNotify, ServiceReportsOverTheNotifySocket) {
  const bool abstract = GetParam();
  support::TempDir tmp;
  int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string name = abstract ? "@tirvan-notify-" + std::to_string(::getpid()) : tmp.Sub("notify");
  name.copy(addr.sun_path, name.size());
  if (abstract) addr.sun_path[0] = '\0';
  socklen_t len =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), len), 0);
  timeval tv{10, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  tmp.Write("conf", "steps=2\nstepms=10\ncleanupms=10\n");
  std::vector<std::string> env = scmtest::CleanEnvironment(
      {"NOTIFY_SOCKET=" + name, "TIRVAN_TEST_SERVICE_CONF=" + tmp.Sub("conf"),
       "TIRVAN_TEST_SERVICE_EVENTS=" + tmp.Sub("events")});
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string prog = scmtest::kTestService, r = "-r", svc = "TirvanClient";
  char* argv[] = {prog.data(), r.data(), svc.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, prog.c_str(), nullptr, nullptr, argv, envp.data()), 0);

  std::vector<std::string> got;
  auto receiveUntil = [&](const std::string& needle) {
    char buf[512];
    for (;;) {
      ssize_t n = ::recv(sock, buf, sizeof buf, 0);
      if (n <= 0) return false;
      got.emplace_back(buf, static_cast<size_t>(n));
      if (got.back().find(needle) != std::string::npos) return true;
    }
  };
  ASSERT_TRUE(receiveUntil("READY=1"));
  ::kill(pid, SIGTERM);
  EXPECT_TRUE(receiveUntil("STATUS=Stopped"));
  int ws = scmtest::WaitExit(pid, 10000);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;
  ::close(sock);

  EXPECT_EQ(got, (std::vector<std::string>{
                     "STATUS=Starting (checkpoint 0)\nEXTEND_TIMEOUT_USEC=60000000\n",
                     "STATUS=Starting (checkpoint 1)\nEXTEND_TIMEOUT_USEC=60000000\n",
                     "STATUS=Starting (checkpoint 2)\nEXTEND_TIMEOUT_USEC=60000000\n",
                     "READY=1\nSTATUS=Running\n",
                     "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=60000000\n",
                     "STATUS=Stopped\n",
                 }));
  EXPECT_TRUE(scmtest::InOrder(scmtest::ReadLines(tmp.Sub("events")),
                               {"running", "control 1", "cleanup-done", "stopped"}));
}

INSTANTIATE_TEST_SUITE_P(PathAndAbstract, SystemdNotify, ::testing::Values(false, true));

}  // namespace
