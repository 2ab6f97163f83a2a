// Peer to peer end to end on loopback: the service's P2P client with its real device
// handlers, the rendezvous server and the device client (in-process and the
// tirvan-device program) listing and downloading over UDT; and LAN discovery leading the
// device program to the local server.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/download.h"
#include "app/listing.h"
#include "app/transfer_table.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/discovery.h"
#include "comm/dispatch.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/p2p_client.h"
#include "comm/sqlite_db.h"
#include "comm/thread_pool.h"
#include "device/device_client.h"
#include "device/udt_transport.h"
#include "platform/service_manager.h"
#include "rendezvous/p2p_link.h"
#include "rendezvous/rendezvous_server.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kStationId = "00-1A-2B-3C-4D-5E";

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ShippedSchema() {
  std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "../../../etc/schema.sql");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs = 5000) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class P2PEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    g_DB.OpenFile(m_dir.Sub("Tirvan.db").c_str());
    g_DB.RunCommand(ShippedSchema().c_str());
    m_dir.MakeDir("share");
    m_dir.MakeDir("local");
    m_share = m_dir.Sub("share");
    ASSERT_EQ(SetShareInfo({m_share}), 0);
    m_small = RandomBytes(2500, 1);
    m_large = RandomBytes(300000, 2);
    m_dir.Write("share/small.bin", m_small);
    m_dir.Write("share/large.bin", m_large);

    OS_ClearRegistry();
    for (auto [fn, op] : std::vector<std::pair<RegFun, uint16_t>>{
             {ReqDownLoadFile, OP_REQ_DOWN_LOAD_FILE},
             {AllowDownLoadFile, OP_ALLOW_DOWN_LOAD_FILE},
             {RefuseDownLoadFile, OP_REFUSE_DOWN_LOAD_FILE},
             {GetShareInfo, OP_GET_SHARE_INFO},
             {GetAllSubFile, OP_GET_ALL_SUB_FILE}}) {
      ASSERT_EQ(OS_RegFunction(fn, op), ERR_OK);
    }
    TransTableClear();
    TransTableInit();
    OS_SetUdtPeerLostHook(TransCloseUdtSocket);

    OS_ClearStopFlag();
    g_LogOnRtn = 0;
    g_MacAddr = kStationId;
    if (g_ThreadPool == nullptr) g_ThreadPool = ThreadPool_Create();

    rendezvous::RendezvousOptions ro;
    ro.pollMs = 20;
    m_rendezvous = std::make_unique<rendezvous::RendezvousServer>(ro);
    std::string error;
    ASSERT_TRUE(m_rendezvous->Start(&error)) << error;

    P2PClientOptions po;
    po.pollTimeoutMs = 100;
    // Generous for a loaded machine; the stop and a connect that succeeds do not wait them out.
    po.udtConnectTimeoutMs = 10000;
    po.udtLingerSec = 0;
    po.stopWaitMs = 10000;
    po.heartBeatIntervalMs = 200;
    po.bindAddr = htonl(INADDR_LOOPBACK);
    const uint16_t rport = m_rendezvous->port();
    po.serverInfo = [rport](std::string& host, uint16_t& port) {
      host = "127.0.0.1";
      port = rport;
    };
    po.email = [] { return std::string("owner@example.com"); };
    po.hostName = [] { return std::string("study-pc"); };
    SetP2PClientOptions(po);
    m_client = std::thread([] { StartP2PClient(nullptr); });
    ASSERT_TRUE(WaitFor([this] { return !m_rendezvous->Stations().empty(); }));
  }

  void TearDown() override {
    OS_SetStopFlag();
    if (m_client.joinable()) m_client.join();
    m_rendezvous.reset();
    OS_SetUdtPeerLostHook(nullptr);
    OS_SetConnCloseHook(nullptr);
    TransTableClear();
    OS_ClearRegistry();
    g_DB.CloseFile();
    g_Log.Close();
  }

  device::P2PTarget Target() const {
    return device::P2PTarget{"127.0.0.1", m_rendezvous->port(), kStationId};
  }

  std::unique_ptr<device::DeviceClient> Connect() {
    std::string error;
    auto t = device::ConnectUdt(Target(), 20000, &error);
    EXPECT_TRUE(t) << error;
    if (!t) return nullptr;
    auto c = std::make_unique<device::DeviceClient>(std::move(t));
    c->SetTimeout(5000);
    return c;
  }

  std::string RendezvousArg() const { return "127.0.0.1:" + std::to_string(m_rendezvous->port()); }

  support::TempDir m_dir;
  std::string m_share;
  std::string m_small;
  std::string m_large;
  std::unique_ptr<rendezvous::RendezvousServer> m_rendezvous;
  std::thread m_client;
};

