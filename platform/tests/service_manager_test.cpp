// The built-in service manager and the dispatcher, driven for real: the test service
// program is installed in a temporary state directory, started detached, signalled
// and stopped.
#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/service_dispatcher.h"
#include "scm_test_util.h"
#include "support/temp_dir.h"

namespace {

using platform::ScmError;
using platform::ServiceState;
using platform::ServiceStatus;
using platform::StartType;

class BuiltinScm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { scmtest::BecomeSubreaper(); }

  void SetUp() override {
    m_dir = m_tmp.Sub("scm");
    m_tmp.MakeDir("scm");
    // A blank in the program's path: the quoted command line must carry it.
    m_tmp.MakeDir("bin dir");
    m_exe = m_tmp.Sub("bin dir/test service");
    ASSERT_EQ(::symlink(scmtest::kTestService, m_exe.c_str()), 0);
    platform::ServiceManagerOptions o;
    o.stateDir = m_dir;
    o.pollMs = 5;
    m = platform::OpenBuiltinServiceManager(o);
  }

  void Configure(const std::string& name, const std::string& conf) {
    m_tmp.Write("scm/" + name + ".test", conf);
  }

  std::vector<std::string> Events(const std::string& name) {
    return scmtest::ReadLines(m_dir + "/" + name + ".events");
  }

  // Ends the clean-up of a service configured with cleanuphold=1.
  void ReleaseCleanUp(const std::string& name) {
    m_tmp.Write("scm/" + name + ".events.release", "");
  }

  ServiceStatus Status(const std::string& name) {
    ServiceStatus st;
    platform::ScmResult r = m->QueryStatus(name, &st);
    EXPECT_TRUE(r.ok()) << r.message;
    return st;
  }

  // Installs and starts name; returns the service's pid once it runs.
  int InstallAndRun(const std::string& name, const std::string& conf) {
    EXPECT_TRUE(m->Install(name, m_exe).ok());
    Configure(name, conf);
    platform::ScmResult r = m->Start(name, 10000);
    EXPECT_TRUE(r.ok()) << r.message;
    ServiceStatus st = Status(name);
    EXPECT_EQ(st.state, ServiceState::kRunning);
    return st.pid;
  }

  support::TempDir m_tmp;
  std::string m_dir;
  std::string m_exe;
  std::unique_ptr<platform::ServiceManager> m;
};

