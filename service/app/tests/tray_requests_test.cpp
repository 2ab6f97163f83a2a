// The tray program's requests as the tray sends them: local connections from 127.0.0.1
// with the registered table, the account against tirvan-central's server, folders in
// temporary folders. The same requests from anywhere else get nothing.
#include "app/tray_requests.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/device_requests.h"
#include "app/download.h"
#include "app/logon.h"
#include "app/service_init.h"
#include "app/trans_log.h"
#include "app/transfer_table.h"
#include "app_fixture.h"
#include "central/relay_device_client.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/opcodes.h"
#include "comm/relay_client.h"
#include "request_fixture.h"

namespace {

using namespace reqtest;
using Clock = std::chrono::steady_clock;

class TrayRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    apptest::OpenTestDb(m_dir);
    OS_ClearRegistry();
    ASSERT_EQ(RegShowFun(), 0);
    g_SysType = 2;
    g_LogOnRtn = 0;
    g_now = 1700000000;
    SetDeviceClock(FakeNow);
    {
      std::lock_guard<std::mutex> lock(g_MutexLastHBTime);
      g_LastHBTime.clear();
      g_LastHBEpoch = 0;
    }
    m_server = std::make_unique<apptest::ServerRunner>();
    m_client = m_server->Connect();
  }
  void TearDown() override {
    m_client.Close();
    m_server.reset();
    OS_SetOriginClassifier(nullptr);
    SetShowRootLister(nullptr);
    SetDeviceClock(nullptr);
    TransTableClear();
    OS_ClearRegistry();
    g_LogOnRtn = 0;
    g_DB.CloseFile();
    g_Log.Close();
  }

  // One request and its reply, with the request's opcode and number echoed.
  support::Message Ask(uint16_t opcode, std::string_view payload = {}) {
    uint32_t seq = ++m_seq;
    EXPECT_TRUE(m_client.Send(opcode, seq, payload));
    std::optional<support::Message> m = m_client.Recv(5000);
    if (!m) {
      ADD_FAILURE() << "no reply to 0x" << std::hex << opcode;
      return {};
    }
    EXPECT_EQ(m->head.opcode, opcode);
    EXPECT_EQ(m->head.seq, seq);
    EXPECT_EQ(m->head.length, 8 + m->body.size());
    return *m;
  }
  // The result of a ShowResultReply.
  uint32_t Result(uint16_t opcode, std::string_view payload = {}) {
    support::Message m = Ask(opcode, payload);
    EXPECT_EQ(m.body.size(), 4u);
    return m.body.size() == 4 ? U32(m.body, 0) : 0xDEADBEEF;
  }
  std::string Log() const { return m_dir.Read("Log.txt"); }

  static std::string Account(const std::string& email, const std::string& psw) {
    std::string a(64, '\0');
    std::memcpy(a.data(), email.data(), std::min<size_t>(32, email.size()));
    std::memcpy(a.data() + 32, psw.data(), std::min<size_t>(32, psw.size()));
    return a;
  }
  static std::vector<std::string> Shares() {
    std::vector<std::string> s;
    ParseShareInfo(s);
    return s;
  }

  support::TempDir m_dir;
  std::unique_ptr<apptest::ServerRunner> m_server;
  support::MsgClient m_client;
  uint32_t m_seq = 0x100;
};

// ---- Account and logon.

TEST_F(TrayRequestsTest, StoredAccountIsReadCutToItsFields) {
  support::Message m = Ask(OP_SHOW_GET_LOG_ON_INFO);
  EXPECT_EQ(m.body, std::string(64, '\0'));

  // Texts longer than a field (stored by another means) come cut to 31 bytes and a zero.
  const std::string longEmail(40, 'e');
  const std::string sql = "insert into qz_user(email, psw) values('" + longEmail + "', 'hash22')";
  g_DB.RunCommand("delete from qz_user");
  g_DB.RunCommand(sql.c_str());
  m = Ask(OP_SHOW_GET_LOG_ON_INFO);
  ASSERT_EQ(m.body.size(), 64u);
  EXPECT_EQ(m.body.substr(0, 32), std::string(31, 'e') + '\0');
  EXPECT_EQ(m.body.substr(32), "hash22" + std::string(26, '\0'));
  EXPECT_EQ(Log().find("hash22"), std::string::npos);  // the hash is never logged
}