TEST_F(P2PEndToEndTest, DeviceListsAndDownloadsOverUdt) {
  auto client = Connect();
  ASSERT_TRUE(client);
  // The PC passed the server's punch on.
  EXPECT_TRUE(WaitFor([this] { return m_rendezvous->Counters().confirmations >= 1; }));

  std::vector<std::string> shares;
  ASSERT_TRUE(client->GetShares(shares)) << client->LastError();
  EXPECT_NE(std::find(shares.begin(), shares.end(), m_share), shares.end());
  std::vector<device::FolderEntry> entries;
  ASSERT_TRUE(client->ListFolder(m_share, entries)) << client->LastError();
  EXPECT_EQ(entries.size(), 2u);

  struct Case {
    const char* name;
    const std::string* content;
  } cases[] = {{"small.bin", &m_small}, {"large.bin", &m_large}};
  uint32_t seq = 100;
  for (const Case& c : cases) {
    device::DownloadResult result;
    const std::string local = m_dir.Sub(std::string("local/") + c.name);
    ASSERT_TRUE(client->Download(++seq, m_share + "/" + c.name, local, device::DownloadOptions{},
                                 result))
        << client->LastError();
    EXPECT_EQ(result.end, device::DownloadEnd::Complete);
    EXPECT_TRUE(result.digestChecked);
    EXPECT_EQ(ReadFile(local), *c.content);
  }
  // From an offset, and a file that is not there.
  device::DownloadOptions from;
  from.mode = device::DownloadOptions::Mode::Offset;
  from.offset = 1500;
  device::DownloadResult part;
  ASSERT_TRUE(client->Download(++seq, m_share + "/small.bin", m_dir.Sub("local/part"), from, part));
  EXPECT_EQ(ReadFile(m_dir.Sub("local/part")), m_small.substr(1500));
  device::DownloadInfo info;
  EXPECT_FALSE(client->RequestDownload(++seq, m_share + "/missing.bin", info));
  EXPECT_EQ(client->LastCode(), ERR_FILE_NOT_EXIST);
  EXPECT_TRUE(WaitFor([] { return GetDownLoadCount() == 0; }));
}

TEST_F(P2PEndToEndTest, LostDeviceTakesItsTransfersWithIt) {
  auto client = Connect();
  ASSERT_TRUE(client);
  device::DownloadInfo info;
  ASSERT_TRUE(client->RequestDownload(7, m_share + "/large.bin", info)) << client->LastError();
  EXPECT_EQ(info.size, m_large.size());
  EXPECT_EQ(TransCount(TransKind::PendingDownload), 1u);
  client->Close();
  EXPECT_TRUE(WaitFor([] { return P2PPeerCount() == 0; }));
  // The peer leaves the list before its transfers are ended.
  EXPECT_TRUE(WaitFor([] { return TransCount(TransKind::PendingDownload) == 0; }))
      << TransCount(TransKind::PendingDownload);
}

TEST_F(P2PEndToEndTest, UnknownStationIsReported) {
  std::string error;
  auto t =
      device::ConnectUdt({"127.0.0.1", m_rendezvous->port(), "02-00-00-00-00-09"}, 10000, &error);
  EXPECT_FALSE(t);
  EXPECT_EQ(error, "station 02-00-00-00-00-09 is not online");
}

TEST_F(P2PEndToEndTest, LinkRefusesMessagesLongerThanThePcReads) {
  rendezvous::P2PLinkOptions o;
  o.rendezvousHost = "127.0.0.1";
  o.rendezvousPort = m_rendezvous->port();
  o.stationId = kStationId;
  std::string error;
  auto link = rendezvous::P2PLink::Open(o, &error);
  ASSERT_TRUE(link) << error;
  std::vector<uint8_t> big(2049, 0);
  EXPECT_FALSE(link->Send(big.data(), big.size()));
  // The longest upload message: a 20-byte head and 2,028 data bytes.
  std::vector<uint8_t> longest(2048, 0);
  MsgHead{2048, 0x7777, 1}.Encode(longest.data());
  EXPECT_TRUE(link->Send(longest.data(), longest.size()));
  EXPECT_TRUE(WaitFor([this] { return m_dir.Read("Log.txt").find("Type(30583) not registe.") !=
                                      std::string::npos; }));
}

