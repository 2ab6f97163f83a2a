#include "app/device_requests.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include <event2/bufferevent.h>

#include "app/logon.h"
#include "app/transfer_table.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/thread_pool.h"
#include "comm/utils.h"
#include "platform/env_setting.h"
#include "platform/net.h"
#include "platform/power.h"

std::string g_LastHBTime;
int64_t g_LastHBEpoch = 0;

namespace {

int64_t SystemClock() { return static_cast<int64_t>(std::time(nullptr)); }

std::atomic<EpochClock> g_clock{SystemClock};

std::mutex g_optionsMutex;
TrayAskOptions g_options = TrayAskOptionsFromEnvironment();  // g_optionsMutex

std::atomic<int> g_pending{0};

// Milliseconds left until deadline, at least 0.
int MsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Receives exactly len bytes before the deadline. 0, or -1.
int RecvBefore(int fd, uint8_t* out, size_t len, std::chrono::steady_clock::time_point deadline) {
  size_t got = 0;
  while (got < len) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;  // error or time-out
    ssize_t n = ::recv(fd, out + got, len - got, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return -1;
    got += static_cast<size_t>(n);
  }
  return 0;
}

// A text field: up to its first zero byte, at most n bytes.
std::string FieldText(const uint8_t* field, size_t n) {
  const char* p = reinterpret_cast<const char*>(field);
  return std::string(p, strnlen(p, n));
}

// True when the record presents the PC's own account (both stored texts non-empty).
bool AdmittedByAccount(const uint8_t* record) {
  std::string email, psw;
  GetUsernfo(email, psw);
  if (email.empty() || psw.empty()) return false;
  return FieldText(record, kAccountFieldSize) == email &&
         FieldText(record + kAccountFieldSize, kAccountFieldSize) == psw;
}

// Asks the tray program and judges its answer: 0 admitted, 1 refused.
uint16_t AskTray(const uint8_t* ask) {
  uint8_t answer[kDeviceLoginAnswerSize] = {};
  if (AskTrayLogin(ask, kDeviceLoginAskSize, answer, sizeof answer) != 0) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "no verdict from the tray program: device refused.");
    return 1;
  }
  uint16_t result = DeviceLoginVerdict(answer, sizeof answer);
  TLOG(MOD_INTRANET, LOG_DEBUG, "tray verdict %u: device %s.", wire::GetU32(answer + 8),
       result == 0 ? "admitted" : "refused");
  return result;
}

void EncodeLoginReply(uint8_t* out, uint16_t result) {
  std::memset(out, 0, kDeviceLoginReplySize);
  // The request's number is not echoed: devices expect 0 here.
  MsgHead{static_cast<uint16_t>(kDeviceLoginReplySize), OP_REQ_DEVICE_LOGIN, 0}.Encode(out);
  wire::PutU16(out + 8, result);
}

// The reply in the reply slot, which every transport writes back (the relay wraps it).
int SetLoginReply(uint16_t result, uint8_t** reply, int32_t* replyLen) {
  uint8_t* r = AllocReply(kDeviceLoginReplySize);
  if (r == nullptr) {
    TLOG(MOD_USER, LOG_ERROR, "Allocate memory error.");
    return ERR_ALLOC;
  }
  EncodeLoginReply(r, result);
  *reply = r;
  *replyLen = static_cast<int32_t>(kDeviceLoginReplySize);
  return ERR_OK;
}

// ---- Asking off the local server's thread.

// Shared by the writer on the server's thread and the thread that asks.
struct PendingLogin {
  std::mutex mutex;
  bool done = false;
  uint8_t reply[kDeviceLoginReplySize] = {};
};

// Holds the connection's later requests until the reply is there, then writes it.
class LoginReplyWriter : public ConnWriter {
 public:
  explicit LoginReplyWriter(std::shared_ptr<PendingLogin> pending) : m_pending(std::move(pending)) {}
  Status Refill(bufferevent* conn, size_t /*room*/) override {
    std::lock_guard<std::mutex> lock(m_pending->mutex);
    if (!m_pending->done) return Status::Wait;
    if (bufferevent_write(conn, m_pending->reply, sizeof m_pending->reply) != 0) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "Write return message error.");
    }
    return Status::Done;
  }
  // The device has gone: the asking thread's answer is dropped.
  void Cancel() override {}

 private:
  std::shared_ptr<PendingLogin> m_pending;
};