TEST_F(BuiltinScm, InstallStartQueryStopRemove) {
  ASSERT_TRUE(m->Install("Svc", m_exe).ok());
  std::string record = m_tmp.Read("scm/Svc.service");
  EXPECT_NE(record.find("command=\"" + m_exe + "\" \"-r\" \"Svc\"\n"), std::string::npos);
  EXPECT_NE(record.find("start=auto\n"), std::string::npos);
  EXPECT_NE(record.find("display=Svc\n"), std::string::npos);

  platform::ScmResult again = m->Install("Svc", "/bin/true");
  EXPECT_EQ(again.code, ScmError::kServiceExists);
  EXPECT_NE(again.message.find("already installed"), std::string::npos);
  EXPECT_EQ(m_tmp.Read("scm/Svc.service"), record);

  EXPECT_TRUE(m->IsInstalled("Svc"));
  EXPECT_FALSE(m->IsInstalled("Other"));
  StartType type = StartType::kDisabled;
  ASSERT_TRUE(m->GetStartType("Svc", &type).ok());
  EXPECT_EQ(type, StartType::kAuto);
  EXPECT_EQ(Status("Svc").state, ServiceState::kStopped);

  Configure("Svc", "steps=2\nstepms=20\ncleanupms=50\n");
  ASSERT_TRUE(m->Start("Svc", 10000).ok());
  ServiceStatus st = Status("Svc");
  EXPECT_EQ(st.state, ServiceState::kRunning);
  ASSERT_GT(st.pid, 0);
  EXPECT_EQ(m->Start("Svc", 0).code, ScmError::kAlreadyRunning);

  auto t0 = std::chrono::steady_clock::now();
  platform::ScmResult stop = m->Stop("Svc", static_cast<int>(platform::kDefaultWaitHintMs));
  ASSERT_TRUE(stop.ok()) << stop.message;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  ServiceStatus after = Status("Svc");
  EXPECT_EQ(after.state, ServiceState::kStopped);
  EXPECT_EQ(after.exitCode, 0u);
  EXPECT_EQ(after.pid, 0);

  // Nothing is left running: the process has ended, cleanly.
  int ws = scmtest::WaitExit(st.pid, 5000);
  ASSERT_NE(ws, -1);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws;

  auto ev = Events("Svc");
  EXPECT_EQ(scmtest::Count(ev, "main-mask-blocked"), 1);
  EXPECT_EQ(scmtest::Count(ev, "worker-mask-blocked"), 1);
  EXPECT_TRUE(scmtest::InOrder(ev, {"checkpoint 1", "checkpoint 2", "running", "control 1",
                                    "cleanup-done", "stopped", "dispatcher-returned 0"}));
  EXPECT_EQ(scmtest::Count(ev, "control"), 1);

  EXPECT_EQ(m->Stop("Svc", 1000).code, ScmError::kNotActive);
  ASSERT_TRUE(m->Remove("Svc").ok());
  EXPECT_FALSE(m->IsInstalled("Svc"));
  ServiceStatus gone;
  EXPECT_EQ(m->QueryStatus("Svc", &gone).code, ScmError::kDoesNotExist);
  EXPECT_EQ(m->Remove("Svc").code, ScmError::kDoesNotExist);
}

TEST_F(BuiltinScm, KilledProcessReadsStoppedAndStartsAgain) {
  int pid = InstallAndRun("Svc", "");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  // Not reaped yet (a zombie of this process), it already counts as stopped.
  EXPECT_TRUE(
      scmtest::WaitUntil([&] { return Status("Svc").state == ServiceState::kStopped; }, 5000));
  EXPECT_EQ(Status("Svc").exitCode, static_cast<uint32_t>(ScmError::kProcessAborted));
  int ws = scmtest::WaitExit(pid, 5000);
  EXPECT_TRUE(WIFSIGNALED(ws));
  EXPECT_EQ(Status("Svc").state, ServiceState::kStopped);

  platform::ScmResult r = m->Start("Svc", 10000);
  ASSERT_TRUE(r.ok()) << r.message;
  int pid2 = Status("Svc").pid;
  EXPECT_NE(pid2, pid);
  EXPECT_TRUE(m->Stop("Svc", 10000).ok());
  scmtest::WaitExit(pid2, 5000);
}

// A watchdog starts the service again as soon as it has stopped: a stop that waits still
// succeeds, though it may never see the service stopped.
TEST_F(BuiltinScm, StopThatWaitsSucceedsWhenTheServiceIsStartedAgainAtOnce) {
  int pid = InstallAndRun("Svc", "cleanupms=20\n");
  ASSERT_GT(pid, 0);
  std::atomic<bool> restarted{false};
  std::thread watchdog([&] {
    platform::ServiceManagerOptions o;
    o.stateDir = m_dir;
    o.pollMs = 5;
    auto other = platform::OpenBuiltinServiceManager(o);
    scmtest::WaitUntil(
        [&] {
          ServiceStatus st;
          return other->QueryStatus("Svc", &st).ok() && st.state == ServiceState::kStopped;
        },
        10000);
    restarted = other->Start("Svc", 10000).ok();
  });
  // This stop looks again only after the watchdog has had its time.
  platform::ServiceManagerOptions slow;
  slow.stateDir = m_dir;
  slow.pollMs = 500;
  platform::ScmResult r = platform::OpenBuiltinServiceManager(slow)->Stop("Svc", 5000);
  watchdog.join();
  EXPECT_TRUE(r.ok()) << r.message;
  EXPECT_TRUE(restarted);
  EXPECT_NE(scmtest::WaitExit(pid, 5000), -1);
  ServiceStatus st = Status("Svc");
  EXPECT_NE(st.pid, pid);
  EXPECT_TRUE(m->Stop("Svc", 10000).ok());
  scmtest::WaitExit(st.pid, 5000);
}

