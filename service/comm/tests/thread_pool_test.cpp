#include "comm/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "platform/thread.h"

namespace {

// A manual-reset gate: once opened it stays open.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_cond.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_open; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_open = false;
};

// A work item that reports its thread, then runs until released.
struct Job {
  Gate started;
  Gate release;
  std::atomic<uint32_t> tid{0};
};

void RunJob(void* arg) {
  auto* job = static_cast<Job*>(arg);
  job->tid = platform::CurrentThreadId();
  job->started.Open();
  job->release.Wait();
}

bool WaitUntil(const std::function<bool()>& pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool ThreadGone(uint32_t tid) {
  return ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0;
}

class ThreadPoolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Release everything and let every thread park or end before the jobs go away.
    for (Job& job : m_jobs) job.release.Open();
    for (ThreadPool* pool : m_pools) {
      EXPECT_TRUE(WaitUntil(
          [pool] { return ThreadPool_IdleCount(pool) == ThreadPool_LiveCount(pool); }));
    }
  }

  // Pools are never freed (parked threads keep using them); they stay reachable from here.
  ThreadPool* NewPool(int maximum) {
    static auto* all = new std::vector<ThreadPool*>;
    ThreadPool* pool = ThreadPool_Create(maximum);
    all->push_back(pool);
    m_pools.push_back(pool);
    return pool;
  }

  Job& StartJob(ThreadPool* pool) {
    Job& job = m_jobs.emplace_back();
    EXPECT_EQ(ThreadPool_Add(pool, RunJob, &job), 0);
    job.started.Wait();
    return job;
  }

  // Releases job and waits until its thread has parked (idle count reaches idleAfter).
  static void FinishAndPark(ThreadPool* pool, Job& job, int idleAfter) {
    job.release.Open();
    ASSERT_TRUE(WaitUntil([&] { return ThreadPool_IdleCount(pool) == idleAfter; }));
  }

  std::deque<Job> m_jobs;
  std::vector<ThreadPool*> m_pools;
};

TEST_F(ThreadPoolTest, CreateClampsTheMaximum) {
  EXPECT_EQ(NewPool(0)->maximum, 1);
  EXPECT_EQ(NewPool(1000)->maximum, ThreadPool::kIdleSlots);
  ThreadPool* pool = NewPool(ThreadPool::kDefaultMaximum);
  EXPECT_EQ(pool->maximum, 50);
  EXPECT_EQ(ThreadPool_LiveCount(pool), 0);
  EXPECT_EQ(ThreadPool_IdleCount(pool), 0);
}

