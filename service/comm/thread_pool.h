// The service's one thread pool. Finished threads are parked for reuse (the one parked
// last is reused first), new threads start on demand, and an adder waits once when the
// maximum number of threads is alive and none is parked. Threads are detached: nothing is
// ever joined, and the pool is never freed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// An auto-reset event: Set leaves it signalled until one Wait consumes the signal.
class AutoResetEvent {
 public:
  void Set();
  void Wait();

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_signalled = false;
};

using ThreadPoolFn = void (*)(void* arg);

struct ThreadPool;

// One per thread: allocated by the adder that starts the thread, freed by the thread when
// it ends.
struct ThreadPoolWorker {
  std::atomic<uint32_t> threadId{0};  // written by the thread itself
  std::mutex mutex;                   // orders the hand-over of an item with the wake-up
  AutoResetEvent wake;                // set by the adder that hands this parked worker an item
  ThreadPoolFn fn = nullptr;
  void* arg = nullptr;
  ThreadPool* pool = nullptr;
};

struct ThreadPool {
  static constexpr int kDefaultMaximum = 50;
  static constexpr int kIdleSlots = 200;

  std::mutex mutex;        // guards the idle stack and the counts
  AutoResetEvent idleEvent;  // set each time a worker parks
  ThreadPoolWorker* idle[kIdleSlots] = {};  // parked workers; the top is the last parked
  int idleCount = 0;       // never above maximum
  int maximum = kDefaultMaximum;  // most parked workers; adders wait from this many live threads
  int liveCount = 0;       // worker threads alive
};

extern ThreadPool* g_ThreadPool;

// A new pool for at most maximum parked workers (clamped to 1..kIdleSlots). null, after a
// message on standard error, when it cannot be allocated.
ThreadPool* ThreadPool_Create(int maximum = ThreadPool::kDefaultMaximum);
// Hands fn(arg) to the worker parked last or to a new thread. 0, or -1 when a new thread
// was needed and could not be started (fn is then not run), or for a null pool or fn.
int ThreadPool_Add(ThreadPool* pool, ThreadPoolFn fn, void* arg);
// The body of every pool thread; arg is its ThreadPoolWorker.
void* ThreadPool_Worker(void* arg);
// Releases the pool mutex (held by the caller), waits for event, takes the mutex again.
// Returns 0.
int ThreadPool_WaitEvent(ThreadPool* pool, AutoResetEvent* event);

// Snapshots of the counts, taken under the pool mutex.
int ThreadPool_LiveCount(ThreadPool* pool);
int ThreadPool_IdleCount(ThreadPool* pool);
