// End to end with the built programs: tirvan-central, tirvan-tray-listener as the tray
// program's listener and TirvanClient under the built-in service manager. A tray-style
// client on 127.0.0.1 manages the account and the shares; the same requests from a LAN
// address or through the relay get nothing; an unknown device's login is put to the
// listener, which admits it and then refuses the next.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app_test_util.h"
#include "central/account_store.h"
#include "central/relay_device_client.h"
#include "central/relay_protocol.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kFirstEmail = "first@tirvan.test";
constexpr const char* kSecondEmail = "second@tirvan.test";

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
    apptest::WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, 10000);
  }
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

 private:
  std::string m_out;
  pid_t m_pid = -1;
};

// An IPv4 address of this host other than loopback, or "".
std::string LanAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* i = list; i != nullptr && found.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    if (std::strncmp(text, "127.", 4) != 0) found = text;
  }
  ::freeifaddrs(list);
  return found;
}

std::string Account(const std::string& email, const std::string& psw) {
  std::string a(64, '\0');
  std::memcpy(a.data(), email.data(), email.size());
  std::memcpy(a.data() + 32, psw.data(), psw.size());
  return a;
}

std::string LoginRecord(const std::string& email, const std::string& name) {
  std::string r(256, '\0');
  std::memcpy(r.data(), email.data(), email.size());
  std::memcpy(r.data() + 32, "nohash", 6);
  std::memcpy(r.data() + 64, name.data(), name.size());
  std::memcpy(r.data() + 128, "lan", 3);
  return r;
}

// The e-mail and station id of the one logged-on PC in the server's state file.
std::optional<std::pair<std::string, std::string>> LoggedOn(const std::string& stateFile) {
  std::string text = apptest::ReadFile(stateFile);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, nullptr)) return std::nullopt;
  const Json::Value& list = root["stations"];
  if (!list.isArray() || list.size() != 1 || !list[0]["loggedOn"].asBool()) return std::nullopt;
  return std::make_pair(list[0]["email"].asString(), list[0]["station"].asString());
}

uint32_t ResultOf(const support::Message& m) {
  return m.body.size() == 4 ? wire::GetU32(reinterpret_cast<const uint8_t*>(m.body.data()))
                            : 0xDEADBEEF;
}

class RequestsEndToEndTest : public ::testing::Test {
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
  void TearDown() override {
    if (m_started) Run({TIRVAN_SC_PATH, "stop", "Tirvan"});
  }

  apptest::RunResult Run(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}) {
    return apptest::Run(argv, env, m_tmp.Sub("run.out"));
  }

  // One request on a new connection from 127.0.0.1, as the tray program sends them.
  std::optional<support::Message> Tray(uint16_t opcode, const std::string& payload = "") {
    support::MsgClient c;
    if (!c.Connect(m_port)) return std::nullopt;
    if (!c.Send(opcode, 0, payload)) return std::nullopt;
    return c.Recv(10000);
  }

  support::TempDir m_tmp;
  uint16_t m_port = 0;
  bool m_started = false;
};

