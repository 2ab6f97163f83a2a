// Logon and reports against scripted answers (what the central server may do wrong)
// and against tirvan-central's own server, with UPnP through the test gateway.
#include "app/logon.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "app/service_init.h"
#include "app/upnp.h"
#include "central/central_server.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/sqlite_db.h"
#include "comm/utils.h"
#include "igd/igd_emulator.h"
#include "platform/net.h"
#include "support/fake_server.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kStation = "00-1A-2B-3C-4D-5E";
constexpr const char* kEmail = "pc@example.com";
constexpr const char* kOsName = "Debian GNU/Linux 12 (bookworm)";

std::string ShippedSchema() {
  std::filesystem::path root =
      std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
  std::ifstream in(root / "etc" / "schema.sql");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string HostName() {
  char buf[256] = {};
  ::gethostname(buf, sizeof buf - 1);
  return buf;
}

// Waits until pred holds, up to timeoutMs.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 5000) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// ---- Expected payloads, laid out field by field.

void PutRaw(Bytes& b, size_t off, const std::string& text) {
  std::memcpy(b.data() + off, text.data(), text.size());
}
void PutBe16(Bytes& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v >> 8);
  b[off + 1] = static_cast<uint8_t>(v);
}
void PutBe32(Bytes& b, size_t off, uint32_t v) {
  PutBe16(b, off, static_cast<uint16_t>(v >> 16));
  PutBe16(b, off + 2, static_cast<uint16_t>(v));
}
Bytes HeadBytes(uint16_t length, uint16_t command, const std::string& id) {
  Bytes b(70, 0);
  PutBe16(b, 0, length);
  PutBe16(b, 2, 6);
  PutBe16(b, 4, command);
  PutRaw(b, 6, id);
  return b;
}
Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- A loopback server that reads one frame per connection, records it and runs the
// script of its command on the connection.

using Script = std::function<void(int fd, uint16_t command)>;

void WaitClientClose(int fd, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10) > 0) {
      char c;
      if (::recv(fd, &c, 1, 0) <= 0) return;
    }
  }
}

class ScriptedServer {
 public:
  ScriptedServer() {
    m_listen = support::ListenTcp(0, 64, &m_port);
    EXPECT_GE(m_listen, 0);
    m_acceptor = std::thread([this] { AcceptLoop(); });
  }
  ~ScriptedServer() {
    m_stop = true;
    m_acceptor.join();
    for (auto& t : m_workers) t.join();
    ::close(m_listen);
  }
  uint16_t port() const { return m_port; }
  int accepted() const { return m_accepted; }

  // The script for one command; the others answer {8, 6, command, 0}.
  void On(uint16_t command, Script script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scripts[command] = std::move(script);
  }
  std::vector<Bytes> frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }
  std::vector<uint16_t> commands() {
    std::vector<uint16_t> out;
    for (const Bytes& f : frames()) out.push_back(wire::GetU16(f.data() + 4));
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frames.clear();
  }

  // Scripts.
  Script Reply(uint16_t result, size_t payload = 0, uint16_t length = 0) {
    return [this, result, payload, length](int fd, uint16_t command) {
      Bytes b(8 + payload, 0xA5);
      ServerReplyHead{length != 0 ? length : static_cast<uint16_t>(8 + payload), 6, command,
                      result}
          .Encode(b.data());
      platform::SendAll(fd, b.data(), b.size());
      WaitClientClose(fd, m_stop);
    };
  }
  // Announces 20 bytes, sends 12, closes.
  static Script Truncated() {
    return [](int fd, uint16_t command) {
      Bytes b(12, 0);
      ServerReplyHead{20, 6, command, 0}.Encode(b.data());
      platform::SendAll(fd, b.data(), b.size());
    };
  }
  Script Silent() {
    return [this](int fd, uint16_t) { WaitClientClose(fd, m_stop); };
  }
  static Script CloseAtOnce() {
    return [](int, uint16_t) {};
  }

 private:
  void AcceptLoop() {
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      int fd = ::accept(m_listen, nullptr, nullptr);
      if (fd < 0) continue;
      ++m_accepted;
      m_workers.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Serve(int fd) {
    platform::SetSocketTimeouts(fd, 2000);
    Bytes frame(70);
    if (platform::RecvAll(fd, frame.data(), frame.size()) == 0) {
      uint16_t len = wire::GetU16(frame.data());
      if (len > 70) {
        frame.resize(len);
        platform::RecvAll(fd, frame.data() + 70, len - 70u);
      }
      uint16_t command = wire::GetU16(frame.data() + 4);
      Script script;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back(frame);
        auto it = m_scripts.find(command);
        if (it != m_scripts.end()) script = it->second;
      }
      if (!script) script = Reply(0);
      script(fd, command);
    }
    ::close(fd);
  }

  int m_listen = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_accepted{0};
  std::thread m_acceptor;
  std::vector<std::thread> m_workers;
  std::mutex m_mutex;
  std::map<uint16_t, Script> m_scripts;
  std::vector<Bytes> m_frames;
};