TEST_F(BuiltinScm, StopDuringStartUpIsHeldUntilRunning) {
  ASSERT_TRUE(m->Install("Svc", m_exe).ok());
  Configure("Svc", "steps=4\nstepms=80\ncleanupms=20\n");
  ASSERT_TRUE(m->Start("Svc", 0).ok());

  // Every query while the service writes its reports reads a whole status.
  std::vector<ServiceStatus> seen;
  auto look = [&] {
    ServiceStatus st;
    platform::ScmResult r = m->QueryStatus("Svc", &st);
    EXPECT_TRUE(r.ok()) << r.message;
    seen.push_back(st);
    return st;
  };
  ASSERT_TRUE(scmtest::WaitUntil(
      [&] {
        ServiceStatus st = look();
        return st.state == ServiceState::kStartPending && st.checkPoint >= 1;
      },
      10000));
  int pid = seen.back().pid;
  ASSERT_TRUE(m->Stop("Svc", 0).ok());
  ASSERT_TRUE(scmtest::WaitUntil([&] { return look().state == ServiceState::kStopped; }, 10000));

  // The states only move forward, and the checkpoints rise while it starts.
  uint32_t lastCheckPoint = 0;
  bool stopping = false;
  for (const auto& st : seen) {
    if (st.state == ServiceState::kStartPending) {
      EXPECT_FALSE(stopping);
      EXPECT_GE(st.checkPoint, lastCheckPoint);
      lastCheckPoint = st.checkPoint;
    }
    if (st.state == ServiceState::kStopPending) stopping = true;
    if (stopping) {
      EXPECT_NE(st.state, ServiceState::kRunning);
    }
  }

  auto ev = Events("Svc");
  EXPECT_TRUE(scmtest::InOrder(ev, {"checkpoint 1", "checkpoint 2", "checkpoint 3", "checkpoint 4",
                                    "running", "control 1", "cleanup-done", "stopped"}));
  EXPECT_EQ(scmtest::Count(ev, "control"), 1);
  int ws = scmtest::WaitExit(pid, 5000);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
}

struct SignalCase {
  const char* name;
  int signo;
  const char* control;
};

