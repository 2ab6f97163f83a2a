// The built TirvanClient for real: its command line and exit codes, and a start and stop
// under the built-in service manager in an install root laid out by tirvan-setup.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app_test_util.h"
#include "platform/service_manager.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"

namespace {

using platform::ScmError;
using platform::ServiceState;
using Clock = std::chrono::steady_clock;

// Waits up to ms for process pid (a child of ours) to end; its wait status, or -1.
int WaitExit(int pid, int ms) {
  int status = -1;
  bool ended = apptest::WaitUntil(
      [&] {
        int s = 0;
        if (::waitpid(pid, &s, WNOHANG) != pid) return false;
        status = s;
        return true;
      },
      ms);
  return ended ? status : -1;
}

// The port the log's "Bind port N." line names, 0 while there is none.
uint16_t BoundPort(const std::string& log) {
  const std::string key = "Bind port ";
  size_t pos = log.find(key);
  return pos == std::string::npos
             ? 0
             : static_cast<uint16_t>(std::atoi(log.c_str() + pos + key.size()));
}

class ProgramTest : public ::testing::Test {
 protected:
  // Services the manager starts are detached; as their subreaper the test reaps them and
  // reads their exit status.
  static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

  void SetUp() override {
    m_tmp.MakeDir("scm");
    m_tmp.MakeDir("lock");
    for (const char* v : {"NOTIFY_SOCKET", "INVOCATION_ID", "TIRVAN_SCM_SERVICE"}) ::unsetenv(v);
    // The manager hands its environment to the services it starts.
    ::setenv("TIRVAN_SCM", "builtin", 1);
    ::setenv("TIRVAN_SCM_DIR", m_tmp.Sub("scm").c_str(), 1);
    ::setenv("TIRVAN_LOCK_DIR", m_tmp.Sub("lock").c_str(), 1);
    platform::ServiceManagerOptions o;
    o.stateDir = m_tmp.Sub("scm");
    o.pollMs = 10;
    m = platform::OpenBuiltinServiceManager(o);
  }

  void TearDown() override {
    for (const std::string& name : m_names) {
      platform::ServiceStatus st;
      if (m->QueryStatus(name, &st).ok() && st.state != ServiceState::kStopped) {
        m->Stop(name, 20000);
        if (st.pid > 0) WaitExit(st.pid, 20000);
      }
    }
  }

  // An install root with the program in its bin folder, as an installation has it.
  std::string Layout(const std::string& dir, int port) {
    const std::string root = m_tmp.Sub(dir);
    apptest::RunResult r = apptest::Run({TIRVAN_SETUP_PATH, "--root", root, "--port",
                                         std::to_string(port), "--log-priority", "700"},
                                        {}, m_tmp.Sub("setup.out"));
    EXPECT_EQ(r.status, 0) << r.output;
    std::filesystem::copy_file(TIRVAN_CLIENT_PATH, root + "/bin/TirvanClient");
    return root;
  }

  apptest::RunResult Client(const std::string& root, const std::vector<std::string>& args) {
    std::vector<std::string> argv{root + "/bin/TirvanClient"};
    argv.insert(argv.end(), args.begin(), args.end());
    return apptest::Run(argv, {}, m_tmp.Sub("client.out"));
  }

  apptest::RunResult Sc(const std::vector<std::string>& args) {
    std::vector<std::string> argv{TIRVAN_SC_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return apptest::Run(argv, {}, m_tmp.Sub("sc.out"));
  }

  // Installs the root's program as name.
  void Install(const std::string& root, const std::string& name) {
    m_names.push_back(name);
    apptest::RunResult r = Client(root, {"-i", name});
    ASSERT_EQ(r.status, 0) << r.output;
  }

  platform::ServiceStatus Status(const std::string& name) {
    platform::ServiceStatus st;
    platform::ScmResult r = m->QueryStatus(name, &st);
    EXPECT_TRUE(r.ok()) << r.message;
    return st;
  }

  support::TempDir m_tmp;
  std::unique_ptr<platform::ServiceManager> m;
  std::vector<std::string> m_names;
};

TEST_F(ProgramTest, CommandLineAndExitCodes) {
  const std::string root = Layout("root", 0);
  const std::string exe = root + "/bin/TirvanClient";
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case before[] = {
      {{}, 1},
      {{"anything"}, 0},
      {{"-i"}, 0},
      {{"-x", "Tirvan"}, 255},
      {{"-I", "Tirvan"}, 255},    // options are case-sensitive
      {{"-r", "Tirvan"}, 255},    // not started by a service manager
      {{"-u", "Tirvan"}, 255},    // not installed
      {{"-i", "bad/name"}, 255},  // refused by the manager
  };
  for (const Case& c : before) {
    apptest::RunResult r = Client(root, c.args);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args);
    EXPECT_EQ(r.output, "") << testing::PrintToString(c.args);  // main writes nothing
  }