// A gateway that is never found, so no test waits for SSDP.
class NoGateway : public IgdClient {
 public:
  explicit NoGateway(std::atomic<int>* calls) : m_calls(calls) {}
  bool Discover(int) override {
    ++*m_calls;
    return false;
  }
  bool SelectGateway(std::string*) override { return false; }
  int GetExternalIPAddress(std::string*) override { return -1; }
  int AddPortMapping(const UPnPMapping&) override { return -1; }
  int GetSpecificPortMappingEntry(const std::string&, const std::string&, UPnPMapping*) override {
    return -1;
  }
  int DeletePortMapping(const std::string&, const std::string&) override { return -1; }

 private:
  std::atomic<int>* m_calls;
};

// A work item on a thread of its own, stopped through the stop flag.
class WorkItem {
 public:
  explicit WorkItem(void (*fn)(void*)) : m_thread([fn] { fn(nullptr); }) {}
  ~WorkItem() { Stop(); }
  // Raises the stop flag and waits for the item; the time it took to end.
  std::chrono::milliseconds Stop() {
    if (!m_thread.joinable()) return std::chrono::milliseconds(0);
    auto start = Clock::now();
    OS_SetStopFlag();
    m_thread.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

 private:
  std::thread m_thread;
};

class LogonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_DB.OpenFile(m_dir.Sub("Tirvan.db").c_str());
    g_DB.RunCommand("PRAGMA synchronous=OFF;");
    g_DB.RunCommand(ShippedSchema().c_str());
    SetAccount(kEmail, "hash-of-the-password");
    SetServerPort(m_server.port());

    std::strncpy(g_MacBuf, kStation, sizeof g_MacBuf - 1);
    g_SysType = 2;
    g_OSName = kOsName;
    g_LocalIp.Set("10.1.2.3");
    g_LocalPort = 15002;
    g_LogOnRtn = ERR_CONNECT_NET;  // not logged on: no UPnP unless a test logs on
    OS_ClearStopFlag();

