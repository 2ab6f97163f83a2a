// The service client's reading and writing of each record against a scripted peer:
// replies of the wrong opcode or length give the neutral result, text fields stop at
// their field, and the requests carry exactly the bytes the service reads. The same calls
// against the real service are in ui_data_e2e_test.cpp.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "crypt_password.h"
#include "fake_peer.h"
#include "ui_data.h"

namespace {

using traytest::FakePeer;
using traytest::Head;
using traytest::WaitFor;

// Answers each request by its opcode from a table the test changes; records requests.
class FakeService {
 public:
  FakeService()
      : m_peer([this](int fd) {
          std::string head = traytest::RecvUpTo(fd, 8, 2000);
          if (head.size() < 8) return;
          size_t len = (static_cast<uint8_t>(head[0]) << 8) | static_cast<uint8_t>(head[1]);
          std::string req = head + traytest::RecvUpTo(fd, len - 8, 2000);
          uint16_t op = static_cast<uint16_t>((static_cast<uint8_t>(head[2]) << 8) |
                                              static_cast<uint8_t>(head[3]));
          std::string reply;
          {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(req);
            auto it = m_replies.find(op);
            if (it == m_replies.end()) return;
            reply = it->second;
          }
          traytest::SendAll(fd, reply);
          traytest::RecvUpTo(fd, 1, 1000);
        }) {}

  void Reply(uint16_t op, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[op] = bytes;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.clear();
    m_requests.clear();
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
  }
  uint16_t port() const { return m_peer.port(); }

 private:
  std::mutex m_mutex;
  std::map<uint16_t, std::string> m_replies;
  std::vector<std::string> m_requests;
  FakePeer m_peer;
};

std::string U32(uint32_t v) {
  return traytest::Bytes({static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF),
                          static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)});
}
std::string Result(uint16_t op, uint32_t v) { return Head(12, op) + U32(v); }
std::string Field(const std::string& text, size_t n) {
  std::string f = text.substr(0, n);
  f.resize(n, '\0');
  return f;
}

struct Recorder : tray::IUIDataCallBack {
  std::mutex m;
  std::vector<std::string> shares, paths;
  std::vector<tray::TransLogRecord> logs;
  std::vector<tray::DeviceLoginInfo> questions;
  int up = 0, down = 0;
  void OnShareFolder(const std::string& p) override { shares.push_back(p); }
  void OnTransLog(const tray::TransLogRecord& r) override { logs.push_back(r); }
  void OnPathItem(const std::string& p) override { paths.push_back(p); }
  void OnDeviceLoginRequest(const tray::DeviceLoginInfo* info) override {
    std::lock_guard<std::mutex> lock(m);
    questions.push_back(*info);
  }
  void OnNetworkDown() override {
    std::lock_guard<std::mutex> lock(m);
    ++down;
  }
  void OnNetworkUp() override {
    std::lock_guard<std::mutex> lock(m);
    ++up;
  }
  size_t Questions() {
    std::lock_guard<std::mutex> lock(m);
    return questions.size();
  }
};

class UIDataFramesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service.Reply(tray::OP_SHOW_GET_SYS_TYPE, Result(tray::OP_SHOW_GET_SYS_TYPE, 7));
    tray::UIDataOptions o;
    o.transport.requestPort = service.port();
    o.transport.listenPort = 0;
    o.transport.requestRecvTimeoutMs = 300;
    o.networkIntervalMs = 10;
    o.networkProbe = [this] { return networkUp.load(); };
    ui = std::make_unique<tray::CUIData>(o);
    // The system type is asked for on a thread of its own: its request is done before
    // the tests count theirs.
    ui->GetSysType();
    ui->SetCallback(&rec);
  }
  void TearDown() override {
    ui->ClearCallback();
    ui.reset();
  }
  FakeService service;
  Recorder rec;
  std::atomic<bool> networkUp{true};
  std::unique_ptr<tray::CUIData> ui;
};

