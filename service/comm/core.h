// Start-up and shutdown of the communication core: the thread pool, the process-wide
// locks of the shared state, the local TCP server, and the stop flag every long-running
// work item watches.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "comm/thread_pool.h"

// Non-zero while the service stops. Set it with OS_SetStopFlag, which also wakes every
// SleepUnlessStopped; a plain store is seen by sleepers within their polling slice.
extern std::atomic<uint8_t> g_StopFlag;

// The locks of the shared state. They are never destroyed (std::mutex is constant-
// initialised and has nothing to release), so a work item that still runs while the
// process ends never takes a dead lock. Each guards one item:
extern std::mutex g_MutexLogOnRtn;       // the result of the last logon

// Result of the latest logon: 0 logged on (also before the first logon has answered),
// 4122 server unreachable, 4127 no account stored, otherwise the server's result code.
// Written by the start-up, the heartbeat and the tray program's logon and logout; it
// gates the relay connection and the P2P messages.
extern std::atomic<int> g_LogOnRtn;
extern std::mutex g_MutexDownLoadCount;  // the number of running downloads
extern std::mutex g_MutexLastHBTime;     // the time of the last device heartbeat
extern std::mutex g_MutexUserInfo;       // the transfer table
extern std::mutex g_StopDownLoadMutex;   // the downloads asked to stop

// Raises g_StopFlag and wakes every SleepUnlessStopped at once.
void OS_SetStopFlag();
// Clears g_StopFlag (the service's start-up does this first).
void OS_ClearStopFlag();

// Sleeps ms milliseconds or until the stop flag is raised. True when the whole time
// passed with the flag clear, false when the flag is (or becomes) set.
bool SleepUnlessStopped(unsigned ms);

// What OS_Init does, with the service's values by default. Tests replace the parts.
struct OsInitOptions {
  int poolMaximum = ThreadPool::kDefaultMaximum;
  // How often and how long to wait for the local server's outcome.
  int portWaitTries = 20;
  unsigned portWaitMs = 10;
  // Past that, how much longer to wait while the server has reported nothing yet.
  unsigned pendingGraceMs = 5000;
  // Test hooks: the pool's creator (empty: ThreadPool_Create), the queueing of the
  // local server (empty: ThreadPool_Add), the server's work item (null: OS_RunEvent),
  // and the number (1 to 5) of a lock whose creation is to count as failed.
  std::function<ThreadPool*(int maximum)> createPool;
  std::function<int(ThreadPool* pool, ThreadPoolFn fn, void* arg)> addWork;
  ThreadPoolFn serverItem = nullptr;
  int failLock = 0;
};

// Brings the core up: the pool into g_ThreadPool (ERR_POOL_CREATE), the locks
// (ERR_MUTEX_CREATE, only through failLock), the local server queued on the pool
// (ERR_LOCAL_SERVER), then a wait of portWaitTries x portWaitMs (plus pendingGraceMs
// while no outcome has come) for the server to report its outcome: 0 once it listens
// (g_LocalPort holds the port), ERR_LOCAL_PORT when it failed (the port is taken, for
// example) or did not report in time.
int OS_Init(const OsInitOptions& options = OsInitOptions{});

// Raises the stop flag. The locks stay, the pool and the local server are not stopped:
// the work items end at their next look at the flag and the process ends soon after.
// Returns 0.
int OS_Exit();