    ServerReportOptions o;
    o.connectTimeoutMs = 1000;
    o.ioTimeoutMs = 300;
    SetServerReportOptions(o);
    SetUPnPOptions(UPnPOptions{});
    SetIgdClientFactory(
        [this](const UPnPOptions&) { return std::make_unique<NoGateway>(&m_upnpCalls); });
  }
  void TearDown() override {
    OS_SetStopFlag();
    SetIgdClientFactory(nullptr);
    SetUPnPOptions(UPnPOptions{});
    SetServerReportOptions(ServerReportOptions{});
    SetHostProvider(HostProvider{});
    g_DB.CloseFile();
  }

  static void SetAccount(const std::string& email, const std::string& psw) {
    g_DB.RunCommand("delete from qz_user");
    std::string sql = "insert into qz_user(email, psw) values('" + email + "','" + psw + "')";
    g_DB.RunCommand(sql.c_str());
  }
  static void SetServerPort(uint16_t port, const std::string& host = "127.0.0.1") {
    g_DB.RunCommand("delete from qz_conf");
    std::string sql = "insert into qz_conf(localport, log_console, log_priority, svhost, svport)"
                      " values(15002, 0, 600, '" + host + "', " + std::to_string(port) + ")";
    g_DB.RunCommand(sql.c_str());
  }
  static void SetIntervals(unsigned heartBeatMs, unsigned diskMs) {
    ServerReportOptions o = GetServerReportOptions();
    o.heartBeatIntervalMs = heartBeatMs;
    o.diskReportIntervalMs = diskMs;
    SetServerReportOptions(o);
  }

  support::TempDir m_dir;
  ScriptedServer m_server;
  std::atomic<int> m_upnpCalls{0};
};

// ---- Account and reachability.

TEST_F(LogonTest, EmptyAccountSendsNothing) {
  struct Case {
    const char* email;
    const char* psw;
  } cases[] = {{"", "hash"}, {kEmail, ""}, {"", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.email) + "/" + c.psw);
    SetAccount(c.email, c.psw);
    EXPECT_EQ(LogOn(), ERR_USER_EMPTY);
    EXPECT_EQ(LogOut(), ERR_USER_EMPTY);
  }
  g_DB.RunCommand("delete from qz_user");
  EXPECT_EQ(LogOn(), ERR_USER_EMPTY);
  EXPECT_EQ(LogOut(), ERR_USER_EMPTY);
  EXPECT_EQ(m_server.accepted(), 0);
}

// What each request makes of the server's answers: its result passes through; silence
// past the time-out, a close, a short or truncated answer are a failed exchange.
TEST_F(LogonTest, AnswersAndFailures) {
  struct Case {
    const char* name;
    Script script;
    int result;  // the server's result, or -1 for a failed exchange
  } cases[] = {
      {"ok", m_server.Reply(0), 0},
      {"unknown account", m_server.Reply(0x1000), 0x1000},
      {"wrong password", m_server.Reply(0x1001), 0x1001},
      {"answer with a payload", m_server.Reply(0x1001, 40), 0x1001},
      {"silent", m_server.Silent(), -1},
      {"immediate close", ScriptedServer::CloseAtOnce(), -1},
      {"truncated payload", ScriptedServer::Truncated(), -1},
      {"length below 8", m_server.Reply(0, 0, 6), -1},
  };
  ServerAddress server{m_server.port(), "127.0.0.1"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (uint16_t command : {SV_LOG_ON, SV_LOG_OUT, SV_HEART_BEAT, SV_SET_SV_INFO}) {
      m_server.On(command, c.script);
    }
    auto start = Clock::now();
    EXPECT_EQ(LogOn(), c.result < 0 ? ERR_CONNECT_NET : c.result);
    EXPECT_EQ(LogOut(), c.result);
    EXPECT_EQ(SendHeartBeat(server), c.result);
    EXPECT_EQ(SetSVInfo(), c.result < 0 ? ERR_CONNECT_NET : c.result);
    // The 300 ms time-out bounds even the silent server.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  }
}

TEST_F(LogonTest, UnreachableServer) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t len = sizeof sin;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  ::close(fd);
  uint16_t closed = ntohs(sin.sin_port);

  for (uint16_t port : {closed, uint16_t{65535}, uint16_t{0}}) {
    SCOPED_TRACE(port);
    SetServerPort(port);
    EXPECT_EQ(LogOn(), ERR_CONNECT_NET);
    EXPECT_EQ(LogOut(), -1);
    EXPECT_EQ(SetSVInfo(), ERR_CONNECT_NET);
    EXPECT_EQ(SendHeartBeat(ServerAddress{port, "127.0.0.1"}), -1);
    SetPowerOnInfo();  // only logged
  }
  SetServerPort(m_server.port(), "");
  EXPECT_EQ(LogOn(), ERR_CONNECT_NET);
}