TEST_F(UIDataFramesTest, LogOnStatusMapsTheServiceCodes) {
  EXPECT_EQ(ui->GetSysType(), 7);
  const std::vector<std::pair<uint32_t, int>> table = {
      {0, 1},      {0x1000, 4}, {0x1001, 4},      {0x101A, 5}, {0x101F, 2},
      {0x1024, 7}, {0x1014, 0xFFFF}, {0xFFFFFFFF, 0xFFFF}};
  for (auto [code, state] : table) {
    service.Reply(tray::OP_SHOW_LOG_ON_STATUES, Result(tray::OP_SHOW_LOG_ON_STATUES, code));
    EXPECT_EQ(ui->GetLogOnStatus(), state) << std::hex << code;
    EXPECT_EQ(ui->LastLogOnCode(), code);
  }
  // Another opcode, a short or a long reply: no usable reply. No reply head: -3.
  for (const std::string& bad :
       {Result(tray::OP_SHOW_LOG_ON, 0), Head(10, tray::OP_SHOW_LOG_ON_STATUES) + "ab",
        Head(16, tray::OP_SHOW_LOG_ON_STATUES) + std::string(8, '\0')}) {
    service.Reply(tray::OP_SHOW_LOG_ON_STATUES, bad);
    EXPECT_EQ(ui->GetLogOnStatus(), 0);
  }
  service.Clear();
  EXPECT_EQ(ui->GetLogOnStatus(), tray::kNoReplyHead);
  ui->SetServicePort(traytest::UnusedPort());
  EXPECT_EQ(ui->GetLogOnStatus(), tray::kNoConnection);
}

TEST_F(UIDataFramesTest, MobileStateAsksForTransfersOnlyWithADevice) {
  struct Case {
    uint32_t linked;
    uint16_t up, down;
    int state;
    size_t requests;
  };
  for (const Case& c : std::vector<Case>{{0xFFFFFFFF, 1, 1, 1, 1},
                                         {1, 0, 0, 1, 1},
                                         {0, 2, 1, 3, 2},
                                         {0, 0, 1, 4, 2},
                                         {0, 0, 0, 2, 2}}) {
    service.Clear();
    service.Reply(tray::OP_SHOW_GET_IS_MOBILE_LINKED,
                  Result(tray::OP_SHOW_GET_IS_MOBILE_LINKED, c.linked));
    service.Reply(tray::OP_SHOW_GET_IS_TRANING,
                  Result(tray::OP_SHOW_GET_IS_TRANING, (uint32_t{c.up} << 16) | c.down));
    EXPECT_EQ(ui->GetMobileState(), c.state);
    EXPECT_EQ(service.Requests().size(), c.requests);
  }
  service.Clear();
  EXPECT_EQ(ui->GetMobileState(), 0);
}

TEST_F(UIDataFramesTest, SharesAreSentOnlyAfterAGoodReadAndNeverWrapTheLength) {
  service.Clear();
  // No list read yet: nothing is sent.
  std::vector<std::string> add = {"/srv/a"};
  EXPECT_EQ(ui->SetShare(&add, nullptr), -1);
  EXPECT_TRUE(service.Requests().empty());

  service.Reply(tray::OP_SHOW_GET_SHARE, Head(8 + 16, tray::OP_SHOW_GET_SHARE) +
                                             "/srv/a\r\n/srv/b\r\n");
  service.Reply(tray::OP_SHOW_SET_SHARE, Result(tray::OP_SHOW_SET_SHARE, 0));
  ASSERT_EQ(ui->GetShare(), 0);
  EXPECT_EQ(rec.shares, (std::vector<std::string>{"/srv/a", "/srv/b"}));
  // A path already there: the list goes out unchanged.
  service.Clear();
  service.Reply(tray::OP_SHOW_SET_SHARE, Result(tray::OP_SHOW_SET_SHARE, 0));
  std::vector<std::string> removeAbsent = {"/srv/none"};
  EXPECT_EQ(ui->SetShare(&add, &removeAbsent), 0);
  EXPECT_EQ(service.Requests().back(),
            Head(24, tray::OP_SHOW_SET_SHARE) + "/srv/a\r\n/srv/b\r\n");
  // Removing every path: exactly the head.
  std::vector<std::string> all = {"/srv/b", "/srv/a"};
  EXPECT_EQ(ui->SetShare(nullptr, &all), 0);
  EXPECT_EQ(service.Requests().back(), Head(8, tray::OP_SHOW_SET_SHARE));

  // A list beyond the 16-bit length is refused and the list stays.
  std::vector<std::string> many;
  for (int i = 0; i < 300; ++i) many.push_back("/" + std::string(240, 'd') + std::to_string(i));
  size_t before = service.Requests().size();
  EXPECT_EQ(ui->SetShare(&many, nullptr), -1);
  EXPECT_EQ(service.Requests().size(), before);
  EXPECT_TRUE(ui->ShareList().empty());

  // An empty reply empties the list and reports nothing; a failed read blocks the next send.
  service.Reply(tray::OP_SHOW_GET_SHARE, Head(8, tray::OP_SHOW_GET_SHARE));
  rec.shares.clear();
  EXPECT_EQ(ui->GetShare(), 0);
  EXPECT_TRUE(rec.shares.empty());
  service.Reply(tray::OP_SHOW_GET_SHARE, Result(tray::OP_SHOW_SET_SHARE, 0));
  EXPECT_EQ(ui->GetShare(), -1);
  EXPECT_EQ(ui->SetShare(&add, nullptr), -1);
}

