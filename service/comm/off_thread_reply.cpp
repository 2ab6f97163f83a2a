#include "comm/off_thread_reply.h"

#include <event2/bufferevent.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/local_server.h"

namespace {

// What a job and its connection's writer share: the answer once made, and whether the
// connection has gone.
struct Slot {
  std::mutex mutex;
  bool ready = false;
  bool cancelled = false;
  std::string answer;
};

struct Job {
  std::shared_ptr<Slot> slot;
  uint64_t connId = 0;
  OffThreadWork work;
};

// Holds the connection's later requests until the answer is there, then queues it.
class AnswerWriter : public ConnWriter {
 public:
  explicit AnswerWriter(std::shared_ptr<Slot> slot) : m_slot(std::move(slot)) {}
  Status Refill(bufferevent* conn, size_t /*room*/) override {
    std::string answer;
    {
      std::lock_guard<std::mutex> lock(m_slot->mutex);
      if (!m_slot->ready) return Status::Wait;
      answer.swap(m_slot->answer);
    }
    if (!answer.empty()) bufferevent_write(conn, answer.data(), answer.size());
    return Status::Done;
  }
  void Cancel() override {
    std::lock_guard<std::mutex> lock(m_slot->mutex);
    m_slot->cancelled = true;
  }

 private:
  std::shared_ptr<Slot> m_slot;
};

// A fixed number of threads taking jobs in the order they came. Each connection has at
// most one job at a time (its later requests wait for it), so the queue is bounded by the
// number of connections.
class Workers {
 public:
  ~Workers() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stopping = true;
    }
    m_cond.notify_all();
    for (std::thread& t : m_threads) t.join();
  }

  void SetCount(size_t n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wanted = n < 1 ? 1 : n;
  }

  void Add(Job job) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_jobs.push_back(std::move(job));
      if (m_threads.size() < m_wanted && m_idle == 0) {
        m_threads.emplace_back([this] { Run(); });
      }
    }
    m_cond.notify_one();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      ++m_idle;
      m_cond.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
      --m_idle;
      if (m_jobs.empty()) return;  // stopping
      Job job = std::move(m_jobs.front());
      m_jobs.pop_front();
      lock.unlock();
      bool wanted;
      {
        std::lock_guard<std::mutex> slotLock(job.slot->mutex);
        wanted = !job.slot->cancelled;
      }
      std::string answer;
      if (wanted) {
        try {
          answer = job.work();
        } catch (const std::exception&) {
          answer.clear();  // nothing sent; the work reports its own failures
        }
      }
      {
        std::lock_guard<std::mutex> slotLock(job.slot->mutex);
        job.slot->answer = std::move(answer);
        job.slot->ready = true;
      }
      job.work = nullptr;
      OS_WakeConnWriter(job.connId);
      lock.lock();
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::deque<Job> m_jobs;
  std::vector<std::thread> m_threads;
  size_t m_wanted = kDefaultOffThreadWorkers;
  size_t m_idle = 0;
  bool m_stopping = false;
};

Workers& TheWorkers() {
  static Workers workers;
  return workers;
}

}  // namespace

bool OS_ReplyOffThread(bufferevent* conn, OffThreadWork work) {
  uint64_t connId = 0;
  if (!work || !OS_GetConnInfo(conn, &connId, nullptr)) return false;
  auto slot = std::make_shared<Slot>();
  if (!OS_AttachConnWriter(conn, std::make_unique<AnswerWriter>(slot))) return false;
  TheWorkers().Add(Job{std::move(slot), connId, std::move(work)});
  return true;
}

void OS_SetOffThreadWorkers(size_t n) { TheWorkers().SetCount(n); }