class BuiltinScmSignals : public BuiltinScm, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(BuiltinScmSignals, OnlyTheFirstStopSignalRunsTheHandler) {
  // The clean-up lasts until released, so that what follows surely comes during it.
  int pid = InstallAndRun("Svc", "cleanuphold=1\n");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, GetParam().signo), 0);
  ASSERT_TRUE(
      scmtest::WaitUntil([&] { return Status("Svc").state == ServiceState::kStopPending; }, 10000));
  // More stop signals while the clean-up runs.
  ::kill(pid, SIGTERM);
  ::kill(pid, SIGHUP);
  ::kill(pid, SIGINT);
  EXPECT_TRUE(m->Stop("Svc", 0).ok());  // stopping already: no second control
  ReleaseCleanUp("Svc");
  EXPECT_TRUE(
      scmtest::WaitUntil([&] { return Status("Svc").state == ServiceState::kStopped; }, 10000));

  auto ev = Events("Svc");
  EXPECT_EQ(scmtest::Count(ev, "control"), 1);
  EXPECT_EQ(scmtest::Count(ev, GetParam().control), 1);
  EXPECT_EQ(scmtest::Count(ev, "cleanup-done"), 1);
  int ws = scmtest::WaitExit(pid, 5000);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, BuiltinScmSignals,
                         ::testing::Values(SignalCase{"Term", SIGTERM, "control 1"},
                                           SignalCase{"Int", SIGINT, "control 1"},
                                           SignalCase{"Hup", SIGHUP, "control 5"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(BuiltinScm, SecondStopIsNotDeliveredToAHandlerThatReportsNothing) {
  int pid = InstallAndRun("Svc", "quiethandler=1\ncleanuphold=1\n");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  ASSERT_TRUE(
      scmtest::WaitUntil([&] { return scmtest::Count(Events("Svc"), "control") > 0; }, 10000));
  ASSERT_EQ(Status("Svc").state, ServiceState::kRunning);  // as far as the manager knows
  ::kill(pid, SIGTERM);  // while the clean-up runs
  ReleaseCleanUp("Svc");
  int ws = scmtest::WaitExit(pid, 10000);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  EXPECT_EQ(scmtest::Count(Events("Svc"), "control"), 1);
}

TEST_F(BuiltinScm, FailedStartIsReportedAsFailure) {
  ASSERT_TRUE(m->Install("Svc", m_exe).ok());
  Configure("Svc", "steps=1\nfailcode=4130\n");
  platform::ScmResult r = m->Start("Svc", 10000);
  EXPECT_EQ(r.code, ScmError::kServiceSpecific);
  EXPECT_NE(r.message.find("exit code 4130"), std::string::npos) << r.message;
  EXPECT_NE(r.message.find(m_dir + "/Svc.log"), std::string::npos) << r.message;
  ServiceStatus st = Status("Svc");
  EXPECT_EQ(st.state, ServiceState::kStopped);
  EXPECT_EQ(st.exitCode, 4130u);

  auto ev = Events("Svc");
  EXPECT_EQ(scmtest::Count(ev, "running"), 0);
  EXPECT_EQ(scmtest::Count(ev, "dispatcher-returned 4130"), 1);
  EXPECT_EQ(platform::ServiceExitStatus(4130), 4130 & 0xFF);
  EXPECT_EQ(platform::ServiceExitStatus(256), 1);
  EXPECT_EQ(platform::ServiceExitStatus(0), 0);
}

TEST_F(BuiltinScm, StartTypeAndRemovalWhileRunning) {
  ASSERT_TRUE(m->Install("Svc", m_exe).ok());
  ASSERT_TRUE(m->SetStartType("Svc", StartType::kDisabled).ok());
  StartType type = StartType::kAuto;
  ASSERT_TRUE(m->GetStartType("Svc", &type).ok());
  EXPECT_EQ(type, StartType::kDisabled);
  EXPECT_EQ(m->Start("Svc", 1000).code, ScmError::kServiceDisabled);
  EXPECT_EQ(Status("Svc").state, ServiceState::kStopped);

  ASSERT_TRUE(m->SetStartType("Svc", StartType::kDemand).ok());
  ASSERT_TRUE(m->GetStartType("Svc", &type).ok());
  EXPECT_EQ(type, StartType::kDemand);
  ASSERT_TRUE(m->Start("Svc", 10000).ok());
  int pid = Status("Svc").pid;

  // Removed while it runs: still there and stoppable, but nothing else.
  ASSERT_TRUE(m->Remove("Svc").ok());
  EXPECT_TRUE(m->IsInstalled("Svc"));
  EXPECT_EQ(Status("Svc").state, ServiceState::kRunning);
  EXPECT_EQ(m->Start("Svc", 0).code, ScmError::kMarkedForDelete);
  EXPECT_EQ(m->SetStartType("Svc", StartType::kAuto).code, ScmError::kMarkedForDelete);
  EXPECT_EQ(m->Install("Svc", m_exe).code, ScmError::kMarkedForDelete);
  EXPECT_EQ(m->Remove("Svc").code, ScmError::kMarkedForDelete);

  ASSERT_TRUE(m->Stop("Svc", 10000).ok());
  scmtest::WaitExit(pid, 5000);
  EXPECT_FALSE(m->IsInstalled("Svc"));
  EXPECT_NE(::access((m_dir + "/Svc.service").c_str(), F_OK), 0);
  EXPECT_TRUE(m->Install("Svc", m_exe).ok());
}

TEST_F(BuiltinScm, RefusesBadInstallsAndCreatesNothing) {
  struct Case {
    std::string name, exe;
    ScmError code;
  };
  const Case cases[] = {
      {"", m_exe, ScmError::kInvalidName},
      {"a/b", m_exe, ScmError::kInvalidName},
      {"../x", m_exe, ScmError::kInvalidName},
      {".hidden", m_exe, ScmError::kInvalidName},
      {"a b", m_exe, ScmError::kInvalidName},
      {std::string(129, 'a'), m_exe, ScmError::kInvalidName},
      {"Svc", "relative/prog", ScmError::kInvalidParameter},
      {"Svc", "/bin/a\"b", ScmError::kInvalidParameter},
      {"Svc", "/bin/a\nb", ScmError::kInvalidParameter},
      // "<exe>" "-r" "Svc" is the path's length plus 13: 1011 + 13 = 1024.
      {"Svc", "/" + std::string(1010, 'a'), ScmError::kInvalidParameter},
  };
  for (const auto& c : cases) {
    platform::ScmResult r = m->Install(c.name, c.exe);
    EXPECT_EQ(r.code, c.code) << c.name << " " << c.exe.substr(0, 20);
    EXPECT_FALSE(r.message.empty());
  }
  EXPECT_FALSE(m->IsInstalled("Svc"));
  EXPECT_NE(::access((m_dir + "/Svc.service").c_str(), F_OK), 0);
  // Exactly 1023 characters is accepted.
  EXPECT_TRUE(m->Install("Svc", "/" + std::string(1009, 'a')).ok());
}

TEST_F(BuiltinScm, ProgramThatCannotRunIsAStartError) {
  ASSERT_TRUE(m->Install("Svc", m_tmp.Sub("missing program")).ok());
  platform::ScmResult r = m->Start("Svc", 1000);
  EXPECT_EQ(r.code, ScmError::kSystem);
  EXPECT_NE(r.message.find("No such file"), std::string::npos) << r.message;
  EXPECT_EQ(Status("Svc").state, ServiceState::kStopped);
}

TEST_F(BuiltinScm, CorruptFilesGiveClearErrorsAndStayUnchanged) {
  ASSERT_TRUE(m->Install("Svc", m_exe).ok());
  m_tmp.Write("scm/Svc.service", "garbage\n");
  ServiceStatus st;
  platform::ScmResult r = m->QueryStatus("Svc", &st);
  EXPECT_EQ(r.code, ScmError::kCorruptRecord);
  EXPECT_NE(r.message.find(m_dir + "/Svc.service"), std::string::npos) << r.message;
  EXPECT_EQ(m->Start("Svc", 0).code, ScmError::kCorruptRecord);
  EXPECT_EQ(m_tmp.Read("scm/Svc.service"), "garbage\n");

  m_tmp.Write("scm/Svc.service", "name=Other\nstart=auto\ncommand=\"/bin/true\"\n");
  EXPECT_EQ(m->QueryStatus("Svc", &st).code, ScmError::kCorruptRecord);

  ::unlink((m_dir + "/Svc.service").c_str());
  ASSERT_TRUE(m->Install("Svc", m_exe).ok());
  m_tmp.Write("scm/Svc.status", "state=RUNNING\npid=abc\n");
  r = m->QueryStatus("Svc", &st);
  EXPECT_EQ(r.code, ScmError::kCorruptRecord);
  EXPECT_NE(r.message.find("pid"), std::string::npos) << r.message;
}

TEST_F(BuiltinScm, ReusedPidDoesNotReadAsTheService) {
  ASSERT_TRUE(m->Install("Svc", m_exe).ok());
  // A status naming a live process (this one) that started at another time.
  std::string pid = std::to_string(::getpid());
  m_tmp.Write("scm/Svc.status", "state=RUNNING\npid=" + pid + "\npidstart=1\n");
  ServiceStatus st = Status("Svc");
  EXPECT_EQ(st.state, ServiceState::kStopped);
  EXPECT_EQ(st.exitCode, static_cast<uint32_t>(ScmError::kProcessAborted));
  EXPECT_EQ(m->Stop("Svc", 0).code, ScmError::kNotActive);  // and it is not signalled

  // With this process's real start time it is taken for the service.
  std::string stat = scmtest::ReadLines("/proc/self/stat").at(0);
  std::string rest = stat.substr(stat.rfind(')') + 2);
  std::istringstream fields(rest);
  std::string field;
  for (int i = 0; i < 20; ++i) fields >> field;
  m_tmp.Write("scm/Svc.status", "state=RUNNING\npid=" + pid + "\npidstart=" + field + "\n");
  EXPECT_EQ(Status("Svc").state, ServiceState::kRunning);
}

TEST(ScmCommandLine, QuotesEveryPartAndSplitsBack) {
  std::string line;
  ASSERT_TRUE(
      platform::BuildServiceCommandLine("/opt/tir van/bin/TirvanClient", "TirvanClient", &line)
          .ok());
  EXPECT_EQ(line, "\"/opt/tir van/bin/TirvanClient\" \"-r\" \"TirvanClient\"");
  std::vector<std::string> words;
  ASSERT_TRUE(platform::SplitCommandLine(line, &words));
  EXPECT_EQ(words,
            (std::vector<std::string>{"/opt/tir van/bin/TirvanClient", "-r", "TirvanClient"}));
  EXPECT_FALSE(platform::SplitCommandLine("\"/bin/x -r", &words));
}

class ScmDispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* k : {"TIRVAN_SCM_SERVICE", "NOTIFY_SOCKET", "INVOCATION_ID"}) ::unsetenv(k);
  }
  void TearDown() override { ::unsetenv("TIRVAN_SCM_SERVICE"); }
};