TEST_F(UIDataFramesTest, WithoutCallbackTheShareListIsStillFilled) {
  ui->ClearCallback();
  service.Reply(tray::OP_SHOW_GET_SHARE, Head(16, tray::OP_SHOW_GET_SHARE) + "/srv/a\r\n");
  EXPECT_EQ(ui->GetShare(), 0);
  EXPECT_TRUE(rec.shares.empty());
  EXPECT_EQ(ui->ShareList(), std::vector<std::string>{"/srv/a"});
}

TEST_F(UIDataFramesTest, TransferLogNeedsWholeRecordsAndStopsTextsAtTheirFields) {
  auto record = [](uint16_t type, uint32_t size, const std::string& time,
                   const std::string& file) {
    return traytest::Bytes({type >> 8, type & 0xFF, 0, 2}) + U32(size) + Field(time, 30) +
           Field(file, 260) + std::string(2, '\0');
  };
  const std::string rows = record(0, 100, "2026-12-11 01:02:03", "/srv/a.txt") +
                           record(1, 0x01020304, std::string(30, 't'), "/srv/b.txt") +
                           record(1, 5, "x", std::string(259, 'f')) +
                           record(1, 5, "x", std::string(260, 'g'));  // no room for the zero
  service.Reply(tray::OP_SHOW_GET_TRANS_LOG, Head(8 + 1200, tray::OP_SHOW_GET_TRANS_LOG) + rows);
  EXPECT_EQ(ui->GetTransLog(), 0);
  ASSERT_EQ(rec.logs.size(), 3u);
  EXPECT_EQ(rec.logs[0].type, 0);
  EXPECT_EQ(rec.logs[0].status, 2);
  EXPECT_EQ(rec.logs[0].size, 100u);
  EXPECT_STREQ(rec.logs[0].time, "2026-12-11 01:02:03");
  EXPECT_STREQ(rec.logs[0].file, "/srv/a.txt");
  EXPECT_EQ(rec.logs[1].size, 0x01020304u);
  EXPECT_EQ(std::string(rec.logs[1].time), std::string(29, 't'));
  EXPECT_EQ(std::string(rec.logs[2].file), std::string(259, 'f'));
  // A partial record at the end: not a reply of this request.
  rec.logs.clear();
  service.Reply(tray::OP_SHOW_GET_TRANS_LOG,
                Head(8 + 1300, tray::OP_SHOW_GET_TRANS_LOG) + rows + std::string(100, 'x'));
  EXPECT_EQ(ui->GetTransLog(), -1);
  EXPECT_TRUE(rec.logs.empty());
}