TEST_F(TrayRequestsTest, LogOnWithANewAccountStoresItAndReportsTheServersResult) {
  const std::string hash = Hash("secret");
  Central central(m_dir, {{kEmail, hash}, {"old@example.com", Hash("old")}});
  StoreAccount("old@example.com", Hash("old"));
  ASSERT_EQ(LogOn(), 0);
  ASSERT_EQ(central.LoggedOnEmail(), "old@example.com");
  EXPECT_EQ(Result(OP_SHOW_LOG_ON_STATUES), 0u);  // before any logon has answered

  EXPECT_EQ(Result(OP_SHOW_LOG_ON, Account(kEmail, hash)), 0u);
  EXPECT_EQ(Result(OP_SHOW_LOG_ON_STATUES), 0u);
  EXPECT_EQ(central.LoggedOnEmail(), kEmail);
  std::string email, psw;
  GetUsernfo(email, psw);
  EXPECT_EQ(email, kEmail);
  EXPECT_EQ(psw, hash);
  auto station = central.server().Stations().Find(kStation);
  ASSERT_TRUE(station);
  // The server info and the power-on follow the logon.
  EXPECT_NE(station->serverInfoTime, 0);
  EXPECT_NE(station->powerOnTime, 0);

  // The server's refusal is the reply and the state.
  EXPECT_EQ(Result(OP_SHOW_LOG_ON, Account(kEmail, Hash("wrong"))), 0x1001u);
  EXPECT_EQ(Result(OP_SHOW_LOG_ON_STATUES), 0x1001u);
  EXPECT_EQ(Log().find(hash), std::string::npos);
}

TEST_F(TrayRequestsTest, RejectedAccountsChangeNothing) {
  Central central(m_dir, {{kEmail, Hash("secret")}});
  StoreAccount(kEmail, Hash("secret"));
  ASSERT_EQ(LogOn(), 0);
  g_LogOnRtn = 0;
  struct Case {
    const char* what;
    std::string payload;
    uint32_t result;
  };
  const std::vector<Case> cases = {
      {"empty e-mail", Account("", "hash"), ERR_USER_EMPTY},
      {"empty hash", Account("new@example.com", ""), ERR_USER_EMPTY},
      {"e-mail filling its field", Account(std::string(32, 'a'), "hash"), ERR_USER_EMPTY},
      {"short payload", Account("new@example.com", "hash").substr(0, 40), ERR_USER_EMPTY},
      {"semicolon in the hash", Account("new@example.com", "ab;c"), ERR_BAD_CHARS},
      {"quote in the e-mail", Account("o'neil@example.com", "hash"), ERR_BAD_CHARS},
      // A crypt result that kept its setting never reaches the database.
      {"dollar in the hash", Account("new@example.com", "$1$vorpel$abc"), ERR_BAD_CHARS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Result(OP_SHOW_LOG_ON, c.payload), c.result);
    std::string email, psw;
    GetUsernfo(email, psw);
    EXPECT_EQ(email, kEmail);
    EXPECT_TRUE(central.LoggedOn());  // no logout either
    EXPECT_EQ(g_LogOnRtn.load(), 0);
  }
  EXPECT_NE(Log().find("user name or pass world error .username"), std::string::npos);

  // Without payload: no reply at all; the connection goes on.
  ASSERT_TRUE(m_client.Send(OP_SHOW_LOG_ON, 1));
  EXPECT_EQ(Result(OP_SHOW_LOG_ON_STATUES), 0u);
}

TEST_F(TrayRequestsTest, StoreFailureAnswers4108AfterTheOldAccountLoggedOut) {
  Central central(m_dir, {{kEmail, Hash("secret")}});
  StoreAccount(kEmail, Hash("secret"));
  ASSERT_EQ(LogOn(), 0);
  g_DB.RunCommand(
      "create trigger refuse before insert on qz_user begin select raise(abort, 'full'); end");
  EXPECT_EQ(Result(OP_SHOW_LOG_ON, Account("new@example.com", Hash("new"))), 4108u);
  EXPECT_FALSE(central.LoggedOn());
  std::string email, psw;
  GetUsernfo(email, psw);
  EXPECT_EQ(email, kEmail);
  EXPECT_EQ(g_LogOnRtn.load(), 0);
  EXPECT_NE(Log().find("write log on info to db error."), std::string::npos);
}