// The password hash never reaches the log, whatever happens to the logon.
TEST_F(LogonTest, LogKeepsTheHashOut) {
  const std::string hash = "Zq8Yx1Wv2Ut3Sr4Qp5On6M";
  SetAccount(kEmail, hash);
  ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
  m_server.On(SV_LOG_ON, m_server.Reply(0x1001));
  EXPECT_EQ(LogOn(), 0x1001);
  EXPECT_EQ(LogOut(), 0);
  SetServerPort(65535);
  EXPECT_EQ(LogOn(), ERR_CONNECT_NET);
  SetAccount("", "");
  EXPECT_EQ(LogOn(), ERR_USER_EMPTY);
  g_Log.Close();
  std::string log = m_dir.Read("Log.txt");
  EXPECT_EQ(log.find(hash), std::string::npos);
  EXPECT_EQ(log.find(hash.substr(0, 8)), std::string::npos);
  EXPECT_NE(log.find("connect net work error."), std::string::npos);
  EXPECT_NE(log.find("user name or passworld is empty."), std::string::npos);
  EXPECT_NE(log.find(kEmail), std::string::npos);
}

// ---- The bytes of each request.

TEST_F(LogonTest, RequestBytes) {
  // Texts that overflow their fields: 63 characters of station id in the head, 31 in
  // the records; a 40-byte e-mail and OS name cut at 31.
  const std::string station(63, 'S');
  const std::string email = std::string(30, 'e') + "@example.c";  // 40 bytes
  const std::string psw = "abcdefghijklmnopqrstuv";
  std::strncpy(g_MacBuf, station.c_str(), sizeof g_MacBuf - 1);
  g_OSName = std::string(40, 'o');
  SetAccount(email, psw);
  const std::string host = HostName().substr(0, 63);
  ServerAddress server{m_server.port(), "127.0.0.1"};

  ASSERT_EQ(LogOn(), 0);
  ASSERT_EQ(LogOut(), 0);
  ASSERT_EQ(SendHeartBeat(server), 0);
  ASSERT_EQ(SetSVInfo(), 0);
  SetPowerOnInfo();
  g_LocalIp.Set("not an address");
  ASSERT_EQ(SetSVInfo(), 0);

  std::vector<Bytes> frames = m_server.frames();
  ASSERT_EQ(frames.size(), 6u);

  Bytes logOn(132, 0);
  PutRaw(logOn, 0, email.substr(0, 31));
  PutRaw(logOn, 32, psw);
  logOn[64] = 2;  // little-endian
  logOn[65] = 0;
  PutRaw(logOn, 68, std::string(31, 'o'));
  PutRaw(logOn, 100, station.substr(0, 31));
  EXPECT_EQ(frames[0], Concat(HeadBytes(202, 0x1001, station), logOn));

  Bytes account(64, 0);
  PutRaw(account, 0, email.substr(0, 31));
  PutRaw(account, 32, psw);
  EXPECT_EQ(frames[1], Concat(HeadBytes(134, 0x1002, station), account));

  EXPECT_EQ(frames[2], HeadBytes(70, 0x1003, station));

  Bytes svInfo(212, 0);
  svInfo[8] = 10, svInfo[9] = 1, svInfo[10] = 2, svInfo[11] = 3;
  PutBe16(svInfo, 12, 0);      // not logged on: no external port
  PutBe16(svInfo, 16, 15002);  // big-endian
  svInfo[18] = 2;              // little-endian
  PutRaw(svInfo, 84, host);
  EXPECT_EQ(frames[3], Concat(HeadBytes(282, 0x1004, station), svInfo));

  Bytes powerOn(162, 0);
  powerOn[0] = 2;
  PutRaw(powerOn, 2, email.substr(0, 31));
  PutRaw(powerOn, 34, station.substr(0, 31));
  PutRaw(powerOn, 98, host);
  EXPECT_EQ(frames[4], Concat(HeadBytes(232, 0x100F, station), powerOn));

  for (size_t i = 8; i < 12; ++i) svInfo[i] = 0xFF;  // no address: all bits set
  EXPECT_EQ(frames[5], Concat(HeadBytes(282, 0x1004, station), svInfo));
  EXPECT_EQ(m_upnpCalls, 0);
}

