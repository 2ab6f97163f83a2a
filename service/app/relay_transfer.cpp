#include "app/relay_transfer.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <new>
#include <vector>

#include "app/download.h"
#include "app/trans_log.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/dispatch.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/thread_pool.h"
#include "platform/env_setting.h"
#include "platform/net.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often an interruptible wait looks at g_StopFlag; stop requests wake it at once.
constexpr auto kStopSlice = std::chrono::milliseconds(50);

// The relayed downloads: those asked to stop are found here by origin and number. Never
// destroyed, like the locks: jobs may still wait in it while the process ends.
struct JobRegistry {
  std::condition_variable wake;       // with g_StopDownLoadMutex: a stop was asked
  std::list<InterDownLoadJob*> jobs;  // under g_StopDownLoadMutex; queued and running

  std::mutex queueMutex;  // guards the two below
  std::deque<InterDownLoadJob*> waiting;
  int running = 0;

  std::mutex configMutex;
  RelayTransferConfig config = RelayTransferConfigFromEnvironment();
};

JobRegistry& Registry() {
  static auto* registry = new JobRegistry;
  return *registry;
}

void Register(InterDownLoadJob* job) {
  std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
  Registry().jobs.push_back(job);
}

void Unregister(InterDownLoadJob* job) {
  std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
  Registry().jobs.remove(job);
}

// Ends a job's life: out of the registry, its file closed, freed.
void Drop(InterDownLoadJob* job) {
  Unregister(job);
  if (job->record) job->record->CloseFile();
  delete job;
}

// True when the job is asked to stop. The request counts as taken: its number leaves
// g_StopDownLoadList, which tells the stop request that its job heard it.
bool TakeStop(InterDownLoadJob& job) {
  std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
  if (!job.stopAsked) return false;
  auto it = std::find(g_StopDownLoadList.begin(), g_StopDownLoadList.end(), job.seq);
  if (it != g_StopDownLoadList.end()) g_StopDownLoadList.erase(it);
  return true;
}

// Sleeps ms. False, early, when the job is asked to stop or the service stops.
bool JobSleep(const InterDownLoadJob& job, unsigned ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock<std::mutex> lock(g_StopDownLoadMutex);
  for (;;) {
    if (job.stopAsked || g_StopFlag.load() != 0) return false;
    auto now = Clock::now();
    if (now >= deadline) return true;
    Registry().wake.wait_until(lock, std::min(deadline, now + kStopSlice));
  }
}

void ServerOf(const RelayTransferConfig& config, std::string& host, uint16_t& port) {
  if (!config.host.empty()) {
    host = config.host;
    port = config.port;
    return;
  }
  GetServerInfo(host, port);
}

// Reads one answer head and its payload, which is dropped. False on a failure, an orderly
// close, or a length below the head's.
bool RecvAnswer(int* sock, ServerReplyHead* answer) {
  uint8_t raw[ServerReplyHead::kSize];
  if (RecvAll(sock, sizeof raw, raw) != 0) return false;
  *answer = ServerReplyHead::Decode(raw);
  if (answer->length < ServerReplyHead::kSize) return false;
  uint32_t left = answer->length - ServerReplyHead::kSize;
  uint8_t sink[512];
  while (left > 0) {
    uint32_t n = std::min<uint32_t>(left, sizeof sink);
    if (RecvAll(sock, n, sink) != 0) return false;
    left -= n;
  }
  return true;
}

// One relayed download from its connection to its end frame (or its silent end).
class InterDownLoad {
 public:
  InterDownLoad(InterDownLoadJob& job, const RelayTransferConfig& config)
      : m_job(job), m_config(config), m_target(wire::GetText(job.target, sizeof job.target)) {}

  void Run() {
    if (Stopped()) return;
    ServerOf(m_config, m_host, m_port);
    m_sock = ConnectServer(m_host, m_port, m_config);
    if (m_sock < 0) return;
    const TransRecordPtr& rec = m_job.record;
    if (!rec || rec->fd < 0) {
      WriteInterDownLoadOverMsg(m_job.target, &m_sock, false, m_job.seq);
      return;
    }
    TLOG(MOD_INTRANET, LOG_DEBUG, "begain download file %s using interline, package count %d.",
         rec->path.c_str(), static_cast<int>(m_job.offset / kPackageDataSize));
    AddDownLoadCount(1);
    if (Send(*rec)) {
      AddDownLoadCount(-1);
      rec->CloseFile();
      WriteTranLog(rec->path, TRANS_LOG_DOWNLOAD, rec->size);
      WriteInterDownLoadOverMsg(m_job.target, &m_sock, true, m_job.seq);
      return;
    }
    AddDownLoadCount(-1);
    CloseSocket(&m_sock);
  }