TEST_F(TrayRequestsTest, LogOutDeletesTheAccountAndReportsNoAccount) {
  Central central(m_dir, {{kEmail, Hash("secret")}});
  StoreAccount(kEmail, Hash("secret"));
  ASSERT_EQ(LogOn(), 0);
  EXPECT_EQ(Result(OP_SHOW_LOG_OUT), 0u);
  EXPECT_FALSE(central.LoggedOn());
  EXPECT_EQ(Result(OP_SHOW_LOG_ON_STATUES), 4127u);
  EXPECT_EQ(Ask(OP_SHOW_GET_LOG_ON_INFO).body, std::string(64, '\0'));
  g_DB.RunCommand("drop table qz_user");
  EXPECT_EQ(Result(OP_SHOW_LOG_OUT), 0xFFFFFFFFu);
  EXPECT_EQ(Result(OP_SHOW_LOG_ON_STATUES), 4127u);
}

// ---- Default folders and shares.

TEST_F(TrayRequestsTest, DefaultFoldersRoundTripInUtf8) {
  g_DB.RunCommand("delete from qz_defshare");
  support::Message m = Ask(OP_SHOW_GET_DEF_SHARE);
  EXPECT_EQ(m.body, std::string(1300, '\0'));

  std::string rec(1300, '\0');
  const std::vector<std::string> folders = {"/home/u/Tirvan", "/home/u/Tirvan/照片",
                                            "/home/u/Tirvan/音乐", "/home/u/Tirvan/视频",
                                            "/home/u/Tirvan/文档"};
  for (size_t i = 0; i < 5; ++i) std::memcpy(rec.data() + 260 * i, folders[i].data(), folders[i].size());
  EXPECT_EQ(Result(OP_SHOW_SET_DEF_SHARE, rec), 0u);
  DefaultDirInfo stored;
  ParseDefaultDir(stored);
  EXPECT_EQ(stored.def, folders[0]);
  EXPECT_EQ(stored.def_pic, folders[1]);
  EXPECT_EQ(stored.def_music, folders[2]);
  EXPECT_EQ(stored.def_video, folders[3]);
  EXPECT_EQ(stored.def_doc, folders[4]);
  EXPECT_EQ(Ask(OP_SHOW_GET_DEF_SHARE).body, rec);
}

TEST_F(TrayRequestsTest, DefaultFoldersThatCannotBeStoredAsSentAreRefused) {
  std::string good(1300, '\0');
  std::memcpy(good.data(), "/srv/a", 6);
  ASSERT_EQ(Result(OP_SHOW_SET_DEF_SHARE, good), 0u);

  std::string invalid = good;
  std::memcpy(invalid.data() + 260, "/srv/\xFF\xFE", 7);  // not UTF-8
  std::string unterminated = good;
  std::memset(unterminated.data() + 520, 'm', 260);
  for (const std::string& bad : {invalid, unterminated, good.substr(0, 1299)}) {
    EXPECT_EQ(Result(OP_SHOW_SET_DEF_SHARE, bad), 0xFFFFFFFFu);
    DefaultDirInfo stored;
    ParseDefaultDir(stored);
    EXPECT_EQ(stored.def, "/srv/a");
    EXPECT_EQ(stored.def_pic, "");
  }
  ASSERT_TRUE(m_client.Send(OP_SHOW_SET_DEF_SHARE, 1));  // no payload: no reply
  EXPECT_EQ(Ask(OP_SHOW_GET_DEF_SHARE).body, good);
}

