// End to end in one process: the service's logon and relay client against tirvan-central's
// server, the real listing handlers, and devices on the relay (the device client program's
// transport and the device library).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/listing.h"
#include "app/logon.h"
#include "central/central_server.h"
#include "central/records.h"
#include "central/relay_device_client.h"
#include "central/relay_protocol.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/dispatch.h"
#include "comm/host_identity.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/relay_client.h"
#include "comm/sqlite_db.h"
#include "device/device_client.h"
#include "device/relay_transport.h"
#include "support/temp_dir.h"

namespace {

using namespace central;
using Clock = std::chrono::steady_clock;

constexpr const char* kEmail = "pc@example.com";
constexpr const char* kOtherEmail = "other@example.com";
constexpr const char* kStation = "02-42-AC-11-00-07";

std::string Schema() {
  auto path = std::filesystem::path(__FILE__).parent_path() / "../../../etc/schema.sql";
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int TrayHandler(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                int32_t* replyLen, int32_t*, uint8_t*) {
  *reply = AllocReply(12);
  MsgHead{12, head->opcode, head->seq}.Encode(*reply);
  *replyLen = 12;
  return 0;
}

class RelayEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    g_DB.OpenFile(m_dir.Sub("Tirvan.db").c_str());
    std::string schema = Schema();
    ASSERT_NE(schema.find("qz_conf"), std::string::npos);
    g_DB.RunCommand(schema.c_str());

    AccountStore store;
    std::string error;
    ASSERT_TRUE(store.Open(m_dir.Sub("central.db"), &error)) << error;
    ASSERT_TRUE(store.Add(kEmail, m_hash, &error)) << error;
    ASSERT_TRUE(store.Add(kOtherEmail, m_hash, &error)) << error;
    CentralOptions o;
    o.accountDb = m_dir.Sub("central.db");
    m_server = std::make_unique<CentralServer>(std::move(o));
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_loop = std::thread([this] { m_server->Run(); });

    // The PC: its server, account, station id and one shared folder.
    g_DB.RunCommand("delete from qz_conf");
    std::string conf = "insert into qz_conf(localport, log_console, log_priority, svhost, svport)"
                       " values(15002, 0, 700, '127.0.0.1', " +
                       std::to_string(m_server->Port()) + ")";
    ASSERT_EQ(g_DB.RunCommand(conf.c_str()) >= 0, true);
    AccountInfo account{};
    std::strncpy(account.email, kEmail, sizeof account.email - 1);
    std::strncpy(account.psw, m_hash.c_str(), sizeof account.psw - 1);
    ASSERT_EQ(WriteLogOnInfo(account), 0);
    std::snprintf(g_MacBuf, sizeof g_MacBuf, "%s", kStation);
    m_dir.MakeDir("share");
    m_dir.MakeDir("share/photos");
    m_dir.Write("share/notes.txt", "twelve bytes");
    m_share = m_dir.Sub("share");
    ASSERT_EQ(SetShareInfo({m_share}), 0);

    OS_ClearRegistry();
    ASSERT_EQ(OS_RegFunction(GetShareInfo, OP_GET_SHARE_INFO), 0);
    ASSERT_EQ(OS_RegFunction(GetAllSubFile, OP_GET_ALL_SUB_FILE), 0);
    ASSERT_EQ(OS_RegFunction(TrayHandler, OP_SHOW_LOG_ON_STATUES), 0);

    OS_ClearStopFlag();
    g_LogOnRtn = LogOn();
    ASSERT_EQ(g_LogOnRtn.load(), 0);
    // The relay client reads the server from the configuration, as the service does.
    m_relayConfig.retryMs = 100;
    m_relay = std::thread([this] { StartRecvInterLine(&m_relayConfig); });
  }
  void TearDown() override {
    OS_SetStopFlag();
    if (m_relay.joinable()) m_relay.join();
    OS_ClearStopFlag();
    if (m_server) {
      m_server->Stop();
      m_loop.join();
    }
    OS_ClearRegistry();
    g_LogOnRtn = 4122;
    g_DB.CloseFile();
    g_Log.Close();
  }

  // A device of the account, once the PC's relay connection is up.
  int Device(RelayDeviceClient& d, const std::string& email = kEmail) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    int r;
    do {
      r = d.Connect("127.0.0.1", m_server->Port(), DeviceCredentials{email, m_hash, kStation});
      if (r != RESULT_STATION_OFFLINE) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return r;
  }

  support::TempDir m_dir;
  std::string m_hash = HashPassword("secret");
  std::string m_share;
  std::unique_ptr<CentralServer> m_server;
  std::thread m_loop;
  RelayClientConfig m_relayConfig;
  std::thread m_relay;
};

TEST_F(RelayEndToEnd, DeviceClientListsSharesAndAFolderOverTheRelay) {
  RelayDeviceClient probe;
  ASSERT_EQ(Device(probe), 0);  // waits for the relay connection
  probe.Close();

  std::string error;
  device::RelayTarget target{"127.0.0.1", m_server->Port(), kEmail, m_hash, kStation};
  auto transport = device::ConnectRelay(target, 2000, &error);
  ASSERT_NE(transport, nullptr) << error;
  device::DeviceClient client(std::move(transport));
  client.SetTimeout(3000);

  std::vector<std::string> shares;
  ASSERT_TRUE(client.GetShares(shares)) << client.LastError();
  EXPECT_EQ(shares, std::vector<std::string>{m_share});

  std::vector<device::FolderEntry> entries;
  ASSERT_TRUE(client.ListFolder(m_share, entries)) << client.LastError();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "photos");
  EXPECT_EQ(entries[0].kind, 0);
  EXPECT_EQ(entries[1].name, "notes.txt");
  EXPECT_EQ(entries[1].kind, 1);
  EXPECT_EQ(entries[1].size, 12u);

  // Outside the shares: the error form, as on the LAN.
  entries.clear();
  EXPECT_FALSE(client.ListFolder(m_dir.path(), entries));
  EXPECT_EQ(client.LastFailure(), device::Failure::Refused);
}

TEST_F(RelayEndToEnd, TrayRequestsGetNothingOnTheRelay) {
  RelayDeviceClient dev;
  ASSERT_EQ(Device(dev), 0);
  ASSERT_TRUE(dev.Send(OP_SHOW_LOG_ON_STATUES, 1));
  EXPECT_FALSE(dev.Recv(300).has_value());
  ASSERT_FALSE(dev.Closed());
  ASSERT_TRUE(dev.Send(OP_GET_SHARE_INFO, 2));
  auto r = dev.Recv(3000);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.opcode, OP_GET_SHARE_INFO);
  EXPECT_EQ(r->head.seq, 2u);
}

TEST_F(RelayEndToEnd, OnlyDevicesOfThePcsAccountReachIt) {
  RelayDeviceClient own;
  ASSERT_EQ(Device(own), 0);
  RelayDeviceClient stranger;
  EXPECT_EQ(Device(stranger, kOtherEmail), RESULT_NO_STATION);
  std::string error;
  device::RelayTarget wrong{"127.0.0.1", m_server->Port(), kEmail, HashPassword("guess"), kStation};
  EXPECT_EQ(device::ConnectRelay(wrong, 2000, &error), nullptr);
  EXPECT_NE(error.find("wrong password"), std::string::npos) << error;
}

}  // namespace