TEST_F(ThreadPoolTest, AddBlocksWhileAllThreadsAreBusyUntilOneFinishes) {
  ThreadPool* pool = NewPool(2);
  Job& a = StartJob(pool);
  StartJob(pool);
  ASSERT_EQ(ThreadPool_LiveCount(pool), 2);

  Job& late = m_jobs.emplace_back();
  std::atomic<bool> returned{false};
  std::thread adder([&] {
    EXPECT_EQ(ThreadPool_Add(pool, RunJob, &late), 0);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned);

  // The first thread to finish parks and is handed the waiting item.
  a.release.Open();
  late.started.Wait();
  adder.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(late.tid.load(), a.tid.load());
  EXPECT_EQ(ThreadPool_LiveCount(pool), 2);
  EXPECT_EQ(ThreadPool_IdleCount(pool), 0);
}

TEST_F(ThreadPoolTest, ParkedWorkersAreReusedLastParkedFirst) {
  ThreadPool* pool = NewPool(5);
  Job& a = StartJob(pool);
  Job& b = StartJob(pool);
  Job& c = StartJob(pool);
  FinishAndPark(pool, a, 1);
  FinishAndPark(pool, c, 2);
  FinishAndPark(pool, b, 3);

  Job& d = StartJob(pool);
  EXPECT_EQ(d.tid.load(), b.tid.load());
  Job& e = StartJob(pool);
  EXPECT_EQ(e.tid.load(), c.tid.load());
  Job& f = StartJob(pool);
  EXPECT_EQ(f.tid.load(), a.tid.load());
  EXPECT_EQ(ThreadPool_LiveCount(pool), 3);
  EXPECT_EQ(ThreadPool_IdleCount(pool), 0);

  // With nobody parked and fewer than the maximum alive, a new thread starts at once.
  Job& g = StartJob(pool);
  EXPECT_NE(g.tid.load(), a.tid.load());
  EXPECT_NE(g.tid.load(), b.tid.load());
  EXPECT_NE(g.tid.load(), c.tid.load());
  EXPECT_EQ(ThreadPool_LiveCount(pool), 4);
}

// Two threads park (the idle event is set and nobody waits for it), two adds take them
// without waiting, so the event is still set when the next add has to wait.
class StaleSignalTest : public ThreadPoolTest {
 protected:
  void SetUp() override {
    m_pool = NewPool(2);
    Job& a = StartJob(m_pool);
    Job& b = StartJob(m_pool);
    FinishAndPark(m_pool, a, 1);
    FinishAndPark(m_pool, b, 2);
    m_c = &StartJob(m_pool);
    m_d = &StartJob(m_pool);
    ASSERT_EQ(ThreadPool_IdleCount(m_pool), 0);
    ASSERT_EQ(ThreadPool_LiveCount(m_pool), 2);
  }

  ThreadPool* m_pool = nullptr;
  Job* m_c = nullptr;
  Job* m_d = nullptr;
};

TEST_F(StaleSignalTest, WaitReturnsAtOnceAndOneMoreThreadStarts) {
  Job& e = StartJob(m_pool);  // would hang here if the signal were lost
  EXPECT_EQ(ThreadPool_LiveCount(m_pool), 3);
  EXPECT_NE(e.tid.load(), m_c->tid.load());
  EXPECT_NE(e.tid.load(), m_d->tid.load());
}

TEST_F(StaleSignalTest, WorkerEndsWhenTheParkedLimitIsReached) {
  Job& e = StartJob(m_pool);
  FinishAndPark(m_pool, *m_c, 1);
  FinishAndPark(m_pool, *m_d, 2);
  ASSERT_EQ(ThreadPool_LiveCount(m_pool), 3);

  e.release.Open();
  ASSERT_TRUE(WaitUntil([&] { return ThreadPool_LiveCount(m_pool) == 2; }));
  EXPECT_EQ(ThreadPool_IdleCount(m_pool), 2);
  EXPECT_TRUE(WaitUntil([&] { return ThreadGone(e.tid); }));
  EXPECT_FALSE(ThreadGone(m_c->tid));
  EXPECT_FALSE(ThreadGone(m_d->tid));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the sanitizers reserve more address space than the limit
#else
constexpr bool kSanitized = false;
#endif

void MarkRun(void* arg) { static_cast<std::atomic<bool>*>(arg)->store(true); }

// In a child process whose address space has no room for another thread's stack: the add
// fails, the item never runs and no thread is counted.
[[noreturn]] void AddWithoutRoomForAThread() {
  ThreadPool* pool = ThreadPool_Create(4);
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (1u << 20);
  if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
  std::atomic<bool> ran{false};
  int rc = ThreadPool_Add(pool, MarkRun, &ran);
  bool counted = pool->liveCount != 0;
  std::_Exit(rc == -1 && !counted && !ran ? 0 : 1);
}

TEST(ThreadPoolStartFailureTest, FailedThreadStartIsReported) {
  if (kSanitized) GTEST_SKIP() << "address-space limit conflicts with the sanitizers";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(AddWithoutRoomForAThread(), ::testing::ExitedWithCode(0), "");
}

struct CountArg {
  std::atomic<int>* runs;
  std::latch* done;
};

void CountOnce(void* arg) {
  auto* count = static_cast<CountArg*>(arg);
  count->runs->fetch_add(1);
  count->done->count_down();
}

TEST_F(ThreadPoolTest, NoItemIsLostUnderConcurrentAdds) {
  constexpr int kAdders = 8;
  constexpr int kItemsEach = 250;
  ThreadPool* pool = NewPool(4);
  std::atomic<int> runs{0};
  std::latch done(kAdders * kItemsEach);
  CountArg arg{&runs, &done};
  std::atomic<int> failures{0};
  std::latch go(1);
  std::vector<std::thread> adders;
  for (int i = 0; i < kAdders; ++i) {
    adders.emplace_back([&] {
      go.wait();
      for (int k = 0; k < kItemsEach; ++k) {
        if (ThreadPool_Add(pool, CountOnce, &arg) != 0) ++failures;
      }
    });
  }
  go.count_down();
  for (std::thread& t : adders) t.join();
  done.wait();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(runs.load(), kAdders * kItemsEach);
  // The done latch is counted down inside the item: wait until every thread has parked.
  EXPECT_TRUE(WaitUntil([&] { return ThreadPool_IdleCount(pool) == ThreadPool_LiveCount(pool); }));
  EXPECT_LE(ThreadPool_IdleCount(pool), 4);
}

}  // namespace