TEST_F(TrayRequestsTest, SharesAreReplacedByTheListSent) {
  EXPECT_EQ(Result(OP_SHOW_SET_SHARE, "/srv/A\r\n\r\n/srv/共享 B"), 0u);
  EXPECT_EQ(Shares(), (std::vector<std::string>{"/srv/A", "/srv/共享 B"}));
  EXPECT_EQ(Ask(OP_SHOW_GET_SHARE).body, "/srv/A\r\n/srv/共享 B\r\n");

  ASSERT_EQ(SetShareInfo({"/x", "/y", "/x"}), 0);
  EXPECT_EQ(Ask(OP_SHOW_GET_SHARE).body, "/x\r\n/y\r\n");  // each path once

  // Text after a zero byte is not part of the list.
  EXPECT_EQ(Result(OP_SHOW_SET_SHARE, std::string("/p\r\n/q\0/r", 9)), 0u);
  EXPECT_EQ(Shares(), (std::vector<std::string>{"/p", "/q"}));

  // A list that would change in conversion is refused whole.
  EXPECT_EQ(Result(OP_SHOW_SET_SHARE, "/ok\r\n/bad\xC3"), 0xFFFFFFFFu);
  EXPECT_EQ(Shares(), (std::vector<std::string>{"/p", "/q"}));

  EXPECT_EQ(Result(OP_SHOW_SET_SHARE, "\r\n"), 0u);
  EXPECT_TRUE(Shares().empty());
  ASSERT_EQ(SetShareInfo({"/z"}), 0);
  EXPECT_EQ(Result(OP_SHOW_SET_SHARE), 0u);  // no payload: the empty list
  EXPECT_TRUE(Shares().empty());
  EXPECT_EQ(Ask(OP_SHOW_GET_SHARE).body, "");
}

TEST_F(TrayRequestsTest, ShareListTooLongForAReplyIsCutAtAWholeLine) {
  std::vector<std::string> many;
  for (int i = 0; i < 400; ++i) many.push_back("/" + std::string(200, 'a') + std::to_string(i));
  ASSERT_EQ(SetShareInfo(many), 0);
  std::string body = Ask(OP_SHOW_GET_SHARE).body;
  EXPECT_LE(body.size(), kMaxShowPayload);
  EXPECT_GT(body.size(), kMaxShowPayload - 210);
  EXPECT_EQ(body.substr(body.size() - 2), "\r\n");
  EXPECT_EQ(body.find("/" + std::string(200, 'a') + "0\r\n"), 0u);
}

TEST_F(TrayRequestsTest, PathListsRootsAndSubFolders) {
  EXPECT_EQ(Ask(OP_SHOW_GET_PATH).body, "/\r\n");
  SetShowRootLister([] { return std::vector<std::string>{"/", "/media/usb"}; });
  EXPECT_EQ(Ask(OP_SHOW_GET_PATH).body, "/\r\n/media/usb\r\n");

  m_dir.MakeDir("tree");
  m_dir.MakeDir("tree/相册");
  m_dir.MakeDir("tree/.hidden");
  m_dir.Write("tree/file.txt", "x");
  const std::string tree = m_dir.Sub("tree");
  EXPECT_EQ(Ask(OP_SHOW_GET_PATH, tree).body, tree + "/相册\r\n");
  EXPECT_EQ(Ask(OP_SHOW_GET_PATH, tree + "/").body, tree + "//相册\r\n");
  // Folders that cannot be listed as sent: nothing.
  EXPECT_EQ(Ask(OP_SHOW_GET_PATH, m_dir.Sub("missing")).body, "");
  EXPECT_EQ(Ask(OP_SHOW_GET_PATH, tree + "\xFF").body, "");
  EXPECT_EQ(Ask(OP_SHOW_GET_PATH, tree + "/" + std::string(300, 'x')).body, "");
}

// ---- Transfers and status.