TEST_F(UIDataFramesTest, DefaultFoldersAreReadAtTheirOffsetsAndNoReplyIsNotNoFolder) {
  std::string root = "unchanged";
  EXPECT_EQ(ui->GetDefShare(&root), tray::kDefShareNoReply);
  EXPECT_EQ(root, "unchanged");
  const std::string record = Field("/data/Tirvan", 260) + Field("/data/Tirvan/Pictures", 260) +
                             Field("/data/Tirvan/Music", 260) + std::string(260, 'v') +
                             Field("/data/Tirvan/Docs", 260);
  service.Reply(tray::OP_SHOW_GET_DEF_SHARE, Head(1308, tray::OP_SHOW_GET_DEF_SHARE) + record);
  EXPECT_EQ(ui->GetDefShare(&root), tray::kDefShareSet);
  EXPECT_EQ(root, "/data/Tirvan");
  EXPECT_EQ(ui->Folders().picture, "/data/Tirvan/Pictures");
  EXPECT_EQ(ui->Folders().music, "/data/Tirvan/Music");
  EXPECT_EQ(ui->Folders().video, std::string(260, 'v'));  // no zero byte: the whole field
  EXPECT_EQ(ui->Folders().document, "/data/Tirvan/Docs");
  service.Reply(tray::OP_SHOW_GET_DEF_SHARE,
                Head(1308, tray::OP_SHOW_GET_DEF_SHARE) + std::string(1300, '\0'));
  EXPECT_EQ(ui->GetDefShare(&root), tray::kDefShareEmpty);
  service.Reply(tray::OP_SHOW_GET_DEF_SHARE, Head(1208, tray::OP_SHOW_GET_DEF_SHARE) +
                                                 record.substr(0, 1200));
  EXPECT_EQ(ui->GetDefShare(&root), tray::kDefShareNoReply);

  service.Clear();
  service.Reply(tray::OP_SHOW_SET_DEF_SHARE, Result(tray::OP_SHOW_SET_DEF_SHARE, 0));
  tray::DefaultFolders f{"/d", "/d/p", "/d/m", "/d/v", "/d/o"};
  EXPECT_EQ(ui->SetDefShare(f), 0);
  EXPECT_EQ(service.Requests().back(),
            Head(1308, tray::OP_SHOW_SET_DEF_SHARE) + Field("/d", 260) + Field("/d/p", 260) +
                Field("/d/m", 260) + Field("/d/v", 260) + Field("/d/o", 260));
  f.video = "/" + std::string(259, 'v');
  EXPECT_EQ(ui->SetDefShare(f), -1);
  EXPECT_EQ(service.Requests().size(), 1u);
}

TEST_F(UIDataFramesTest, LogOnSendsTheHashAndKeepsItForTheNextLogOn) {
  EXPECT_EQ(tray::CryptPassword("password"), "lwMUzv154/BIwOvrMKCk5.");
  EXPECT_EQ(tray::CryptPassword(""), "BB6gT2B0dkCXyU4Vs.0Xq.");
  service.Clear();
  service.Reply(tray::OP_SHOW_LOG_ON, Result(tray::OP_SHOW_LOG_ON, 0));
  tray::LoginInfo login{};
  std::strcpy(login.account, "me@tirvan.test");
  std::strcpy(login.password, "password");
  ASSERT_EQ(ui->LogOn(&login, 1), 0);
  EXPECT_STREQ(login.password, "lwMUzv154/BIwOvrMKCk5.");
  ASSERT_EQ(ui->LogOn(&login, 0), 0);
  ASSERT_TRUE(WaitFor([&] { return service.Requests().size() == 2; }));
  const std::string expected = Head(72, tray::OP_SHOW_LOG_ON) + Field("me@tirvan.test", 32) +
                               Field("lwMUzv154/BIwOvrMKCk5.", 32);
  EXPECT_EQ(service.Requests()[0], expected);
  EXPECT_EQ(service.Requests()[1], expected);

  // Reading the account back fills the caller's record.
  service.Reply(tray::OP_SHOW_GET_LOG_ON_INFO,
                Head(72, tray::OP_SHOW_GET_LOG_ON_INFO) + Field("me@tirvan.test", 32) +
                    std::string(32, 'h'));
  tray::LoginInfo read{};
  ui->GetLogOnInfo(&read);
  EXPECT_STREQ(read.account, "me@tirvan.test");
  EXPECT_EQ(std::string(read.password), std::string(31, 'h'));
}