TEST_F(LogonTest, ServerInfoMapsPortsOnlyWhileLoggedOn) {
  igd::Emulator gateway{igd::EmulatorOptions{}};
  std::string error;
  ASSERT_TRUE(gateway.Start(&error)) << error;
  SetIgdClientFactory(nullptr);
  SetUPnPOptions(UPnPOptions{gateway.RootUrl(), 1000});
  auto reportedPort = [this] {
    Bytes f = m_server.frames().back();
    return wire::GetU16(f.data() + 70 + 12);
  };

  EXPECT_EQ(SetSVInfo(), 0);
  EXPECT_EQ(reportedPort(), 0);
  EXPECT_TRUE(gateway.Actions().empty());

  g_LogOnRtn = 0;
  EXPECT_EQ(SetSVInfo(), 0);
  EXPECT_EQ(reportedPort(), 61617);
  ASSERT_TRUE(gateway.Find("TCP", "61617").has_value());
  EXPECT_EQ(gateway.Find("TCP", "61617")->internalPort, "15002");
  ASSERT_TRUE(gateway.Find("UDP", "12345").has_value());
  EXPECT_EQ(gateway.Find("UDP", "12345")->internalClient, "127.0.0.255");

  // Refused TCP mapping: 0 goes to the server, even though the UDP one is taken.
  gateway.FailAction("AddPortMapping", 718, 1);
  EXPECT_EQ(SetSVInfo(), 0);
  EXPECT_EQ(reportedPort(), 0);
  EXPECT_TRUE(gateway.Find("UDP", "12345").has_value());

  // No gateway at all.
  gateway.Stop();
  EXPECT_EQ(SetSVInfo(), 0);
  EXPECT_EQ(reportedPort(), 0);
}

// ---- The disk report.

class DiskTest : public LogonTest {
 protected:
  void SetUp() override {
    LogonTest::SetUp();
    ServerReportOptions o = GetServerReportOptions();
    // Folders name their volume by their first path part: /C/x is on volume "C".
    o.driveRoot = [](const std::string& folder) {
      return folder.size() > 1 ? folder.substr(1, folder.find('/', 1) - 1) : std::string();
    };
    o.diskFree = [this](const std::string& root, uint64_t* bytes) {
      auto it = m_free.find(root);
      if (it == m_free.end()) return -1;
      *bytes = it->second;
      return 0;
    };
    SetServerReportOptions(o);
  }
  static void SetDefault(const std::string& def) {
    DefShareRecord dirs{};
    std::strncpy(dirs.def, def.c_str(), sizeof dirs.def - 1);
    ASSERT_EQ(SetDefaultDir(dirs), 0);
  }
  std::map<std::string, uint64_t> m_free;
};

// Shares /C/A and /C/B and the default folder /D/C: C then D. 7 TiB of free space does
// not wrap; an unreadable volume reports 0, not the previous one's figure.
TEST_F(DiskTest, VolumesOnceInFirstSeenOrder) {
  ASSERT_EQ(SetShareInfo({"/C/A", "/C/B"}), 0);
  SetDefault("/D/C");
  m_free["C"] = uint64_t{7} << 40;

  std::vector<DiskInfoRecord> records;
  CollectDiskInfo(records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].drive, "C");
  EXPECT_EQ(records[0].freeMiB, 7u << 20);
  EXPECT_EQ(records[1].drive, "D");
  EXPECT_EQ(records[1].freeMiB, 0u);

  // A volume larger than the field holds reports the field's maximum.
  m_free["D"] = uint64_t{1} << 60;
  CollectDiskInfo(records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].freeMiB, UINT32_MAX);
}