TEST_F(TrayRequestsTest, TransferLogComesAsWholeRecords) {
  EXPECT_EQ(Ask(OP_SHOW_GET_TRANS_LOG).body, "");
  WriteTranLog("/srv/上传.jpg", TRANS_LOG_UPLOAD, 0x01020304);
  for (int i = 1; i < 100; ++i) WriteTranLog("/srv/f" + std::to_string(i), TRANS_LOG_DOWNLOAD, i);
  std::string body = Ask(OP_SHOW_GET_TRANS_LOG).body;
  ASSERT_EQ(body.size(), 300u * 100);
  std::vector<TransLogRow> rows;
  GetTransLog(rows);
  ASSERT_EQ(rows.size(), 100u);
  std::string first = body.substr(0, 300);
  EXPECT_EQ(U16(first, 0), 0);
  EXPECT_EQ(U16(first, 2), 0);
  EXPECT_EQ(U32(first, 4), 0x01020304u);
  EXPECT_EQ(first.substr(8, 30), rows[0].time + std::string(30 - std::strlen(rows[0].time), '\0'));
  EXPECT_EQ(first.substr(38, 260), "/srv/上传.jpg" + std::string(260 - 15, '\0'));
  EXPECT_EQ(first.substr(298), std::string(2, '\0'));
  EXPECT_EQ(U16(body, 300), 1);

  // More rows than a reply holds (written by other means): the first 218 whole records.
  for (int i = 0; i < 150; ++i) {
    g_DB.RunCommand("insert into qz_trans(type, status, file, size, time) values(1, 0, '/f', 1, "
                    "'2024-01-01 00:00:00')");
  }
  body = Ask(OP_SHOW_GET_TRANS_LOG).body;
  EXPECT_EQ(body.size(), 218u * 300);

  EXPECT_EQ(Result(OP_SHOW_CLEAR_LOG), 0u);
  EXPECT_EQ(Ask(OP_SHOW_GET_TRANS_LOG).body, "");
  g_DB.RunCommand(
      "create trigger keep before delete on qz_trans begin select raise(abort, 'kept'); end");
  WriteTranLog("/srv/x", TRANS_LOG_UPLOAD, 1);
  EXPECT_EQ(Result(OP_SHOW_CLEAR_LOG), 1u);
}

TEST_F(TrayRequestsTest, TransferCountsCountTheTableAndTheRunningDownloads) {
  auto count = [&] {
    support::Message m = Ask(OP_SHOW_GET_IS_TRANING);
    EXPECT_EQ(m.body.size(), 4u);
    return std::make_pair(U16(m.body, 0), U16(m.body, 2));
  };
  EXPECT_EQ(count(), std::make_pair(uint16_t{0}, uint16_t{0}));
  auto upload = std::make_shared<TransRecord>();
  upload->kind = TransKind::Upload;
  upload->origin = TransOrigin::Lan(1);
  ASSERT_TRUE(TransInsert(1, upload));
  EXPECT_EQ(count(), std::make_pair(uint16_t{1}, uint16_t{0}));
  // An announced download holds an entry of the table, so it counts as an upload.
  auto pending = std::make_shared<TransRecord>();
  pending->origin = TransOrigin::Lan(1);
  ASSERT_TRUE(TransInsert(2, pending));
  AddDownLoadCount(3);
  EXPECT_EQ(count(), std::make_pair(uint16_t{2}, uint16_t{3}));
  AddDownLoadCount(-3);
}

TEST_F(TrayRequestsTest, MobileLinkFollowsTheLastHeartbeatWithinAMinute) {
  EXPECT_EQ(Result(OP_SHOW_GET_IS_MOBILE_LINKED), 0xFFFFFFFFu);  // never
  ASSERT_EQ(Invoke(ReqDeviceHeartBeat, "x", OP_REQ_DEVICE_HEART_BEAT, 1).rc, 0);
  const int64_t beat = g_now;
  for (auto [offset, result] : std::vector<std::pair<int64_t, uint32_t>>{
           {0, 0}, {60, 0}, {61, 0xFFFFFFFF}, {-60, 0}, {-61, 0xFFFFFFFF}, {3600, 0xFFFFFFFF}}) {
    SCOPED_TRACE(offset);
    g_now = beat + offset;
    EXPECT_EQ(Result(OP_SHOW_GET_IS_MOBILE_LINKED), result);
  }
  EXPECT_NE(Log().find("Show_GetIsMobileLinked no recv any heart beat."), std::string::npos);
}

TEST_F(TrayRequestsTest, SystemTypeIsTwo) { EXPECT_EQ(Result(OP_SHOW_GET_SYS_TYPE), 2u); }

// ---- Only the loopback address reaches these requests.

