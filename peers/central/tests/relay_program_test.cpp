// The relay with the built programs: tirvan-central, TirvanClient under the built-in
// service manager (configured for that server, with the account stored), and
// tirvan-device reaching the PC through the server.
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "central/account_store.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kEmail = "relay@tirvan.test";
constexpr const char* kPassword = "relay";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A program running beside the test, its output in a file; ended with SIGTERM.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outPath) : m_out(outPath) {
    m_pid = ::fork();
    if (m_pid == 0) {
      if (std::freopen(outPath.c_str(), "w", stdout) == nullptr) ::_exit(127);
      ::dup2(1, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, 10000);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  std::string Output() const { return ReadFile(m_out); }
  // The rest of the first output line that starts with prefix, waiting up to ms.
  std::string WaitLine(const std::string& prefix, int ms) const {
    std::string found;
    WaitUntil(
        [&] {
          std::string out = Output();
          size_t pos = out.find(prefix);
          size_t end = pos == std::string::npos ? pos : out.find('\n', pos);
          if (end == std::string::npos) return false;
          found = out.substr(pos + prefix.size(), end - pos - prefix.size());
          return true;
        },
        ms);
    return found;
  }

 private:
  std::string m_out;
  pid_t m_pid = -1;
};

// The station id of the one logged-on PC in the server's state file, or "".
std::string LoggedOnStation(const std::string& stateFile) {
  std::string text = ReadFile(stateFile);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, nullptr)) return "";
  const Json::Value& list = root["stations"];
  if (!list.isArray() || list.size() != 1 || !list[0]["loggedOn"].asBool()) return "";
  return list[0]["station"].asString();
}

class RelayProgramTest : public ::testing::Test {
 protected:
  // The service runs detached from its manager; as subreaper the test reaps it.
  static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

  void SetUp() override {
    m_tmp.MakeDir("scm");
    m_tmp.MakeDir("lock");
    for (const char* v : {"NOTIFY_SOCKET", "INVOCATION_ID", "TIRVAN_SCM_SERVICE"}) ::unsetenv(v);
    ::setenv("TIRVAN_SCM", "builtin", 1);
    ::setenv("TIRVAN_SCM_DIR", m_tmp.Sub("scm").c_str(), 1);
    ::setenv("TIRVAN_LOCK_DIR", m_tmp.Sub("lock").c_str(), 1);
    // No home router: the port mapping fails at once.
    ::setenv("TIRVAN_UPNP_ROOT_URL", "http://127.0.0.1:1/rootDesc.xml", 1);
  }
  void TearDown() override {
    if (m_started) platform::RunCommand({TIRVAN_SC_PATH, "stop", "Tirvan"}, 20000);
  }

  platform::CommandResult Run(const std::vector<std::string>& argv) {
    return platform::RunCommand(argv, 30000);
  }

  support::TempDir m_tmp;
  bool m_started = false;
};

TEST_F(RelayProgramTest, DeviceListsTheSharesOfARunningServiceThroughTheServer) {
  const std::string centralDb = m_tmp.Sub("central.db");
  const std::string state = m_tmp.Sub("central-state.json");
  platform::CommandResult r = Run(
      {TIRVAN_CENTRAL_BIN, "account", "add", "--db", centralDb, kEmail, "--password", kPassword});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  Child central(
      {TIRVAN_CENTRAL_BIN, "--db", centralDb, "--listen", "127.0.0.1:0", "--state", state},
      m_tmp.Sub("central.out"));
  std::string port = central.WaitLine("listening on 127.0.0.1:", 10000);
  ASSERT_FALSE(port.empty()) << central.Output();
  const std::string server = "127.0.0.1:" + port;

  const std::string root = m_tmp.Sub("root");
  const std::string share = m_tmp.Sub("share");
  m_tmp.MakeDir("share");
  m_tmp.Write("share/hello.txt", "hello");
  r = Run({TIRVAN_SETUP_PATH, "--root", root, "--port", "0", "--server", server, "--share", share,
           "--log-priority", "700"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  std::filesystem::copy_file(TIRVAN_CLIENT_PATH, root + "/bin/TirvanClient");
  const std::string hash = central::HashPassword(kPassword);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root + "/etc/Tirvan.db").c_str(), &db), SQLITE_OK);
    std::string sql = "delete from qz_user; insert into qz_user(email, psw) values('" +
                      std::string(kEmail) + "', '" + hash + "');";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  r = Run({root + "/bin/TirvanClient", "-i", "Tirvan"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  r = Run({TIRVAN_SC_PATH, "start", "Tirvan"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err << m_tmp.Read("scm/Tirvan.log");
  m_started = true;

  std::string station;
  ASSERT_TRUE(WaitUntil([&] { return !(station = LoggedOnStation(state)).empty(); }, 20000))
      << ReadFile(state) << central.Output();

  auto device = [&](const std::vector<std::string>& args, const std::string& psw) {
    std::vector<std::string> argv{TIRVAN_DEVICE_PATH, "--relay",   server, "--account", kEmail,
                                  "--hash",           psw,         "--station", station,
                                  "--timeout",        "5000"};
    argv.insert(argv.end(), args.begin(), args.end());
    return platform::RunCommand(argv, 30000);
  };
  // The relay connection comes up right after the start.
  platform::CommandResult shares;
  WaitUntil(
      [&] {
        shares = device({"shares"}, hash);
        return shares.exitCode == 0 || shares.err.find("not connected") == std::string::npos;
      },
      15000);
  ASSERT_EQ(shares.exitCode, 0) << shares.out << shares.err << central.Output();
  EXPECT_EQ(shares.out, share + "\n" + root + "/Tirvan\n");  // the share, then the default folder

  platform::CommandResult ls = device({"ls", share}, hash);
  ASSERT_EQ(ls.exitCode, 0) << ls.out << ls.err;
  EXPECT_NE(ls.out.find("hello.txt"), std::string::npos) << ls.out;

  platform::CommandResult wrong = device({"shares"}, central::HashPassword("guess"));
  EXPECT_NE(wrong.exitCode, 0);
  EXPECT_NE(wrong.err.find("wrong password"), std::string::npos) << wrong.err;

  std::string log = central.Output();
  EXPECT_NE(log.find("relay station=" + station), std::string::npos) << log;
  EXPECT_NE(log.find("logged on for station=" + station), std::string::npos) << log;
}

}  // namespace