// The report at once and again after each interval, the same bytes each time; the stop
// flag ends the sleep.
TEST_F(DiskTest, ReportsAtStartAndEveryInterval) {
  const std::string station(40, 'M');
  std::strncpy(g_MacBuf, station.c_str(), sizeof g_MacBuf - 1);
  ASSERT_EQ(SetShareInfo({"/C/A", "/C/B"}), 0);
  SetDefault("/D/C");
  m_free["C"] = uint64_t{123} << 20;
  m_free["D"] = uint64_t{5} << 20;
  SetIntervals(60000, 30);

  WorkItem item(SetDiskInfo);
  ASSERT_TRUE(WaitFor([&] { return m_server.frames().size() >= 3; }));
  EXPECT_LT(item.Stop(), std::chrono::milliseconds(1000));

  Bytes expected = HeadBytes(70 + 2 * 296, 0x1011, station);
  for (auto [drive, mib] : {std::pair<std::string, uint32_t>{"C", 123}, {"D", 5}}) {
    Bytes r(296, 0);
    PutBe16(r, 0, 2);  // big-endian, unlike the other reports
    PutBe32(r, 4, mib);
    PutRaw(r, 8, station.substr(0, 31));
    PutRaw(r, 40, drive);
    expected = Concat(expected, r);
  }
  for (const Bytes& f : m_server.frames()) EXPECT_EQ(f, expected);
}

TEST_F(DiskTest, NoFoldersNoReport) {
  SetIntervals(60000, 10);
  WorkItem item(SetDiskInfo);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  item.Stop();
  EXPECT_EQ(m_server.accepted(), 0);
}

// More volumes than a 16-bit length holds: the report keeps the first 221.
TEST_F(DiskTest, CapsTheNumberOfVolumes) {
  std::vector<std::string> shares;
  for (int i = 0; i < 300; ++i) shares.push_back("/V" + std::to_string(i) + "/x");
  ASSERT_EQ(SetShareInfo(shares), 0);
  SetIntervals(60000, 60000);

  WorkItem item(SetDiskInfo);
  ASSERT_TRUE(WaitFor([&] { return m_server.frames().size() == 1; }));
  item.Stop();
  Bytes f = m_server.frames()[0];
  ASSERT_EQ(kMaxDiskRecords, 221u);
  EXPECT_EQ(wire::GetU16(f.data()), 70 + 221 * 296);
  EXPECT_EQ(f.size(), 70u + 221 * 296);
  EXPECT_EQ(wire::GetText(f.data() + 70 + 220 * 296 + 40, 256), "V220");
}

// The real volumes: the mount points of a share and of the default folder; unset
// default folders name none.
TEST_F(LogonTest, RealVolumes) {
  ASSERT_EQ(SetShareInfo({m_dir.path(), "/proc/self"}), 0);
  std::vector<DiskInfoRecord> records;
  CollectDiskInfo(records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].drive, GetDriveRoot(m_dir.path()));
  EXPECT_EQ(records[1].drive, "/proc");
  EXPECT_EQ(records[1].freeMiB, 0u);
  EXPECT_EQ(records[0].stationId, kStation);
  EXPECT_EQ(records[0].sysType, 2);
}

// ---- The heartbeat.

