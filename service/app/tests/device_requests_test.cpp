// Device heartbeat, login and shutdown: the records, the tray program's verdicts through
// the listener stand-in, the wait off the local server's thread, the relayed form through
// tirvan-central's relay, and the shutdown's order with a runner that never powers off.
#include "app/device_requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/logon.h"
#include "app_fixture.h"
#include "central/relay_device_client.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/opcodes.h"
#include "comm/relay_client.h"
#include "comm/utils.h"
#include "platform/power.h"
#include "request_fixture.h"

namespace {

using namespace reqtest;
using Clock = std::chrono::steady_clock;
using traylistener::Answer;
using traylistener::AnswerKind;

class DeviceRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    apptest::OpenTestDb(m_dir);
    OS_ClearRegistry();
    ASSERT_EQ(OS_RegFunction(ReqDeviceHeartBeat, OP_REQ_DEVICE_HEART_BEAT), 0);
    ASSERT_EQ(OS_RegFunction(ReqDeviceLogin, OP_REQ_DEVICE_LOGIN), 0);
    ASSERT_EQ(OS_RegFunction(ReqShutDownSystem, OP_REQ_SHUT_DOWN_SYSTEM), 0);
    std::string error;
    ASSERT_TRUE(m_tray.Start("127.0.0.1", 0, &error)) << error;
    TrayAskOptions o;
    o.port = m_tray.Port();
    o.recvTimeoutMs = 3000;
    SetTrayAskOptions(o);
    g_now = 1700000000;
    SetDeviceClock(FakeNow);
    {
      std::lock_guard<std::mutex> lock(g_MutexLastHBTime);
      g_LastHBTime.clear();
      g_LastHBEpoch = 0;
    }
  }
  void TearDown() override {
    EXPECT_TRUE(apptest::WaitFor([] { return DeviceLoginsPending() == 0; }, 10000));
    m_tray.Stop();
    SetTrayAskOptions(TrayAskOptions{});
    SetDeviceClock(nullptr);
    OS_ClearRegistry();
    g_DB.CloseFile();
    g_Log.Close();
  }

  std::string Log() const { return m_dir.Read("Log.txt"); }

  // The result a direct login call answered, checking the reply's other fields.
  int Login(const std::string& body, uint8_t direct = 1) {
    Call c = Invoke(ReqDeviceLogin, body, OP_REQ_DEVICE_LOGIN, 99, direct);
    EXPECT_EQ(c.rc, 0);
    if (c.reply.size() != kDeviceLoginReplySize) {
      ADD_FAILURE() << "reply of " << c.reply.size() << " bytes";
      return -1;
    }
    EXPECT_EQ(U16(c.reply, 0), 12);
    EXPECT_EQ(U16(c.reply, 2), OP_REQ_DEVICE_LOGIN);
    EXPECT_EQ(U32(c.reply, 4), 0u);  // the request's number is not echoed
    EXPECT_EQ(U16(c.reply, 10), 0);
    return U16(c.reply, 8);
  }

  support::TempDir m_dir;
  traylistener::TrayListener m_tray;
};

// ---- Heartbeat.

TEST_F(DeviceRequestsTest, HeartBeatIsAnsweredAndRecordsItsTime) {
  Call c = Invoke(ReqDeviceHeartBeat, std::string(1, '\x01'), OP_REQ_DEVICE_HEART_BEAT, 0x01020304);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.reply, std::string("\x00\x0C\x88\x88\x01\x02\x03\x04\x00\x00\x00\x06", 12));
  {
    std::lock_guard<std::mutex> lock(g_MutexLastHBTime);
    EXPECT_EQ(g_LastHBTime, TimeToStr(g_now));
    EXPECT_EQ(g_LastHBEpoch, g_now);
  }

  // A LAN heartbeat without body gets nothing and leaves the time; the connection goes on.
  g_now += 30;
  apptest::ServerRunner server;
  support::MsgClient c2 = server.Connect();
  ASSERT_TRUE(c2.Send(OP_REQ_DEVICE_HEART_BEAT, 1));
  ASSERT_TRUE(c2.Send(OP_REQ_DEVICE_HEART_BEAT, 2, "x"));
  auto m = c2.Recv();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->head.seq, 2u);
  EXPECT_EQ(m->body, std::string("\x00\x00\x00\x06", 4));
  std::lock_guard<std::mutex> lock(g_MutexLastHBTime);
  EXPECT_EQ(g_LastHBEpoch, g_now);
  EXPECT_NE(Log().find("Input msg buffer pointer is null."), std::string::npos);
}

// ---- Login.