TEST_F(P2PEndToEndTest, DeviceProgramOverP2P) {
  platform::CommandResult shares = platform::RunCommand(
      {TIRVAN_DEVICE_BIN, "--p2p", RendezvousArg(), "--station", kStationId, "shares"}, 30000);
  ASSERT_EQ(shares.exitCode, 0) << shares.err;
  EXPECT_NE(shares.out.find(m_share), std::string::npos);
  const std::string local = m_dir.Sub("local/got.bin");
  platform::CommandResult get = platform::RunCommand(
      {TIRVAN_DEVICE_BIN, "--p2p", RendezvousArg(), "--station", kStationId, "--quiet", "get",
       m_share + "/large.bin", local},
      30000);
  ASSERT_EQ(get.exitCode, 0) << get.err;
  EXPECT_EQ(ReadFile(local), m_large);
  platform::CommandResult unknown = platform::RunCommand(
      {TIRVAN_DEVICE_BIN, "--p2p", RendezvousArg(), "--station", "02-00-00-00-00-09", "shares"},
      30000);
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("is not online"), std::string::npos);
}

// ---- Discovery: the device program finds the local server and uses it.

class DiscoveryEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    g_DB.OpenFile(m_dir.Sub("Tirvan.db").c_str());
    g_DB.RunCommand(ShippedSchema().c_str());
    AccountInfo account{};
    std::strcpy(account.email, "owner@example.com");
    std::strcpy(account.psw, "hash");
    ASSERT_EQ(WriteLogOnInfo(account), 0);
    m_dir.MakeDir("share");
    ASSERT_EQ(SetShareInfo({m_dir.Sub("share")}), 0);
    OS_ClearRegistry();
    ASSERT_EQ(OS_RegFunction(GetShareInfo, OP_GET_SHARE_INFO), ERR_OK);
    OS_ClearStopFlag();

    g_LocalPort = 0;
    OS_ResetLocalServerState();
    m_server = std::thread(OS_RunEvent, nullptr);
    ASSERT_TRUE(WaitFor([] { return OS_LocalServerState() == LocalServerState::Running; }));

    DiscoveryOptions d;
    d.port = 0;
    d.recvTimeoutMs = 100;
    d.replyToSender = true;
    d.localIps = [](std::vector<std::string>& out) {
      out = {"10.0.0.2", "127.0.0.1"};
      return 0;
    };
    d.hostName = [] { return std::string("study-pc"); };
    SetDiscoveryOptions(d);
    m_discovery = std::thread([] { StartBroadcastServer(nullptr); });
    ASSERT_TRUE(WaitFor([] { return DiscoveryPort() != 0; }));
  }

  void TearDown() override {
    OS_SetStopFlag();
    if (m_discovery.joinable()) m_discovery.join();
    OS_StopLocalServer();
    if (m_server.joinable()) m_server.join();
    SetDiscoveryOptions(DiscoveryOptions{});
    OS_ClearRegistry();
    g_DB.CloseFile();
    g_Log.Close();
  }

  support::TempDir m_dir;
  std::thread m_server;
  std::thread m_discovery;
};

TEST_F(DiscoveryEndToEndTest, DeviceFindsThePcAndConnectsToTheAnnouncedPort) {
  const std::string port = std::to_string(DiscoveryPort());
  // The listing takes the answers that come within its time-out; a loaded machine may answer
  // later, and then the question is asked again.
  platform::CommandResult list;
  for (int attempt = 0; attempt < 20; ++attempt) {
    list = platform::RunCommand({TIRVAN_DEVICE_BIN, "--timeout", "500", "discover", "--address",
                                 "127.0.0.1", "--port", port},
                                30000);
    if (list.err.find("no PC answered") == std::string::npos) break;
  }
  ASSERT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(list.out, "127.0.0.1:" + std::to_string(g_LocalPort.load()) +
                          "  study-pc  owner@example.com\n");
  platform::CommandResult shares = platform::RunCommand(
      {TIRVAN_DEVICE_BIN, "discover", "--address", "127.0.0.1", "--port", port, "shares"}, 30000);
  ASSERT_EQ(shares.exitCode, 0) << shares.err;
  EXPECT_EQ(shares.out, m_dir.Sub("share") + "\n");
}

}  // namespace