TEST_F(LogonTest, HeartBeatLogsOnAnewThenBeatsThenReports) {
  HostProvider provider;
  provider.resolve = [](const std::string&, std::vector<uint32_t>& out) {
    out = {::inet_addr("10.9.8.7")};
    return 0;
  };
  SetHostProvider(provider);
  m_server.On(SV_LOG_ON, m_server.Reply(0x1001));
  SetIntervals(20, 60000);

  WorkItem item(HeartBeat);
  ASSERT_TRUE(WaitFor([&] { return m_server.frames().size() >= 6; }));
  item.Stop();

  std::vector<uint16_t> commands = m_server.commands();
  commands.resize(commands.size() - commands.size() % 3);
  for (size_t i = 0; i < commands.size(); i += 3) {
    EXPECT_EQ(commands[i], SV_LOG_ON) << i;
    EXPECT_EQ(commands[i + 1], SV_HEART_BEAT) << i;
    EXPECT_EQ(commands[i + 2], SV_SET_SV_INFO) << i;
  }
  // The server's refusal is the logon state, so no port is mapped; the refreshed
  // address is reported.
  EXPECT_EQ(g_LogOnRtn.load(), 0x1001);
  EXPECT_EQ(m_upnpCalls, 0);
  EXPECT_EQ(g_LocalIp.Get(), "10.9.8.7");
  Bytes info = m_server.frames()[2];
  EXPECT_EQ(Bytes(info.begin() + 78, info.begin() + 82), (Bytes{10, 9, 8, 7}));
}

// The first heartbeat waits a whole interval; a stop ends the wait at once.
TEST_F(LogonTest, HeartBeatWaitsItsIntervalAndStopsAtOnce) {
  SetIntervals(60000, 60000);
  WorkItem item(HeartBeat);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LT(item.Stop(), std::chrono::milliseconds(1000));
  EXPECT_EQ(m_server.accepted(), 0);
}

TEST(LogonEnvironmentTest, IntervalsAndGateway) {
  struct Case {
    const char* heartBeat;
    const char* disks;
    unsigned heartBeatMs, disksMs;
  } cases[] = {
      {"250", "1000", 250, 1000},
      {"0", "-5", 60000, 86400000},  // not intervals: the defaults stay
      {"12x", "99999999999", 60000, 86400000},
      {nullptr, "", 60000, 86400000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.heartBeat == nullptr ? "unset" : c.heartBeat);
    if (c.heartBeat != nullptr) {
      ::setenv(kHeartBeatIntervalEnv, c.heartBeat, 1);
    } else {
      ::unsetenv(kHeartBeatIntervalEnv);
    }
    ::setenv(kDiskReportIntervalEnv, c.disks, 1);
    ServerReportOptions o = ServerReportOptionsFromEnvironment();
    EXPECT_EQ(o.heartBeatIntervalMs, c.heartBeatMs);
    EXPECT_EQ(o.diskReportIntervalMs, c.disksMs);
    EXPECT_EQ(o.ioTimeoutMs, 5000);
  }
  EXPECT_EQ(UPnPOptionsFromEnvironment().rootDescUrl, "");
  ::setenv(kUPnPRootUrlEnv, "http://127.0.0.1:1/rootDesc.xml", 1);
  EXPECT_EQ(UPnPOptionsFromEnvironment().rootDescUrl, "http://127.0.0.1:1/rootDesc.xml");
  EXPECT_EQ(UPnPOptionsFromEnvironment().discoverDelayMs, 1000);
  for (const char* v : {kHeartBeatIntervalEnv, kDiskReportIntervalEnv, kUPnPRootUrlEnv}) {
    ::unsetenv(v);
  }
}

// ---- Against tirvan-central.

class CentralLogonTest : public LogonTest {
 protected:
  void SetUp() override {
    LogonTest::SetUp();
    central::AccountStore store;
    std::string error;
    ASSERT_TRUE(store.Open(m_dir.Sub("central.db"), &error)) << error;
    ASSERT_TRUE(store.Add(kEmail, m_hash, &error)) << error;
    store.Close();

    central::CentralOptions o;
    o.accountDb = m_dir.Sub("central.db");
    m_central = std::make_unique<central::CentralServer>(o);
    ASSERT_TRUE(m_central->Start(&error)) << error;
    m_loop = std::thread([this] { m_central->Run(); });
    SetServerPort(m_central->Port());
    SetAccount(kEmail, m_hash);
  }
  void TearDown() override {
    if (m_central) {
      m_central->Stop();
      m_loop.join();
    }
    LogonTest::TearDown();
  }
  central::StationState Station() {
    auto s = m_central->Stations().Find(kStation);
    EXPECT_TRUE(s.has_value());
    return s.value_or(central::StationState{});
  }