  ASSERT_EQ(Client(root, {"-i", "Tirvan", "ignored"}).status, 0);
  const std::string record = m_tmp.Read("scm/Tirvan.service");
  EXPECT_NE(record.find("command=\"" + exe + "\" \"-r\" \"Tirvan\"\n"), std::string::npos)
      << record;
  EXPECT_NE(record.find("start=auto\n"), std::string::npos);
  EXPECT_EQ(Client(root, {"-i", "Tirvan"}).status, 255);
  EXPECT_EQ(m_tmp.Read("scm/Tirvan.service"), record);
  EXPECT_EQ(Client(root, {"-u", "Tirvan"}).status, 0);
  EXPECT_FALSE(m->IsInstalled("Tirvan"));
  EXPECT_EQ(Client(root, {"-u", "Tirvan"}).status, 255);
}

TEST_F(ProgramTest, StartsServesAndStopsUnderTheBuiltinManager) {
  const std::string root = Layout("root", 0);
  Install(root, "Tirvan");
  apptest::RunResult r = Sc({"start", "Tirvan"});
  ASSERT_EQ(r.status, 0) << r.output << m_tmp.Read("scm/Tirvan.log");
  EXPECT_EQ(r.output, "RUNNING\n");
  platform::ServiceStatus st = Status("Tirvan");
  ASSERT_EQ(st.state, ServiceState::kRunning);
  const int pid = st.pid;
  ASSERT_GT(pid, 0);

  const std::string logPath = root + "/log/Log.txt";
  std::string log = apptest::ReadFile(logPath);
  EXPECT_TRUE(apptest::InOrder(
      log, {"local bind port 0.", "Mac:", "Bind port ", "Start service successful!"}))
      << log;
  const uint16_t port = BoundPort(log);
  ASSERT_NE(port, 0) << log;

  // The port serves the registered handlers: the share list comes back...
  support::MsgClient client;
  ASSERT_TRUE(client.Connect(port));
  ASSERT_TRUE(client.Send(0x2002, 41));
  std::optional<support::Message> reply = client.Recv(5000);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->head.opcode, 0x2002);
  EXPECT_EQ(reply->head.seq, 41u);
  EXPECT_NE(reply->body.find(root + "/Tirvan"), std::string::npos);
  // ...and an opcode nobody registered ends the connection.
  support::MsgClient stranger;
  ASSERT_TRUE(stranger.Connect(port));
  ASSERT_TRUE(stranger.Send(0x0777, 1));
  EXPECT_TRUE(stranger.WaitPeerClose());

  // A second start is refused with a clear reason, and the service runs on.
  r = Sc({"start", "Tirvan"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("\"Tirvan\" is already running"), std::string::npos) << r.output;
  EXPECT_EQ(Status("Tirvan").pid, pid);

  auto t0 = Clock::now();
  r = Sc({"stop", "Tirvan"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "STOPPED\n");
  int status = WaitExit(pid, 60000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_LT(ms, 60000);  // within the wait hint
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(::kill(pid, 0), -1);  // nothing left running
  EXPECT_FALSE(support::MsgClient().Connect(port, 500));
  st = Status("Tirvan");
  EXPECT_EQ(st.state, ServiceState::kStopped);
  EXPECT_EQ(st.exitCode, 0u);

  log = apptest::ReadFile(logPath);
  EXPECT_TRUE(apptest::InOrder(log, {"Start service successful!", "exit server."})) << log;

  // Stopped, it starts again: the single-instance lock went with the old process.
  r = Sc({"start", "Tirvan"});
  EXPECT_EQ(r.status, 0) << r.output << m_tmp.Read("scm/Tirvan.log");
}

TEST_F(ProgramTest, SecondInstanceAndTakenPortFailTheStart) {
  const std::string root = Layout("root", 0);
  Install(root, "Tirvan");
  ASSERT_TRUE(m->Start("Tirvan", 20000).ok());
  const int first = Status("Tirvan").pid;

  // The same program under a second name finds the instance lock taken.
  Install(root, "Tirvan2");
  platform::ScmResult r = m->Start("Tirvan2", 20000);
  EXPECT_EQ(r.code, ScmError::kServiceSpecific) << r.message;
  EXPECT_NE(r.message.find("exit code 4124"), std::string::npos) << r.message;
  EXPECT_NE(m_tmp.Read("scm/Tirvan2.log").find("server exits.\n"), std::string::npos);
  EXPECT_EQ(Status("Tirvan2").exitCode, 4124u);
  EXPECT_EQ(Status("Tirvan").state, ServiceState::kRunning);
  ASSERT_TRUE(m->Stop("Tirvan", 20000).ok());
  EXPECT_NE(WaitExit(first, 20000), -1);

  // A configured port that another program holds fails the start with 4130.
  apptest::PortHolder taken;
  ASSERT_NE(taken.port(), 0);
  const std::string busy = Layout("busy", taken.port());
  Install(busy, "Tirvan3");
  r = m->Start("Tirvan3", 20000);
  EXPECT_EQ(r.code, ScmError::kServiceSpecific) << r.message;
  EXPECT_NE(r.message.find("exit code 4130"), std::string::npos) << r.message;
  std::string log = apptest::ReadFile(busy + "/log/Log.txt");
  EXPECT_TRUE(apptest::InOrder(log, {"get local bind port error.", "os init error."})) << log;
}

}  // namespace
