// End to end: tirvan-central with a demo account, tirvan-igd as the home router, and the
// built TirvanClient under the built-in service manager, configured to use both. The
// service logs on at start, reports its addresses, power-on and disks, heartbeats at the
// interval its environment sets, maps its port; a stop logs it out.
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app_test_util.h"
#include "central/account_store.h"
#include "comm/utils.h"
#include "platform/service_manager.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kEmail = "demo@tirvan.test";
constexpr const char* kPassword = "demo";

// A program running beside the test, its output in a file; ended with SIGTERM.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& outPath) : m_out(outPath) {
    m_pid = ::fork();
    if (m_pid == 0) {
      FILE* out = std::freopen(outPath.c_str(), "w", stdout);
      if (out == nullptr) ::_exit(127);
      ::dup2(1, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  std::string Output() const { return apptest::ReadFile(m_out); }
  // The rest of the first output line that starts with prefix, waiting up to ms.
  std::string WaitLine(const std::string& prefix, int ms) const {
    std::string found;
    apptest::WaitUntil(
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
  // SIGTERM and the exit status (-1 when it did not end within 10 s).
  int Stop() {
    if (m_pid <= 0) return m_status;
    ::kill(m_pid, SIGTERM);
    apptest::WaitUntil([&] { return ::waitpid(m_pid, &m_status, WNOHANG) == m_pid; }, 10000);
    m_pid = -1;
    return m_status;
  }

 private:
  std::string m_out;
  pid_t m_pid = -1;
  int m_status = -1;
};

// The PC's record in the central server's state file, once it is readable and holds one.
std::optional<Json::Value> Station(const std::string& stateFile) {
  std::string text = apptest::ReadFile(stateFile);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, nullptr)) return std::nullopt;
  const Json::Value& list = root["stations"];
  if (!list.isArray() || list.size() != 1) return std::nullopt;
  return list[0];
}

void StoreAccount(const std::string& dbPath, const std::string& email, const std::string& psw) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
  std::string sql = "delete from qz_user; insert into qz_user(email, psw) values('" + email +
                    "', '" + psw + "');";
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error != nullptr ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

class LogonEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

  void SetUp() override {
    m_tmp.MakeDir("scm");
    m_tmp.MakeDir("lock");
    for (const char* v : {"NOTIFY_SOCKET", "INVOCATION_ID", "TIRVAN_SCM_SERVICE"}) ::unsetenv(v);
    ::setenv("TIRVAN_SCM", "builtin", 1);
    ::setenv("TIRVAN_SCM_DIR", m_tmp.Sub("scm").c_str(), 1);
    ::setenv("TIRVAN_LOCK_DIR", m_tmp.Sub("lock").c_str(), 1);
  }

  apptest::RunResult Run(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}) {
    return apptest::Run(argv, env, m_tmp.Sub("run.out"));
  }

  support::TempDir m_tmp;
};

TEST_F(LogonEndToEndTest, LogsOnReportsHeartbeatsAndLogsOut) {
  // The central server with the demo account.
  const std::string centralDb = m_tmp.Sub("central.db");
  const std::string state = m_tmp.Sub("central-state.json");
  apptest::RunResult r =
      Run({TIRVAN_CENTRAL_BIN, "account", "add", "--db", centralDb, kEmail, "--password", kPassword});
  ASSERT_EQ(r.status, 0) << r.output;
  Child central({TIRVAN_CENTRAL_BIN, "--db", centralDb, "--listen", "127.0.0.1:0", "--state", state},
                m_tmp.Sub("central.out"));
  std::string listen = central.WaitLine("listening on 127.0.0.1:", 10000);
  ASSERT_FALSE(listen.empty()) << central.Output();

  // The home router.
  Child gateway({TIRVAN_IGD_BIN}, m_tmp.Sub("igd.out"));
  std::string rootUrl = gateway.WaitLine("root description ", 10000);
  ASSERT_FALSE(rootUrl.empty()) << gateway.Output();

  // The service's install root, pointed at the server, with the account the tray
  // program would have stored.
  const std::string root = m_tmp.Sub("root");
  r = Run({TIRVAN_SETUP_PATH, "--root", root, "--port", "0", "--server", "127.0.0.1:" + listen,
           "--log-priority", "700"});
  ASSERT_EQ(r.status, 0) << r.output;
  std::filesystem::copy_file(TIRVAN_CLIENT_PATH, root + "/bin/TirvanClient");
  StoreAccount(root + "/etc/Tirvan.db", kEmail, central::HashPassword(kPassword));

  r = Run({root + "/bin/TirvanClient", "-i", "Tirvan"});
  ASSERT_EQ(r.status, 0) << r.output;
  r = Run({TIRVAN_SC_PATH, "start", "Tirvan"},
          {"TIRVAN_HEARTBEAT_MS=200", "TIRVAN_UPNP_ROOT_URL=" + rootUrl});
  ASSERT_EQ(r.status, 0) << r.output << m_tmp.Read("scm/Tirvan.log");

  // Logged on, with its addresses and the mapped port, its power-on and its disks.
  std::optional<Json::Value> pc;
  bool reported = apptest::WaitUntil(
      [&] {
        pc = Station(state);
        return pc && (*pc)["loggedOn"].asBool() && (*pc)["powerOn"]["time"].asInt64() != 0 &&
               (*pc)["disks"]["time"].asInt64() != 0 && (*pc)["lastHeartBeat"].asInt64() != 0;
      },
      20000);
  ASSERT_TRUE(reported) << apptest::ReadFile(state) << central.Output()
                        << apptest::ReadFile(root + "/log/Log.txt");
  EXPECT_EQ((*pc)["email"].asString(), kEmail);
  EXPECT_EQ((*pc)["systemType"].asInt(), 2);
  EXPECT_EQ((*pc)["powerOn"]["email"].asString(), kEmail);
  EXPECT_EQ((*pc)["serverInfo"]["externalPort"].asInt(), 61617);
  EXPECT_NE((*pc)["serverInfo"]["localPort"].asInt(), 0);
  EXPECT_FALSE((*pc)["serverInfo"]["hostName"].asString().empty());
  ASSERT_GE((*pc)["disks"]["volumes"].size(), 1u);
  EXPECT_EQ((*pc)["disks"]["volumes"][0]["drive"].asString(), GetDriveRoot(root));
  EXPECT_NE(gateway.Output().find("SOAP AddPortMapping"), std::string::npos) << gateway.Output();
  EXPECT_NE(gateway.Output().find("NewExternalPort=61617"), std::string::npos);

  // The heartbeat goes on at its interval.
  int64_t beat = (*pc)["lastHeartBeat"].asInt64();
  EXPECT_TRUE(apptest::WaitUntil(
      [&] {
        pc = Station(state);
        return pc && (*pc)["lastHeartBeat"].asInt64() > beat;
      },
      10000));

  // A stop logs the PC out.
  r = Run({TIRVAN_SC_PATH, "stop", "Tirvan"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(apptest::WaitUntil(
      [&] {
        pc = Station(state);
        return pc && !(*pc)["loggedOn"].asBool() && (*pc)["logOutTime"].asInt64() != 0;
      },
      10000))
      << apptest::ReadFile(state);
  EXPECT_TRUE(apptest::InOrder(central.Output(), {"SV_LOG_ON", "SV_SET_SV_INFO",
                                                  "SV_SET_POWER_ON_INFO", "SV_HEART_BEAT",
                                                  "SV_LOG_OUT"}))
      << central.Output();
}

}  // namespace