struct AskJob {
  std::shared_ptr<PendingLogin> pending;
  uint64_t connId = 0;
  uint8_t ask[kDeviceLoginAskSize] = {};
};

void RunAskJob(void* arg) {
  std::unique_ptr<AskJob> job(static_cast<AskJob*>(arg));
  uint16_t result = AskTray(job->ask);
  {
    std::lock_guard<std::mutex> lock(job->pending->mutex);
    EncodeLoginReply(job->pending->reply, result);
    job->pending->done = true;
  }
  OS_WakeConnWriter(job->connId);
  --g_pending;
}

// Runs the question on a pool thread (a thread of its own without the pool; here, when
// no thread can be started: the writer sends the reply all the same).
void StartAskJob(AskJob* job) {
  ++g_pending;
  if (g_ThreadPool != nullptr && ThreadPool_Add(g_ThreadPool, RunAskJob, job) == 0) return;
  try {
    std::thread(RunAskJob, job).detach();
    return;
  } catch (...) {
  }
  RunAskJob(job);
}

}  // namespace

// ---- Clock and options.

void SetDeviceClock(EpochClock clock) { g_clock = clock != nullptr ? clock : SystemClock; }

int64_t DeviceClockNow() { return g_clock.load()(); }

TrayAskOptions TrayAskOptionsFromEnvironment() {
  TrayAskOptions o;
  if (auto v = EnvInteger(kTrayLoginPortEnv, 1, 65535)) o.port = static_cast<uint16_t>(*v);
  return o;
}

void SetTrayAskOptions(const TrayAskOptions& options) {
  std::lock_guard<std::mutex> lock(g_optionsMutex);
  g_options = options;
}

TrayAskOptions GetTrayAskOptions() {
  std::lock_guard<std::mutex> lock(g_optionsMutex);
  return g_options;
}

int DeviceLoginsPending() { return g_pending.load(); }

// ---- The question to the tray program.

int AskTrayLogin(const uint8_t* question, uint32_t len, uint8_t* answer, uint32_t answerLen) {
  TrayAskOptions o = GetTrayAskOptions();
  int fd = platform::ConnectTcp(o.host, o.port, o.connectTimeoutMs);
  if (fd < 0) return -1;
  timeval tv{o.sendTimeoutMs / 1000, (o.sendTimeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc = -1;
  if (platform::SendAll(fd, question, len) == 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.recvTimeoutMs);
    rc = RecvBefore(fd, answer, answerLen, deadline);
  }
  platform::CloseSocket(fd);
  return rc;
}

void BuildDeviceLoginAsk(const uint8_t* record, uint32_t number, uint8_t out[kDeviceLoginAskSize]) {
  MsgHead{static_cast<uint16_t>(kDeviceLoginAskSize), OP_SHOW_DEVICE_LOGIN, number}.Encode(out);
  std::memcpy(out + MsgHead::kSize, record, kDeviceLoginRecordSize);
}

uint16_t DeviceLoginVerdict(const uint8_t* answer, uint32_t len) {
  if (answer == nullptr || len < kDeviceLoginAnswerSize) return 1;
  MsgHead head = MsgHead::Decode(answer);
  if (head.opcode != OP_SHOW_DEVICE_LOGIN || head.length != kDeviceLoginAnswerSize) return 1;
  return wire::GetU32(answer + 8) == 0 ? 0 : 1;
}

// ---- Handlers.

int ReqDeviceHeartBeat(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
                       uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  if (body == nullptr || bodyLen == 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return ERR_NULL_MSG;
  }
  uint8_t* r = AllocReply(kDeviceHeartBeatReplySize);
  if (r == nullptr) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Allocate memory error.");
    return ERR_ALLOC;
  }
  MsgHead{static_cast<uint16_t>(kDeviceHeartBeatReplySize), OP_REQ_DEVICE_HEART_BEAT, head->seq}
      .Encode(r);
  wire::PutU16(r + 8, 0);
  wire::PutU16(r + 10, 6);
  *reply = r;
  *replyLen = static_cast<int32_t>(kDeviceHeartBeatReplySize);

  int64_t now = DeviceClockNow();
  std::string text = TimeToStr(now);
  std::lock_guard<std::mutex> lock(g_MutexLastHBTime);
  g_LastHBTime = text;
  g_LastHBEpoch = now;
  return ERR_OK;
}

