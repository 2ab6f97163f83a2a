#include "comm/thread_pool.h"

#include <cstdio>
#include <new>

#include <pthread.h>

#include "platform/thread.h"

ThreadPool* g_ThreadPool = nullptr;

void AutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = true;
  }
  m_cond.notify_one();
}

void AutoResetEvent::Wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cond.wait(lock, [this] { return m_signalled; });
  m_signalled = false;
}

ThreadPool* ThreadPool_Create(int maximum) {
  auto* pool = new (std::nothrow) ThreadPool;
  if (pool == nullptr) {
    std::fprintf(stderr, "Out of memory creating a new threadpool!\n");
    return nullptr;
  }
  if (maximum < 1) maximum = 1;
  if (maximum > ThreadPool::kIdleSlots) maximum = ThreadPool::kIdleSlots;
  pool->maximum = maximum;
  return pool;
}

int ThreadPool_WaitEvent(ThreadPool* pool, AutoResetEvent* event) {
  pool->mutex.unlock();
  event->Wait();
  pool->mutex.lock();
  return 0;
}

int ThreadPool_Add(ThreadPool* pool, ThreadPoolFn fn, void* arg) {
  if (pool == nullptr || fn == nullptr) return -1;
  pool->mutex.lock();
  if (pool->idleCount == 0 && pool->liveCount >= pool->maximum) {
    // Once only: an adder that still finds nobody parked starts a further thread.
    ThreadPool_WaitEvent(pool, &pool->idleEvent);
  }

  int result = 0;
  if (pool->idleCount > 0) {
    ThreadPoolWorker* worker = pool->idle[--pool->idleCount];
    pool->idle[pool->idleCount] = nullptr;
    worker->fn = fn;
    worker->arg = arg;
    worker->pool = pool;
    worker->mutex.lock();
    worker->wake.Set();
    worker->mutex.unlock();
  } else {
    auto* worker = new (std::nothrow) ThreadPoolWorker;
    result = -1;
    if (worker != nullptr) {
      worker->fn = fn;
      worker->arg = arg;
      worker->pool = pool;
      pthread_attr_t attr;
      pthread_t thread;
      int rc = ::pthread_attr_init(&attr);
      if (rc == 0) {
        ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        rc = ::pthread_create(&thread, &attr, ThreadPool_Worker, worker);
        ::pthread_attr_destroy(&attr);
      }
      if (rc == 0) {
        ++pool->liveCount;
        result = 0;
      } else {
        delete worker;
      }
    }
  }
  pool->mutex.unlock();
  return result;
}

void* ThreadPool_Worker(void* arg) {
  auto* worker = static_cast<ThreadPoolWorker*>(arg);
  worker->threadId = platform::CurrentThreadId();
  for (;;) {
    worker->fn(worker->arg);

    ThreadPool* pool = worker->pool;
    worker->mutex.lock();
    pool->mutex.lock();
    bool park = pool->idleCount < pool->maximum;
    if (park) {
      pool->idle[pool->idleCount++] = worker;
      pool->idleEvent.Set();
    }
    pool->mutex.unlock();

    if (!park) {
      worker->mutex.unlock();
      delete worker;
      pool->mutex.lock();
      --pool->liveCount;
      pool->mutex.unlock();
      return nullptr;
    }
    worker->mutex.unlock();
    worker->wake.Wait();
    // The adder holds the mutex until the hand-over is complete.
    worker->mutex.lock();
    worker->mutex.unlock();
  }
}

int ThreadPool_LiveCount(ThreadPool* pool) {
  std::lock_guard<std::mutex> lock(pool->mutex);
  return pool->liveCount;
}

int ThreadPool_IdleCount(ThreadPool* pool) {
  std::lock_guard<std::mutex> lock(pool->mutex);
  return pool->idleCount;
}
