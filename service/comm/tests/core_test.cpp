// The core's start-up and shutdown: OS_Init's codes with the real local server and with
// injected failures, the stop flag and the stop-aware sleep.
#include "comm/core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "comm/dispatch.h"
#include "comm/errors.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "support/fake_server.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

using support::PortHolder;

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    OS_ClearStopFlag();
    g_LocalPort = 0;
  }

  void TearDown() override {
    // Ends a server that OS_Init started, so the next test (in the same process) starts
    // its own.
    if (OS_LocalServerState() == LocalServerState::Running) {
      OS_StopLocalServer();
      for (int i = 0; i < 500 && OS_LocalServerState() == LocalServerState::Running; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    OS_ClearStopFlag();
    g_Log.Close();
  }

  std::string Log() const { return m_dir.Read("Log.txt"); }
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }

  support::TempDir m_dir;
};

TEST_F(CoreTest, EphemeralPortIsBoundAndServed) {
  // The wait ends once the server is listening, far before its ten seconds.
  OsInitOptions o;
  o.portWaitTries = 1000;
  auto start = Clock::now();
  ASSERT_EQ(OS_Init(o), ERR_OK) << Log();
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_NE(g_ThreadPool, nullptr);
  ASSERT_EQ(OS_LocalServerState(), LocalServerState::Running);
  ASSERT_NE(g_LocalPort.load(), 0);

  // The port is the server's: an unregistered opcode closes the connection unanswered.
  support::MsgClient client;
  ASSERT_TRUE(client.Connect(g_LocalPort.load()));
  ASSERT_TRUE(client.Send(0x0777, 1));
  EXPECT_TRUE(client.WaitPeerClose());
  EXPECT_FALSE(Logged("get local bind port error."));
}

TEST_F(CoreTest, TakenPortFailsWithLocalPortError) {
  PortHolder holder;
  ASSERT_NE(holder.port(), 0);
  g_LocalPort = holder.port();
  // The server's failure ends the wait, far before its ten seconds.
  OsInitOptions o;
  o.portWaitTries = 1000;
  auto start = Clock::now();
  EXPECT_EQ(OS_Init(o), ERR_LOCAL_PORT);
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_EQ(OS_LocalServerState(), LocalServerState::Failed);
  EXPECT_TRUE(Logged("Couldn't create listener.")) << Log();
  EXPECT_TRUE(Logged("the local server cannot listen on port " + std::to_string(holder.port())));
  EXPECT_TRUE(Logged("get local bind port error."));
}

TEST_F(CoreTest, ServerThatNeverReportsTimesOutWithLocalPortError) {
  OsInitOptions o;
  o.serverItem = [](void*) {};  // ends without a listener and without an outcome
  o.portWaitTries = 5;
  o.portWaitMs = 4;
  o.pendingGraceMs = 40;
  auto start = Clock::now();
  EXPECT_EQ(OS_Init(o), ERR_LOCAL_PORT);
  EXPECT_GE(MsSince(start), 60);  // the usual wait and the grace for a missing outcome
  EXPECT_TRUE(Logged("get local bind port error."));
}

TEST_F(CoreTest, PoolFailureIsReportedWithoutALogLine) {
  ThreadPool* before = g_ThreadPool;
  OsInitOptions o;
  o.createPool = [](int) -> ThreadPool* { return nullptr; };
  EXPECT_EQ(OS_Init(o), ERR_POOL_CREATE);
  EXPECT_EQ(g_ThreadPool, before);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(OS_LocalServerState(), LocalServerState::Pending);  // no server was queued
}

TEST_F(CoreTest, LockFailureNamesTheLock) {
  const char* const messages[] = {"Init g_MutexLogOnRtn error.", "Init g_MutexDownLoadCount error.",
                                  "Init g_MutexLastHBTime error.", "Init user info mutex error.",
                                  "Init g_StopDownLoadMutex error."};
  for (int i = 1; i <= 5; ++i) {
    SCOPED_TRACE(i);
    OsInitOptions o;
    o.failLock = i;
    static ThreadPool pool;  // one pool for every round, so none is left behind
    o.createPool = [](int) { return &pool; };
    int queued = 0;
    o.addWork = [&](ThreadPool*, ThreadPoolFn, void*) { return ++queued, 0; };
    EXPECT_EQ(OS_Init(o), ERR_MUTEX_CREATE);
    EXPECT_TRUE(Logged(messages[i - 1]));
    EXPECT_EQ(queued, 0);
  }
}

TEST_F(CoreTest, QueueFailureOfTheServer) {
  OsInitOptions o;
  ThreadPoolFn queuedFn = nullptr;
  o.addWork = [&](ThreadPool* pool, ThreadPoolFn fn, void*) {
    EXPECT_EQ(pool, g_ThreadPool);
    queuedFn = fn;
    return -1;
  };
  EXPECT_EQ(OS_Init(o), ERR_LOCAL_SERVER);
  EXPECT_EQ(queuedFn, &OS_RunEvent);
  EXPECT_TRUE(Logged("Init communication server error."));
  EXPECT_FALSE(Logged("get local bind port error."));
}

TEST_F(CoreTest, ExitRaisesTheFlagAndTheLocksStayUsable) {
  EXPECT_EQ(OS_Exit(), 0);
  EXPECT_NE(g_StopFlag.load(), 0);
  for (std::mutex* m : {&g_MutexUserInfo, &g_StopDownLoadMutex, &g_MutexLogOnRtn,
                        &g_MutexDownLoadCount, &g_MutexLastHBTime}) {
    std::lock_guard<std::mutex> lock(*m);
  }
  // A sleep that starts after the stop returns at once.
  auto start = Clock::now();
  EXPECT_FALSE(SleepUnlessStopped(10000));
  EXPECT_LT(MsSince(start), 5000);
}

TEST_F(CoreTest, SleepRunsItsTimeWhileTheFlagIsClear) {
  auto start = Clock::now();
  EXPECT_TRUE(SleepUnlessStopped(120));
  EXPECT_GE(MsSince(start), 120);
  EXPECT_TRUE(SleepUnlessStopped(0));
}

TEST_F(CoreTest, SleepersWakeWhenTheServiceStops) {
  // Through OS_Exit, and through a plain store as a device's shutdown request may make.
  for (bool plainStore : {false, true}) {
    SCOPED_TRACE(plainStore);
    OS_ClearStopFlag();
    bool slept[2] = {true, true};
    std::thread a([&] { slept[0] = SleepUnlessStopped(20000); });
    std::thread b([&] { slept[1] = SleepUnlessStopped(20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    auto start = Clock::now();
    if (plainStore) g_StopFlag = 1;
    else OS_Exit();
    a.join();
    b.join();
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_FALSE(slept[0]);
    EXPECT_FALSE(slept[1]);
  }
}

}  // namespace