TEST(UIDataHashTest, AFailedHashSendsNothingAndEmptiesThePassword) {
  FakeService service;
  tray::UIDataOptions o;
  o.transport.requestPort = service.port();
  o.startListener = false;
  o.hasher = [](const std::string&) { return std::optional<std::string>(); };
  tray::CUIData ui(o);
  tray::LoginInfo login{};
  std::strcpy(login.account, "me@tirvan.test");
  std::strcpy(login.password, "password");
  EXPECT_EQ(ui.LogOn(&login, 1), -1);
  EXPECT_STREQ(login.password, "");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (const std::string& r : service.Requests()) {
    EXPECT_NE(r.substr(2, 2), traytest::Bytes({0x50, 0x02}));
  }
}

TEST_F(UIDataFramesTest, QuestionsAreReportedBoundedAndAnsweredOnce) {
  auto question = [](uint16_t op, const std::string& name, const std::string& network) {
    return Head(264, op, 0x11223344) + std::string(64, 'e') + Field(name, 64) +
           Field(network, 64) + std::string(64, '\0');
  };
  // Another opcode is never reported; its connection closes.
  int other = traytest::ConnectLoopback(ui->ListenPort());
  traytest::SendAll(other, question(0x5001, "phone", "wifi"));
  EXPECT_TRUE(traytest::PeerCloses(other, 3000));
  ::close(other);
  EXPECT_EQ(rec.Questions(), 0u);

  int fd = traytest::ConnectLoopback(ui->ListenPort());
  traytest::SendAll(fd, question(tray::OP_SHOW_DEVICE_LOGIN, std::string(64, 'n'), "wifi"));
  ASSERT_TRUE(WaitFor([&] { return rec.Questions() == 1; }));
  tray::DeviceLoginInfo info = rec.questions[0];
  EXPECT_EQ(std::string(info.sender), std::string(63, 'n'));
  EXPECT_STREQ(info.network, "wifi");
  EXPECT_EQ(info.spare, 0u);
  tray::ConnectResult answer{info.id, 1};
  EXPECT_EQ(ui->ReplyDeviceLogin(&answer), 0);
  EXPECT_EQ(traytest::RecvUpTo(fd, 12, 2000),
            Head(12, tray::OP_SHOW_DEVICE_LOGIN, 0x11223344) + U32(0));
  EXPECT_EQ(ui->ReplyDeviceLogin(&answer), -1);
  ::close(fd);
}

TEST_F(UIDataFramesTest, NetworkWatcherReportsEveryInterval) {
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(rec.m);
    return rec.up >= 3;
  }));
  networkUp = false;
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(rec.m);
    return rec.down >= 3;
  }));
}

}  // namespace

namespace {

// A peer on the service's port that drips the system type's answer one byte every 0.8 of
// the receive time-out. The start asks for the system type: it must neither wait for the
// drip nor keep the listener from taking questions meanwhile.
TEST(UIDataStartTest, ADrippingServiceHoldsNeitherTheStartNorTheListener) {
  constexpr int kDeadlineMs = 300;
  std::atomic<int> dripped{0};
  const std::string sysType = Result(tray::OP_SHOW_GET_SYS_TYPE, 7);
  FakePeer peer(traytest::DripReply(sysType, kDeadlineMs * 8 / 10, &dripped));
  tray::UIDataOptions o;
  o.transport.requestPort = peer.port();
  o.transport.listenPort = 0;
  o.transport.requestRecvTimeoutMs = kDeadlineMs;
  o.networkProbe = [] { return true; };
  Recorder rec;
  tray::CUIData ui(o);
  ui.SetCallback(&rec);
  ASSERT_NE(ui.ListenPort(), 0);
  // A question is taken while the system type is still on its way.
  int fd = traytest::ConnectLoopback(ui.ListenPort());
  traytest::SendAll(fd, Head(264, tray::OP_SHOW_DEVICE_LOGIN, 5) + std::string(256, '\0'));
  ASSERT_TRUE(WaitFor([&] { return rec.Questions() == 1; }));
  // The drip outlasts the deadline many times over: the type stays 2, with most of the
  // answer never sent.
  EXPECT_EQ(ui.GetSysType(), 2);
  EXPECT_LT(dripped.load(), static_cast<int>(sysType.size()));
  ui.ClearCallback();
  ::close(fd);
}

}  // namespace
