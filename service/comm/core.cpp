#include "comm/core.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <type_traits>

#include "comm/errors.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "platform/thread.h"

// Work items still run while the process ends: the locks must outlive every static
// destructor. A trivially destructible mutex has no destructor that could run.
static_assert(std::is_trivially_destructible_v<std::mutex>,
              "the process-wide locks must survive static destruction");

std::atomic<uint8_t> g_StopFlag{0};

std::mutex g_MutexLogOnRtn;
std::atomic<int> g_LogOnRtn{0};
std::mutex g_MutexDownLoadCount;
std::mutex g_MutexLastHBTime;
std::mutex g_MutexUserInfo;
std::mutex g_StopDownLoadMutex;

namespace {

// A sleeper also wakes this often to look at the flag, for writers that store to
// g_StopFlag directly instead of calling OS_SetStopFlag.
constexpr auto kStopPollSlice = std::chrono::milliseconds(50);

struct StopWaker {
  std::mutex mutex;
  std::condition_variable cond;
};

// Never destroyed, like the locks: sleepers may still wait in it at exit.
StopWaker& Waker() {
  static auto* waker = new StopWaker;
  return *waker;
}

const char* const kLockErrors[] = {
    "Init g_MutexLogOnRtn error.",     "Init g_MutexDownLoadCount error.",
    "Init g_MutexLastHBTime error.",   "Init user info mutex error.",
    "Init g_StopDownLoadMutex error.",
};

}  // namespace

void OS_SetStopFlag() {
  StopWaker& w = Waker();
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    g_StopFlag = 1;
  }
  w.cond.notify_all();
}

void OS_ClearStopFlag() { g_StopFlag = 0; }

bool SleepUnlessStopped(unsigned ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  StopWaker& w = Waker();
  std::unique_lock<std::mutex> lock(w.mutex);
  for (;;) {
    if (g_StopFlag.load() != 0) return false;
    auto now = Clock::now();
    if (now >= deadline) return true;
    w.cond.wait_until(lock, std::min(deadline, now + kStopPollSlice));
  }
}

int OS_Init(const OsInitOptions& options) {
  ThreadPool* pool = options.createPool ? options.createPool(options.poolMaximum)
                                        : ThreadPool_Create(options.poolMaximum);
  if (pool == nullptr) return ERR_POOL_CREATE;
  g_ThreadPool = pool;

  // The locks exist for the whole process and cannot fail to; only a test makes one fail.
  for (int i = 1; i <= 5; ++i) {
    if (options.failLock == i) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "%s", kLockErrors[i - 1]);
      return ERR_MUTEX_CREATE;
    }
  }

  // The server reports its own outcome; a state left from an earlier server does not count.
  OS_ResetLocalServerState();
  ThreadPoolFn item = options.serverItem != nullptr ? options.serverItem : OS_RunEvent;
  int added = options.addWork ? options.addWork(g_ThreadPool, item, nullptr)
                              : ThreadPool_Add(g_ThreadPool, item, nullptr);
  if (added != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "Init communication server error.");
    return ERR_LOCAL_SERVER;
  }

  // The server reports its outcome. A server thread that has not run yet (a loaded
  // machine, a busy boot) is no failure, so past the usual wait a missing outcome is
  // waited for up to pendingGraceMs more.
  const uint64_t usual = static_cast<uint64_t>(std::max(options.portWaitTries, 0)) *
                         options.portWaitMs;
  const uint64_t longest = usual + options.pendingGraceMs;
  for (uint64_t waited = 0; waited < longest;) {
    platform::SleepMs(options.portWaitMs);
    waited += std::max(options.portWaitMs, 1u);
    LocalServerState state = OS_LocalServerState();
    if (state == LocalServerState::Running) return ERR_OK;
    if (state == LocalServerState::Failed) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "the local server cannot listen on port %d.",
           g_LocalPort.load());
      break;
    }
  }
  TLOG(MOD_COMMLIB, LOG_ERROR, "get local bind port error.");
  return ERR_LOCAL_PORT;
}

int OS_Exit() {
  OS_SetStopFlag();
  return 0;
}