TEST_F(DeviceRequestsTest, OwnAccountIsAdmittedWithoutAskingTheTray) {
  StoreAccount(kEmail, Hash("secret"));
  EXPECT_EQ(Login(LoginRecord(kEmail, Hash("secret"))), 0);
  // Relayed: the record behind the relay prefix.
  EXPECT_EQ(Login(Relayed("dev-1", OP_REQ_DEVICE_LOGIN, 5, LoginRecord(kEmail, Hash("secret"))), 0),
            0);
  EXPECT_TRUE(m_tray.Questions().empty());
}

TEST_F(DeviceRequestsTest, TrayVerdictsDecideEveryOtherLogin) {
  StoreAccount(kEmail, Hash("secret"));
  struct Case {
    const char* what;
    std::string record;
    Answer answer;
    int result;
  };
  const std::vector<Case> cases = {
      {"admitted", LoginRecord("guest@example.com", "x"), Answer::Admit(), 0},
      {"refused", LoginRecord("guest@example.com", "x"), Answer::Refuse(), 1},
      {"a large verdict is no admission", LoginRecord(kEmail, "wrong"),
       Answer{AnswerKind::Verdict, 0x10000, 0}, 1},
      {"closed without verdict", LoginRecord("", ""), Answer::Of(AnswerKind::Close), 1},
      {"length 16", LoginRecord("a", "b"), Answer::Of(AnswerKind::WrongLength), 1},
      {"other opcode", LoginRecord("a", "b"), Answer::Of(AnswerKind::WrongOpcode), 1},
      {"6 bytes", LoginRecord("a", "b"), Answer::Of(AnswerKind::Short), 1},
      // The right e-mail with the hash cut short is someone else.
      {"hash prefix", LoginRecord(kEmail, Hash("secret").substr(0, 10)), Answer::Admit(), 0},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    m_tray.SetScript({c.answer}, Answer::Refuse());
    g_now = 1700000000 + static_cast<int64_t>(i);
    EXPECT_EQ(Login(c.record), c.result);
    ASSERT_TRUE(m_tray.WaitQuestions(i + 1, 2000));
    traylistener::Question q = m_tray.Questions()[i];
    EXPECT_EQ(q.length, kDeviceLoginAskSize);
    EXPECT_EQ(q.opcode, OP_SHOW_DEVICE_LOGIN);
    EXPECT_EQ(q.number, static_cast<uint32_t>(g_now));
    EXPECT_EQ(std::string(q.raw.begin() + 8, q.raw.end()), c.record);
  }
}

TEST_F(DeviceRequestsTest, EmptyStoredAccountAsksForEveryLogin) {
  // No account stored: an empty record must not match the empty account.
  m_tray.SetScript({}, Answer::Refuse());
  EXPECT_EQ(Login(LoginRecord("", "")), 1);
  EXPECT_EQ(Login(LoginRecord(kEmail, Hash("secret"))), 1);
  EXPECT_TRUE(m_tray.WaitQuestions(2, 2000));
}

TEST_F(DeviceRequestsTest, SilenceAndAMissingListenerRefuse) {
  TrayAskOptions o = GetTrayAskOptions();
  o.recvTimeoutMs = 200;
  SetTrayAskOptions(o);
  m_tray.SetScript({}, Answer::Of(AnswerKind::Silent));
  auto start = Clock::now();
  EXPECT_EQ(Login(LoginRecord("guest@example.com", "x")), 1);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));

  // Nobody listening.
  m_tray.Stop();
  o.port = m_tray.Port();
  SetTrayAskOptions(o);
  EXPECT_EQ(Login(LoginRecord("guest@example.com", "x")), 1);
}

TEST_F(DeviceRequestsTest, ShortRecordsAreRefusedWithoutAsking) {
  StoreAccount(kEmail, Hash("secret"));
  // The own account in a record one byte short is still refused: nothing past the body is read.
  std::string own = LoginRecord(kEmail, Hash("secret"));
  EXPECT_EQ(Login(own.substr(0, 255)), 1);
  EXPECT_EQ(Login(own.substr(0, 1)), 1);
  EXPECT_EQ(Login(Relayed("dev", OP_REQ_DEVICE_LOGIN, 1, own.substr(0, 255)), 0), 1);
  EXPECT_EQ(Login(std::string(40, 'r'), 0), 1);  // not even the relay prefix
  // No body: no answer.
  Call none = Invoke(ReqDeviceLogin, "", OP_REQ_DEVICE_LOGIN, 1);
  EXPECT_EQ(none.rc, -1);
  EXPECT_TRUE(none.reply.empty());
  EXPECT_TRUE(m_tray.Questions().empty());
}