 private:
  enum class Outcome { Accepted, Failed, Silent };

  // The service stops, or a stop request came for this download: true, with the log line
  // of a taken request.
  bool Stopped() {
    if (TakeStop(m_job)) {
      TLOG(MOD_INTRANET, LOG_DEBUG, "get cmd to stop download OK %d", static_cast<int>(m_job.seq));
      return true;
    }
    return g_StopFlag.load() != 0;
  }

  // Every package, each accepted by the server. False when the download ended early; the
  // end frame "1" has then gone when one was due.
  bool Send(TransRecord& rec) {
    std::vector<uint8_t> frame;
    try {
      frame.resize(kRelayReplyHeadSize + kPackageSize);
    } catch (const std::bad_alloc&) {
      rec.CloseFile();
      TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
      WriteInterDownLoadOverMsg(m_job.target, &m_sock, false, m_job.seq);
      return false;
    }
    ServerMsgHead{0, 6, SV_INTER_LINE_DOWN_LOAD, g_MacBuf}.Encode(frame.data());
    wire::PutText(frame.data() + ServerMsgHead::kSize, kRelayIdSize, m_target);
    PackageStream stream(rec.fd, rec.size, m_job.offset, m_job.seq);
    while (!stream.Done()) {
      ptrdiff_t n = stream.Fill(frame.data() + kRelayReplyHeadSize, 1);
      if (n < 0) {
        TLOG(MOD_INTRANET, LOG_ERROR, "Read file %s error.", rec.path.c_str());
        rec.CloseFile();
        WriteInterDownLoadOverMsg(m_job.target, &m_sock, false, m_job.seq);
        return false;
      }
      auto len = static_cast<uint32_t>(kRelayReplyHeadSize + static_cast<size_t>(n));
      wire::PutU16(frame.data(), static_cast<uint16_t>(len));
      Outcome o = SendFrame(rec, frame.data(), len);
      if (o == Outcome::Accepted) continue;
      rec.CloseFile();
      if (o == Outcome::Failed) WriteInterDownLoadOverMsg(m_job.target, &m_sock, false, m_job.seq);
      return false;
    }
    return true;
  }

  // Sends one frame until the server accepts it.
  Outcome SendFrame(const TransRecord& rec, const uint8_t* frame, uint32_t len) {
    unsigned fullMs = 0;
    for (;;) {
      if (Stopped()) return Outcome::Silent;
      if (m_sock < 0 || SendAll(&m_sock, len, frame) != 0) {
        TLOG(MOD_INTRANET, LOG_DEBUG, "send error reconnect.");
        if (!JobSleep(m_job, m_config.reconnectWaitMs)) continue;  // the check above ends it
        m_reconnectMs += m_config.reconnectWaitMs;
        CloseSocket(&m_sock);
        m_sock = ConnectServer(m_host, m_port, m_config);
        if (m_sock >= 0) {
          m_reconnectMs = 0;
          TLOG(MOD_INTRANET, LOG_DEBUG, "send error reconnect ok.");
        } else if (m_reconnectMs > m_config.reconnectLimitMs) {
          TLOG(MOD_INTRANET, LOG_DEBUG, "download file %s time out.", rec.path.c_str());
          return Outcome::Silent;
        }
        continue;
      }
      ServerReplyHead answer;
      if (!RecvAnswer(&m_sock, &answer)) {
        TLOG(MOD_INTRANET, LOG_DEBUG, "recev error.");
        return Outcome::Failed;
      }
      if (answer.result == 0) return Outcome::Accepted;
      if (answer.result != ERR_SERVER_CASH_FULL) return Outcome::Failed;
      if (!JobSleep(m_job, m_config.fullWaitMs)) continue;
      fullMs += m_config.fullWaitMs;
      TLOG(MOD_INTRANET, LOG_DEBUG, "server cash is full. time: %d, file %s",
           static_cast<int>(fullMs), rec.path.c_str());
      if (fullMs > m_config.fullLimitMs) {
        TLOG(MOD_INTRANET, LOG_DEBUG, "download file %s time out.", rec.path.c_str());
        return Outcome::Failed;
      }
    }
  }

