#include "comm/off_thread_reply.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "comm/dispatch.h"
#include "comm/errors.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"

namespace {

using support::Message;
using support::MsgClient;

constexpr uint16_t kEcho = 0x0101;  // answers at once with what it received
constexpr uint16_t kHeld = 0x0102;  // answers off the thread, once the test lets it go

// The held jobs wait here until the test opens the gate.
std::mutex g_gateMutex;
std::condition_variable g_gateCond;
bool g_gateOpen = false;
int g_jobsStarted = 0;

int g_closes = 0;

void CountClose(bufferevent*, uint64_t) {
  std::lock_guard<std::mutex> lock(g_gateMutex);
  ++g_closes;
  g_gateCond.notify_all();
}

bool WaitCloses(int n) {
  std::unique_lock<std::mutex> lock(g_gateMutex);
  return g_gateCond.wait_for(lock, std::chrono::seconds(10), [n] { return g_closes >= n; });
}

void OpenGate() {
  std::lock_guard<std::mutex> lock(g_gateMutex);
  g_gateOpen = true;
  g_gateCond.notify_all();
}

bool WaitJobsStarted(int n) {
  std::unique_lock<std::mutex> lock(g_gateMutex);
  return g_gateCond.wait_for(lock, std::chrono::seconds(10), [n] { return g_jobsStarted >= n; });
}

int Echo(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
         uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  std::string frame = MsgClient::Frame(head->opcode, head->seq,
                                       std::string(reinterpret_cast<const char*>(body), bodyLen));
  *reply = AllocReply(frame.size());
  std::memcpy(*reply, frame.data(), frame.size());
  *replyLen = static_cast<int32_t>(frame.size());
  return 0;
}

int Held(const uint8_t*, uint32_t, const MsgHead* head, bufferevent* conn, uint8_t**, int32_t*,
         int32_t*, uint8_t*) {
  const uint32_t seq = head->seq;
  bool queued = OS_ReplyOffThread(conn, [seq] {
    std::unique_lock<std::mutex> lock(g_gateMutex);
    ++g_jobsStarted;
    g_gateCond.notify_all();
    g_gateCond.wait(lock, [] { return g_gateOpen; });
    return MsgClient::Frame(kHeld, seq, "made off the thread");
  });
  return queued ? 0 : -1;
}

class OffThreadReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(g_gateMutex);
      g_gateOpen = false;
      g_jobsStarted = 0;
      g_closes = 0;
    }
    OS_SetConnCloseHook(CountClose);
    OS_ClearRegistry();
    ASSERT_EQ(OS_RegFunction(Echo, kEcho), ERR_OK);
    ASSERT_EQ(OS_RegFunction(Held, kHeld), ERR_OK);
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    g_LocalPort = 0;
    OS_ResetLocalServerState();
    m_server = std::thread(OS_RunEvent, nullptr);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (OS_LocalServerState() == LocalServerState::Pending &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(OS_LocalServerState(), LocalServerState::Running);
  }

  void TearDown() override {
    OpenGate();
    OS_StopLocalServer();
    if (m_server.joinable()) m_server.join();
    OS_SetConnCloseHook(nullptr);
    g_Log.Close();
    OS_ClearRegistry();
  }

  MsgClient Connect() {
    MsgClient c;
    EXPECT_TRUE(c.Connect(g_LocalPort.load()));
    return c;
  }

  support::TempDir m_dir;
  std::thread m_server;
};

TEST_F(OffThreadReplyTest, OtherConnectionsAreServedWhileTheAnswerIsMadeAndItKeepsItsOrder) {
  MsgClient c = Connect();
  ASSERT_TRUE(c.SendRaw(MsgClient::Frame(kHeld, 1) + MsgClient::Frame(kEcho, 2, "after")));
  ASSERT_TRUE(WaitJobsStarted(1));
  // The job holds a worker; another connection is answered meanwhile.
  MsgClient other = Connect();
  ASSERT_TRUE(other.Send(kEcho, 7, "meanwhile"));
  std::optional<Message> m = other.Recv();
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->body, "meanwhile");
  OpenGate();
  // The held answer comes first on its connection, then the request that waited for it.
  std::optional<Message> first = c.Recv();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->head.opcode, kHeld);
  EXPECT_EQ(first->head.seq, 1u);
  EXPECT_EQ(first->body, "made off the thread");
  std::optional<Message> second = c.Recv();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->head.seq, 2u);
  EXPECT_EQ(second->body, "after");
}

TEST_F(OffThreadReplyTest, AConnectionThatClosesFirstLosesOnlyItsAnswer) {
  {
    MsgClient c = Connect();
    ASSERT_TRUE(c.Send(kHeld, 1));
    ASSERT_TRUE(WaitJobsStarted(1));
    c.Reset();
  }
  // The work finishes after its connection has gone (a waiting connection is not read,
  // so its end is seen once the answer is there); the connection then closes, the server
  // goes on serving, and a later held answer on another connection arrives whole.
  OpenGate();
  ASSERT_TRUE(WaitCloses(1));
  MsgClient d = Connect();
  ASSERT_TRUE(d.Send(kHeld, 5));
  std::optional<Message> m = d.Recv();
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->head.seq, 5u);
  EXPECT_EQ(m->body, "made off the thread");
}

TEST_F(OffThreadReplyTest, RefusesWhatIsNoLocalConnection) {
  EXPECT_FALSE(OS_ReplyOffThread(nullptr, [] { return std::string("x"); }));
}

}  // namespace