TEST_F(TrayRequestsTest, LanConnectionsGetNothingAndChangeNothing) {
  StoreAccount(kEmail, Hash("secret"));
  ASSERT_EQ(SetShareInfo({"/kept"}), 0);
  // The origin is decided at accept: a first answer proves the tray's connection was accepted
  // as loopback before every later connection is taken for the LAN.
  ASSERT_EQ(Result(OP_SHOW_GET_SYS_TYPE), 2u);
  OS_SetOriginClassifier([](const sockaddr*, socklen_t) { return Origin::Lan; });
  const std::vector<std::pair<uint16_t, std::string>> requests = {
      {OP_SHOW_LOG_ON, Account("thief@example.com", "hash")},
      {OP_SHOW_SET_SHARE, "/"},
      {OP_SHOW_GET_LOG_ON_INFO, ""},
      {OP_SHOW_LOG_OUT, ""},
      {OP_SHOW_LOG_ON_STATUES, ""},
      {OP_SHOW_GET_SHARE, ""},
      {OP_SHOW_CLEAR_LOG, ""}};
  for (const auto& [opcode, payload] : requests) {
    SCOPED_TRACE(opcode);
    support::MsgClient lan = m_server->Connect();
    ASSERT_TRUE(lan.Send(opcode, 1, payload));
    EXPECT_TRUE(lan.WaitPeerClose(2000));  // closed without an answer
  }
  std::string email, psw;
  GetUsernfo(email, psw);
  EXPECT_EQ(email, kEmail);
  EXPECT_EQ(Shares(), std::vector<std::string>{"/kept"});
  // The tray's own connection is still served.
  EXPECT_EQ(Result(OP_SHOW_GET_SYS_TYPE), 2u);
}

TEST_F(TrayRequestsTest, RelayedTrayRequestsGetNothingAndChangeNothing) {
  const std::string hash = Hash("secret");
  Central central(m_dir, {{kEmail, hash}});
  StoreAccount(kEmail, hash);
  ASSERT_EQ(SetShareInfo({"/kept"}), 0);
  ASSERT_EQ(OS_RegFunction(ReqDeviceHeartBeat, OP_REQ_DEVICE_HEART_BEAT), 0);
  OS_ClearStopFlag();
  g_LogOnRtn = LogOn();
  ASSERT_EQ(g_LogOnRtn.load(), 0);
  RelayClientConfig relayConfig;
  relayConfig.retryMs = 50;
  std::thread relay([&] { StartRecvInterLine(&relayConfig); });

  central::RelayDeviceClient dev;
  int r = -1;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  do {
    r = dev.Connect("127.0.0.1", central.Port(), central::DeviceCredentials{kEmail, hash, kStation});
    if (r == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < deadline);
  ASSERT_EQ(r, 0);

  std::string thief = Account("thief@example.com", Hash("x"));
  ASSERT_TRUE(dev.Send(OP_SHOW_LOG_ON, 1, reinterpret_cast<const uint8_t*>(thief.data()),
                       thief.size()));
  ASSERT_TRUE(dev.Send(OP_SHOW_SET_SHARE, 2, reinterpret_cast<const uint8_t*>("/"), 1));
  ASSERT_TRUE(dev.Send(OP_SHOW_GET_LOG_ON_INFO, 3));
  ASSERT_TRUE(dev.Send(OP_SHOW_LOG_OUT, 4));
  // A device request behind them is answered, and it is the first answer.
  ASSERT_TRUE(dev.Send(OP_REQ_DEVICE_HEART_BEAT, 5, reinterpret_cast<const uint8_t*>("x"), 1));
  auto m = dev.Recv(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->head.opcode, OP_REQ_DEVICE_HEART_BEAT);
  EXPECT_EQ(m->head.seq, 5u);
  EXPECT_FALSE(dev.Recv(200).has_value());

  std::string email, psw;
  GetUsernfo(email, psw);
  EXPECT_EQ(email, kEmail);
  EXPECT_EQ(Shares(), std::vector<std::string>{"/kept"});
  EXPECT_TRUE(central.LoggedOn());

  OS_SetStopFlag();
  relay.join();
  OS_ClearStopFlag();
}

}  // namespace