  InterDownLoadJob& m_job;
  const RelayTransferConfig& m_config;
  std::string m_target;
  std::string m_host;
  uint16_t m_port = 0;
  int m_sock = -1;
  unsigned m_reconnectMs = 0;  // waits since the last successful connect
};

// A fetched device message: whole, and upload data or end, or it is dropped.
void DispatchFetched(const std::vector<uint8_t>& msg) {
  if (msg.size() < MsgHead::kSize) {
    TLOG(MOD_INTRANET, LOG_WARNING, "fetched upload message of %zu bytes dropped.", msg.size());
    return;
  }
  MsgHead head = MsgHead::Decode(msg.data());
  if (head.length != msg.size()) {
    TLOG(MOD_INTRANET, LOG_WARNING, "fetched upload message of %zu bytes says %u, dropped.",
         msg.size(), unsigned{head.length});
    return;
  }
  if (head.opcode != OP_UP_LOAD_FILE && head.opcode != OP_OVER_UP_LOAD_FILE) {
    TLOG(MOD_INTRANET, LOG_WARNING, "fetched message with opcode %d dropped.", head.opcode);
    return;
  }
  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  const uint8_t* body = msg.size() > MsgHead::kSize ? msg.data() + MsgHead::kSize : nullptr;
  Dispatch(&head, body, static_cast<uint32_t>(msg.size() - MsgHead::kSize), nullptr, &reply,
           &replyLen, -1, 1, Origin::Poll);
  if (reply != nullptr) FreeReply(reply);
}

bool UploadsOpen() { return TransCount(TransKind::Upload) > 0; }

// One poll cycle on an open connection: polls until the server has had nothing for the
// whole back-off, or a failure. backoff carries over between cycles.
void PollCycle(int* sock, const uint8_t* poll, const RelayTransferConfig& config,
               unsigned& backoff) {
  while (g_StopFlag.load() == 0) {
    if (SendAll(sock, ServerMsgHead::kSize, poll) != 0) return;
    uint8_t raw[ServerReplyHead::kSize];
    if (RecvAll(sock, sizeof raw, raw) != 0) return;
    ServerReplyHead answer = ServerReplyHead::Decode(raw);
    if (answer.length < ServerReplyHead::kSize) return;  // the next answer cannot be found
    // The payload is read whatever the result, so the next answer starts where it should.
    std::vector<uint8_t> payload;
    if (answer.length > ServerReplyHead::kSize) {
      try {
        payload.resize(answer.length - ServerReplyHead::kSize);
      } catch (const std::bad_alloc&) {
        return;
      }
      if (RecvAll(sock, static_cast<uint32_t>(payload.size()), payload.data()) != 0) return;
    }
    if (answer.result != 0) {
      if (!UploadsOpen()) return;
      if (!SleepUnlessStopped(backoff)) return;
      backoff *= 2;
      if (backoff > config.backoffLimitMs) {
        backoff = config.backoffStartMs;
        return;
      }
      continue;
    }
    backoff = config.backoffStartMs;
    if (!payload.empty()) DispatchFetched(payload);
  }
}

}  // namespace

RelayTransferConfig RelayTransferConfigFromEnvironment() {
  RelayTransferConfig c;
  auto interval = [](const char* name, unsigned* out) {
    if (auto v = EnvInteger(name, 1, INT32_MAX)) *out = static_cast<unsigned>(*v);
  };
  interval(kUpLoadPollCycleEnv, &c.pollCycleMs);
  interval(kUpLoadBackoffEnv, &c.backoffStartMs);
  return c;
}

void SetRelayTransferConfig(const RelayTransferConfig& config) {
  std::lock_guard<std::mutex> lock(Registry().configMutex);
  Registry().config = config;
}

RelayTransferConfig GetRelayTransferConfig() {
  std::lock_guard<std::mutex> lock(Registry().configMutex);
  return Registry().config;
}