TEST_F(DeviceRequestsTest, PendingLanLoginHoldsOnlyItsOwnConnection) {
  TrayAskOptions o = GetTrayAskOptions();
  o.recvTimeoutMs = 1500;
  SetTrayAskOptions(o);
  m_tray.SetScript({Answer::Of(AnswerKind::Silent)}, Answer::Admit());
  apptest::ServerRunner server;
  support::MsgClient a = server.Connect();
  // The login and a heartbeat behind it, in one write.
  ASSERT_TRUE(a.SendRaw(support::MsgClient::Frame(OP_REQ_DEVICE_LOGIN, 7, LoginRecord("g", "x")) +
                        support::MsgClient::Frame(OP_REQ_DEVICE_HEART_BEAT, 8, "x")));
  ASSERT_TRUE(m_tray.WaitQuestions(1, 2000));

  // While the tray is silent, other connections are served, logins included.
  auto start = Clock::now();
  support::MsgClient b = server.Connect();
  ASSERT_TRUE(b.Send(OP_REQ_DEVICE_HEART_BEAT, 1, "x"));
  auto beat = b.Recv(1000);
  ASSERT_TRUE(beat);
  EXPECT_EQ(beat->head.opcode, OP_REQ_DEVICE_HEART_BEAT);
  ASSERT_TRUE(b.Send(OP_REQ_DEVICE_LOGIN, 2, LoginRecord("h", "y")));
  auto admitted = b.Recv(1000);
  ASSERT_TRUE(admitted);
  EXPECT_EQ(U16(admitted->body, 0), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));

  // The silent question's connection gets its refusal first, then the heartbeat's answer.
  auto refused = a.Recv(5000);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->head.opcode, OP_REQ_DEVICE_LOGIN);
  EXPECT_EQ(refused->head.seq, 0u);
  EXPECT_EQ(refused->body, std::string("\x00\x01\x00\x00", 4));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));
  auto after = a.Recv();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->head.opcode, OP_REQ_DEVICE_HEART_BEAT);
  EXPECT_EQ(after->head.seq, 8u);
}

TEST_F(DeviceRequestsTest, DeviceThatLeavesDuringTheQuestionLeavesNothingBehind) {
  m_tray.SetScript({Answer{AnswerKind::Verdict, 0, 300}}, Answer::Admit());
  apptest::ServerRunner server;
  {
    support::MsgClient a = server.Connect();
    ASSERT_TRUE(a.Send(OP_REQ_DEVICE_LOGIN, 1, LoginRecord("g", "x")));
    ASSERT_TRUE(m_tray.WaitQuestions(1, 2000));
    a.Reset();
  }
  ASSERT_TRUE(apptest::WaitFor([] { return DeviceLoginsPending() == 0; }, 5000));
  support::MsgClient b = server.Connect();
  ASSERT_TRUE(b.Send(OP_REQ_DEVICE_LOGIN, 2, LoginRecord("h", "y")));
  auto r = b.Recv();
  ASSERT_TRUE(r);
  EXPECT_EQ(U16(r->body, 0), 0);
}