int ReqDeviceLogin(const uint8_t* body, uint32_t bodyLen, const MsgHead*, bufferevent* conn,
                   uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  if (body == nullptr || bodyLen == 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return -1;
  }
  const uint32_t off = RecordOffset(*direct);
  if (bodyLen < off || bodyLen - off < kDeviceLoginRecordSize) {
    TLOG(MOD_INTRANET, LOG_ERROR, "device login of %u bytes is too short: refused.", bodyLen);
    return SetLoginReply(1, reply, replyLen);
  }
  const uint8_t* record = body + off;
  std::string name = FieldText(record + 2 * kAccountFieldSize, 64);
  if (AdmittedByAccount(record)) {
    TLOG(MOD_INTRANET, LOG_DEBUG, "device %s logs in with the PC's account.", name.c_str());
    return SetLoginReply(0, reply, replyLen);
  }
  TLOG(MOD_INTRANET, LOG_DEBUG, "device %s asks to log in: asking the tray program.",
       name.c_str());

  auto job = std::unique_ptr<AskJob>(new (std::nothrow) AskJob);
  auto pending = std::shared_ptr<PendingLogin>(new (std::nothrow) PendingLogin);
  if (!job || !pending) {
    TLOG(MOD_USER, LOG_ERROR, "Allocate memory error.");
    return SetLoginReply(1, reply, replyLen);
  }
  BuildDeviceLoginAsk(record, static_cast<uint32_t>(DeviceClockNow()), job->ask);

  // A local connection waits for the verdict without holding up the local server: the
  // writer keeps the connection's later requests until the asking thread has the reply.
  uint64_t connId = 0;
  Origin origin = Origin::Lan;
  if (*direct != 0 && *udtSock == -1 && OS_GetConnInfo(conn, &connId, &origin)) {
    job->pending = pending;
    job->connId = connId;
    if (OS_AttachConnWriter(conn, std::make_unique<LoginReplyWriter>(pending))) {
      StartAskJob(job.release());
      return ERR_OK;
    }
  }
  // The relay's and a UDT peer's own threads wait themselves.
  return SetLoginReply(AskTray(job->ask), reply, replyLen);
}

int ReqShutDownSystem(const uint8_t* body, uint32_t bodyLen, const MsgHead*, bufferevent*,
                      uint8_t**, int32_t*, int32_t*, uint8_t*) {
  if (body == nullptr || bodyLen == 0) {
    TLOG(MOD_INTRANET, LOG_ERROR, "Input msg buffer pointer is null.");
    return -1;
  }
  std::string error;
  // A command that cannot even start changes nothing.
  if (!platform::CanPowerOff(&error)) {
    TLOG(MOD_INTRANET, LOG_WARNING, "shutdown error.");
    TLOG(MOD_INTRANET, LOG_WARNING, "power-off command: %s", error.c_str());
    return -1;
  }
  TLOG(MOD_INTRANET, LOG_INFO, "a device shuts the system down.");
  // The power-off returns while the system goes down: the logout and the stop come first.
  LogOut();
  const bool wasStopping = g_StopFlag.load() != 0;
  OS_SetStopFlag();
  if (platform::PowerOffSystem(&error) != 0) {
    TLOG(MOD_INTRANET, LOG_WARNING, "shutdown error.");
    TLOG(MOD_INTRANET, LOG_WARNING, "power-off command: %s", error.c_str());
    // The service goes on: the flag down again (unless a stop was already under way) and
    // the account logged on again.
    if (!wasStopping) {
      OS_ClearStopFlag();
      int rtn = LogOn();
      std::lock_guard<std::mutex> lock(g_MutexLogOnRtn);
      g_LogOnRtn = rtn;
    }
    return -1;
  }
  return ERR_OK;
}