TEST_F(ScmDispatcher, FailsAtOnceWhenNoManagerStartedTheProcess) {
  bool ran = false;
  uint32_t exitCode = 7;
  auto t0 = std::chrono::steady_clock::now();
  platform::ScmResult r = platform::RunServiceDispatcher(
      "Svc", [&] { ran = true; }, [&](uint32_t) { ran = true; }, &exitCode);
  EXPECT_EQ(r.code, ScmError::kNotStartedByManager);
  EXPECT_FALSE(r.message.empty());
  EXPECT_FALSE(ran);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));

  // Started by the built-in manager, but for another service.
  ::setenv("TIRVAN_SCM_SERVICE", "Other", 1);
  r = platform::RunServiceDispatcher(
      "Svc", [&] { ran = true; }, [&](uint32_t) {}, &exitCode);
  EXPECT_EQ(r.code, ScmError::kNotStartedByManager);
  EXPECT_NE(r.message.find("Other"), std::string::npos);
  EXPECT_FALSE(ran);

  // The stop signals stay as they were, and there is nobody to report to.
  sigset_t cur;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &cur);
  EXPECT_EQ(sigismember(&cur, SIGTERM), 0);
  EXPECT_FALSE(platform::ReportServiceStatus(ServiceState::kRunning, 0, 0).ok());
}

TEST_F(ScmDispatcher, ProgramRunFromAConsoleExitsAtOnce) {
  support::TempDir tmp;
  std::vector<std::string> env =
      scmtest::CleanEnvironment({"TIRVAN_TEST_SERVICE_EVENTS=" + tmp.Sub("events")});
  platform::CommandResult c =
      platform::RunCommand({scmtest::kTestService, "-r", "Svc"}, 10000, &env);
  EXPECT_EQ(c.exitCode, 255) << c.error << c.err;
  EXPECT_EQ(scmtest::ReadLines(tmp.Sub("events")),
            std::vector<std::string>{"dispatcher-failed 1063"});
}

}  // namespace