// Through tirvan-central's relay: the record behind the relay prefix, the reply back as a
// RelayReply.
TEST_F(DeviceRequestsTest, RelayedLoginIsDecidedAndAnsweredThroughTheRelay) {
  const std::string hash = Hash("secret");
  Central central(m_dir, {{kEmail, hash}});
  StoreAccount(kEmail, hash);
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

  m_tray.SetScript({Answer::Admit(), Answer::Refuse()}, Answer::Refuse());
  std::string stranger = LoginRecord("guest@example.com", "x", "far phone", "4G");
  for (uint16_t expected : {0, 1}) {
    ASSERT_TRUE(dev.Send(OP_REQ_DEVICE_LOGIN, 3,
                         reinterpret_cast<const uint8_t*>(stranger.data()), stranger.size()));
    auto m = dev.Recv(5000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->head.length, 12);
    EXPECT_EQ(m->head.opcode, OP_REQ_DEVICE_LOGIN);
    EXPECT_EQ(m->head.seq, 0u);
    ASSERT_EQ(m->body.size(), 4u);
    EXPECT_EQ(wire::GetU16(m->body.data()), expected);
  }
  ASSERT_EQ(m_tray.Questions().size(), 2u);
  EXPECT_EQ(m_tray.Questions()[0].name, "far phone");
  EXPECT_EQ(m_tray.Questions()[0].network, "4G");

  std::string own = LoginRecord(kEmail, hash);
  ASSERT_TRUE(dev.Send(OP_REQ_DEVICE_LOGIN, 4, reinterpret_cast<const uint8_t*>(own.data()),
                       own.size()));
  auto m = dev.Recv(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(wire::GetU16(m->body.data()), 0);
  EXPECT_EQ(m_tray.Questions().size(), 2u);

  OS_SetStopFlag();
  relay.join();
  OS_ClearStopFlag();
}

// ---- Shutdown.

// Records what would run, and what the service looked like at that moment.
class FakePower : public platform::CommandRunner {
 public:
  bool CanRun(const std::vector<std::string>&, std::string* error) override {
    if (!canRun) *error = "not found";
    return canRun;
  }
  int Run(const std::vector<std::string>& argv, std::string* error) override {
    ran = argv;
    stopFlagAtRun = g_StopFlag.load();
    loggedOnAtRun = central != nullptr && central->LoggedOn();
    ++runs;
    if (result != 0) *error = "exited with status 1";
    return result;
  }
  bool canRun = true;
  int result = 0;
  Central* central = nullptr;
  std::vector<std::string> ran;
  int runs = 0;
  uint8_t stopFlagAtRun = 0;
  bool loggedOnAtRun = true;
};

class ShutDownTest : public DeviceRequestsTest {
 protected:
  void SetUp() override {
    DeviceRequestsTest::SetUp();
    platform::SetCommandRunner(&m_power);
    platform::SetPowerOffCommand({"shutdown", "-h", "now"});
    m_central = std::make_unique<Central>(m_dir, std::vector<std::pair<std::string, std::string>>{
                                                     {kEmail, Hash("secret")}});
    m_power.central = m_central.get();
    StoreAccount(kEmail, Hash("secret"));
    OS_ClearStopFlag();
    g_LogOnRtn = LogOn();
    ASSERT_EQ(g_LogOnRtn.load(), 0);
    ASSERT_TRUE(m_central->LoggedOn());
  }
  void TearDown() override {
    m_central.reset();
    platform::SetCommandRunner(nullptr);
    platform::SetPowerOffCommand({});
    OS_ClearStopFlag();
    DeviceRequestsTest::TearDown();
  }

  FakePower m_power;
  std::unique_ptr<Central> m_central;
};

TEST_F(ShutDownTest, LogsOutAndStopsBeforeThePowerOffCommandRuns) {
  Call c = Invoke(ReqShutDownSystem, "x", OP_REQ_SHUT_DOWN_SYSTEM, 1);
  EXPECT_EQ(c.rc, 0);
  EXPECT_TRUE(c.reply.empty());
  EXPECT_EQ(m_power.ran, (std::vector<std::string>{"shutdown", "-h", "now"}));
  EXPECT_NE(m_power.stopFlagAtRun, 0);
  EXPECT_FALSE(m_power.loggedOnAtRun);
  EXPECT_NE(g_StopFlag.load(), 0);
}

TEST_F(ShutDownTest, FailedPowerOffLeavesTheServiceRunningAndLoggedOn) {
  m_power.result = -1;
  EXPECT_EQ(Invoke(ReqShutDownSystem, "x", OP_REQ_SHUT_DOWN_SYSTEM, 1).rc, -1);
  EXPECT_EQ(m_power.runs, 1);
  EXPECT_NE(m_power.stopFlagAtRun, 0);
  EXPECT_EQ(g_StopFlag.load(), 0);
  EXPECT_EQ(g_LogOnRtn.load(), 0);
  EXPECT_TRUE(m_central->LoggedOn());
  EXPECT_NE(Log().find("shutdown error."), std::string::npos);

  // A command that cannot run at all changes nothing.
  m_power.canRun = false;
  EXPECT_EQ(Invoke(ReqShutDownSystem, "x", OP_REQ_SHUT_DOWN_SYSTEM, 1).rc, -1);
  EXPECT_EQ(m_power.runs, 1);
  EXPECT_EQ(g_StopFlag.load(), 0);
  EXPECT_TRUE(m_central->LoggedOn());

  // Without body nothing happens.
  m_power.canRun = true;
  EXPECT_EQ(Invoke(ReqShutDownSystem, "", OP_REQ_SHUT_DOWN_SYSTEM, 1).rc, -1);
  EXPECT_EQ(m_power.runs, 1);
}

TEST_F(ShutDownTest, LanRequestRunsTheCommandWithoutAnswer) {
  apptest::ServerRunner server;
  support::MsgClient c = server.Connect();
  ASSERT_TRUE(c.Send(OP_REQ_SHUT_DOWN_SYSTEM, 1, std::string(1, '\0')));
  ASSERT_TRUE(c.Send(OP_REQ_DEVICE_HEART_BEAT, 2, "x"));
  auto m = c.Recv();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->head.opcode, OP_REQ_DEVICE_HEART_BEAT);  // the shutdown answered nothing
  EXPECT_EQ(m_power.runs, 1);
  EXPECT_FALSE(m_power.loggedOnAtRun);
}

}  // namespace