  std::string m_hash = central::HashPassword("secret");
  std::unique_ptr<central::CentralServer> m_central;
  std::thread m_loop;
};

TEST_F(CentralLogonTest, RefusedAccounts) {
  SetAccount("nobody@example.com", m_hash);
  EXPECT_EQ(LogOn(), 0x1000);
  SetAccount(kEmail, central::HashPassword("wrong"));
  EXPECT_EQ(LogOn(), 0x1001);
  EXPECT_EQ(LogOut(), 0x1001);
  EXPECT_FALSE(m_central->Stations().Find(kStation).has_value());
}

// A whole session: logon, server info with the mapped port, power-on, disks, logout.
TEST_F(CentralLogonTest, Session) {
  igd::Emulator gateway{igd::EmulatorOptions{}};
  std::string error;
  ASSERT_TRUE(gateway.Start(&error)) << error;
  SetIgdClientFactory(nullptr);
  SetUPnPOptions(UPnPOptions{gateway.RootUrl(), 1000});
  ASSERT_EQ(SetShareInfo({m_dir.path()}), 0);

  g_LogOnRtn = LogOn();
  ASSERT_EQ(g_LogOnRtn.load(), 0);
  central::StationState s = Station();
  EXPECT_TRUE(s.loggedOn);
  EXPECT_EQ(s.email, kEmail);
  EXPECT_EQ(s.osName, kOsName);
  EXPECT_EQ(s.systemType, 2);

  EXPECT_EQ(SetSVInfo(), 0);
  SetPowerOnInfo();
  SetIntervals(60000, 60000);
  {
    WorkItem disks(SetDiskInfo);
    ASSERT_TRUE(WaitFor([&] { return Station().disksTime != 0; }));
  }
  s = Station();
  EXPECT_EQ(s.localIp, "10.1.2.3");
  EXPECT_EQ(s.externalPort, 61617);
  EXPECT_EQ(s.localPort, 15002);
  EXPECT_EQ(s.hostName, HostName().substr(0, 63));
  EXPECT_EQ(s.powerOnEmail, kEmail);
  EXPECT_EQ(s.powerOnHostName, HostName().substr(0, 63));
  ASSERT_EQ(s.disks.size(), 1u);
  EXPECT_EQ(s.disks[0].drive, GetDriveRoot(m_dir.path()));
  EXPECT_EQ(s.disks[0].systemType, 2);
  EXPECT_EQ(s.disks[0].station, kStation);
  EXPECT_TRUE(gateway.Find("TCP", "61617").has_value());

  EXPECT_EQ(LogOut(), 0);
  EXPECT_FALSE(Station().loggedOn);
}

// The heartbeat logs on anew each round: a wrong account is refused until it is
// mended, then the PC is logged on, beating and reporting.
TEST_F(CentralLogonTest, HeartBeatLogsOnAnew) {
  SetAccount(kEmail, central::HashPassword("wrong"));
  SetIntervals(20, 60000);
  WorkItem item(HeartBeat);
  ASSERT_TRUE(WaitFor([] { return g_LogOnRtn.load() == 0x1001; }));
  SetAccount(kEmail, m_hash);
  ASSERT_TRUE(WaitFor([] { return g_LogOnRtn.load() == 0; }));
  ASSERT_TRUE(WaitFor([&] {
    auto st = m_central->Stations().Find(kStation);
    return st && st->loggedOn && st->lastHeartBeat != 0 &&
           st->serverInfoTime >= st->lastHeartBeat;
  }));
  item.Stop();
  central::StationState s = Station();
  EXPECT_TRUE(s.loggedOn);
  EXPECT_EQ(s.localPort, 15002);
  EXPECT_GT(m_upnpCalls, 0);  // logged on: the mapping was tried
}

}  // namespace