TEST_F(RequestsEndToEndTest, TrayRequestsOnLoopbackOnlyAndDeviceLoginsThroughTheListener) {
  const std::string firstHash = central::HashPassword("first");
  const std::string secondHash = central::HashPassword("second");
  const std::string centralDb = m_tmp.Sub("central.db");
  const std::string state = m_tmp.Sub("central-state.json");
  for (const auto& [email, password] : {std::pair{kFirstEmail, "first"}, {kSecondEmail, "second"}}) {
    apptest::RunResult r = Run(
        {TIRVAN_CENTRAL_BIN, "account", "add", "--db", centralDb, email, "--password", password});
    ASSERT_EQ(r.status, 0) << r.output;
  }
  Child central({TIRVAN_CENTRAL_BIN, "--db", centralDb, "--listen", "127.0.0.1:0", "--state", state},
                m_tmp.Sub("central.out"));
  const std::string centralPort = central.WaitLine("listening on 127.0.0.1:", 10000);
  ASSERT_FALSE(centralPort.empty()) << central.Output();
  Child listener({TIRVAN_TRAY_LISTENER_BIN, "--listen", "127.0.0.1:0", "--answers", "admit,refuse"},
                 m_tmp.Sub("listener.out"));
  const std::string listenerPort = listener.WaitLine("listening on 127.0.0.1:", 10000);
  ASSERT_FALSE(listenerPort.empty()) << listener.Output();

  // The service, with the first account stored so that it logs on and opens its relay
  // connection at once.
  const std::string root = m_tmp.Sub("root");
  const std::string share = m_tmp.Sub("share");
  m_tmp.MakeDir("share");
  apptest::RunResult r = Run({TIRVAN_SETUP_PATH, "--root", root, "--port", "0", "--server",
                              "127.0.0.1:" + centralPort, "--log-priority", "700"});
  ASSERT_EQ(r.status, 0) << r.output;
  std::filesystem::copy_file(TIRVAN_CLIENT_PATH, root + "/bin/TirvanClient");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root + "/etc/Tirvan.db").c_str(), &db), SQLITE_OK);
    std::string sql = "delete from qz_user; insert into qz_user(email, psw) values('" +
                      std::string(kFirstEmail) + "', '" + firstHash + "');";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  r = Run({root + "/bin/TirvanClient", "-i", "Tirvan"});
  ASSERT_EQ(r.status, 0) << r.output;
  r = Run({TIRVAN_SC_PATH, "start", "Tirvan"},
          {"TIRVAN_TRAY_LOGIN_PORT=" + listenerPort, "TIRVAN_POWEROFF_CMD=/bin/false",
           "TIRVAN_UPNP_ROOT_URL=http://127.0.0.1:1/rootDesc.xml"});
  ASSERT_EQ(r.status, 0) << r.output << m_tmp.Read("scm/Tirvan.log");
  m_started = true;
  const std::string logPath = root + "/log/Log.txt";
  ASSERT_TRUE(apptest::WaitUntil(
      [&] { return apptest::ReadFile(logPath).find("Bind port ") != std::string::npos; }, 10000));
  std::string log = apptest::ReadFile(logPath);
  m_port = static_cast<uint16_t>(std::atoi(log.c_str() + log.find("Bind port ") + 10));
  ASSERT_NE(m_port, 0);
  std::string station;
  ASSERT_TRUE(apptest::WaitUntil(
      [&] {
        auto pc = LoggedOn(state);
        if (pc) station = pc->second;
        return pc.has_value();
      },
      20000))
      << apptest::ReadFile(state);
  auto sharesBefore = Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(sharesBefore);

  // Through the relay: the tray's requests get nothing, a device request behind them its
  // answer.
  {
    central::RelayDeviceClient dev;
    int rc = -1;
    apptest::WaitUntil(
        [&] {
          rc = dev.Connect("127.0.0.1", static_cast<uint16_t>(std::atoi(centralPort.c_str())),
                           central::DeviceCredentials{kFirstEmail, firstHash, station});
          return rc != central::RESULT_STATION_OFFLINE;
        },
        15000);
    ASSERT_EQ(rc, 0) << central.Output();
    std::string thief = Account("thief@tirvan.test", secondHash);
    ASSERT_TRUE(dev.Send(OP_SHOW_LOG_ON, 1, reinterpret_cast<const uint8_t*>(thief.data()),
                         thief.size()));
    ASSERT_TRUE(dev.Send(OP_SHOW_LOG_ON_STATUES, 2));
    ASSERT_TRUE(dev.Send(OP_SHOW_SET_SHARE, 3, reinterpret_cast<const uint8_t*>("/"), 1));
    ASSERT_TRUE(dev.Send(OP_SHOW_GET_SHARE, 4));
    ASSERT_TRUE(dev.Send(OP_REQ_DEVICE_HEART_BEAT, 5, reinterpret_cast<const uint8_t*>("x"), 1));
    auto m = dev.Recv(5000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->head.opcode, OP_REQ_DEVICE_HEART_BEAT);
    EXPECT_FALSE(dev.Recv(200).has_value());
  }

  // From a LAN address of this host: the connection closes without an answer.
  const std::string lan = LanAddress();
  if (lan.empty()) {
    std::printf("no LAN address on this host: the LAN origin is covered in-process only\n");
  } else {
    for (const auto& [opcode, payload] :
         std::vector<std::pair<uint16_t, std::string>>{{OP_SHOW_LOG_ON, Account("thief@x", "h")},
                                                       {OP_SHOW_LOG_ON_STATUES, ""},
                                                       {OP_SHOW_SET_SHARE, "/"},
                                                       {OP_SHOW_GET_SHARE, ""}}) {
      support::MsgClient c;
      ASSERT_TRUE(c.Connect(m_port, 2000, lan)) << lan;
      ASSERT_TRUE(c.Send(opcode, 0, payload));
      EXPECT_TRUE(c.WaitPeerClose(5000)) << lan << " opcode " << opcode;
    }
  }
  // Nothing of that reached the account or the shares.
  auto info = Tray(OP_SHOW_GET_LOG_ON_INFO);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->body.substr(0, std::strlen(kFirstEmail)), kFirstEmail);
  auto shares = Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(shares);
  EXPECT_EQ(shares->body, sharesBefore->body);

  // The tray on 127.0.0.1: a new account, the logon state, the shares.
  auto logon = Tray(OP_SHOW_LOG_ON, Account(kSecondEmail, secondHash));
  ASSERT_TRUE(logon) << apptest::ReadFile(logPath);
  EXPECT_EQ(logon->head.length, 12);
  EXPECT_EQ(ResultOf(*logon), 0u);
  auto status = Tray(OP_SHOW_LOG_ON_STATUES);
  ASSERT_TRUE(status);
  EXPECT_EQ(ResultOf(*status), 0u);
  EXPECT_TRUE(apptest::WaitUntil(
      [&] {
        auto pc = LoggedOn(state);
        return pc && pc->first == kSecondEmail;
      },
      5000))
      << apptest::ReadFile(state);
  auto set = Tray(OP_SHOW_SET_SHARE, share + "\r\n");
  ASSERT_TRUE(set);
  EXPECT_EQ(ResultOf(*set), 0u);
  shares = Tray(OP_SHOW_GET_SHARE);
  ASSERT_TRUE(shares);
  EXPECT_EQ(shares->body, share + "\r\n");

  // An unknown device's login: the listener admits the first and refuses the second.
  for (uint16_t expected : {0, 1}) {
    support::MsgClient device;
    ASSERT_TRUE(device.Connect(m_port));
    ASSERT_TRUE(device.Send(OP_REQ_DEVICE_LOGIN, 9, LoginRecord("guest@tirvan.test", "pad")));
    auto reply = device.Recv(10000);
    ASSERT_TRUE(reply) << listener.Output();
    EXPECT_EQ(reply->head.opcode, OP_REQ_DEVICE_LOGIN);
    EXPECT_EQ(reply->head.seq, 0u);
    ASSERT_EQ(reply->body.size(), 4u);
    EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(reply->body.data())), expected);
  }
  std::string questions = listener.Output();
  EXPECT_TRUE(apptest::InOrder(questions, {"question", "email=guest@tirvan.test name=pad network=lan",
                                           "answer=admit", "question", "answer=refuse"}))
      << questions;
}

}  // namespace