TransOrigin InterDownLoadOrigin(const InterDownLoadJob& job) {
  return TransOrigin::Relay(wire::GetText(job.target, sizeof job.target));
}

int QueueInterDownLoad(std::unique_ptr<InterDownLoadJob> job) {
  if (!job) return -1;
  JobRegistry& r = Registry();
  const int maxJobs = std::max(1, GetRelayTransferConfig().maxJobs);
  InterDownLoadJob* raw = job.release();
  Register(raw);
  {
    std::lock_guard<std::mutex> lock(r.queueMutex);
    if (r.running >= maxJobs) {
      r.waiting.push_back(raw);
      return 0;
    }
    ++r.running;
  }
  int rc = ThreadPool_Add(g_ThreadPool, DownLoadFile_Cash, raw);
  if (rc != 0) {
    {
      std::lock_guard<std::mutex> lock(r.queueMutex);
      --r.running;
    }
    Drop(raw);
  }
  return rc;
}

void DownLoadFile_Cash(void* arg) {
  JobRegistry& r = Registry();
  auto* job = static_cast<InterDownLoadJob*>(arg);
  while (job != nullptr) {
    RelayTransferConfig config = GetRelayTransferConfig();
    InterDownLoad(*job, config).Run();
    Drop(job);
    std::lock_guard<std::mutex> lock(r.queueMutex);
    if (r.waiting.empty()) {
      --r.running;
      job = nullptr;
    } else {
      job = r.waiting.front();
      r.waiting.pop_front();
    }
  }
}

bool StopInterDownLoad(const TransOrigin& origin, uint32_t seq) {
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
    for (InterDownLoadJob* job : Registry().jobs) {
      if (job->seq == seq && InterDownLoadOrigin(*job) == origin) {
        job->stopAsked = true;
        found = true;
      }
    }
  }
  if (found) Registry().wake.notify_all();
  return found;
}

size_t InterDownLoadJobCount() {
  std::lock_guard<std::mutex> lock(g_StopDownLoadMutex);
  return Registry().jobs.size();
}

size_t InterDownLoadRunningCount() {
  std::lock_guard<std::mutex> lock(Registry().queueMutex);
  return static_cast<size_t>(Registry().running);
}

int ConnectServer(const std::string& host, uint16_t port, const RelayTransferConfig& config) {
  int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  if (ConnectSocket(&sock, port, host.c_str(), config.connectTimeoutMs) != 0) {
    CloseSocket(&sock);
    return -1;
  }
  platform::SetSocketTimeouts(sock, config.ioTimeoutMs);
  return sock;
}

void WriteInterDownLoadOverMsg(const uint8_t target[64], int* sock, bool ok, uint32_t seq) {
  uint8_t frame[kInterOverFrameSize];
  ServerMsgHead{static_cast<uint16_t>(kInterOverFrameSize), 6, SV_INTER_LINE_DOWN_LOAD, g_MacBuf}
      .Encode(frame);
  wire::PutText(frame + ServerMsgHead::kSize, kRelayIdSize,
                wire::GetText(target, kRelayIdSize));
  EncodeDownLoadOver(frame + kRelayReplyHeadSize, seq, ok);
  if (SendAll(sock, sizeof frame, frame) == 0) {
    uint8_t answer[ServerReplyHead::kSize];
    RecvAll(sock, sizeof answer, answer);  // its content does not matter
  }
  CloseSocket(sock);
}

void InterLineUpLoadFile(void* arg) {
  const RelayTransferConfig config =
      arg != nullptr ? *static_cast<const RelayTransferConfig*>(arg) : GetRelayTransferConfig();
  std::string host;
  uint16_t port = 0;
  ServerOf(config, host, port);
  uint8_t poll[ServerMsgHead::kSize];
  ServerMsgHead{static_cast<uint16_t>(ServerMsgHead::kSize), 6, SV_INTER_LINE_UP_LOAD, g_MacBuf}
      .Encode(poll);
  unsigned backoff = config.backoffStartMs;
  while (g_StopFlag.load() == 0) {
    if (!SleepUnlessStopped(config.pollCycleMs)) break;
    if (!UploadsOpen()) continue;
    int sock = ConnectServer(host, port, config);
    if (sock < 0) continue;
    PollCycle(&sock, poll, config, backoff);
    CloseSocket(&sock);
  }
}
