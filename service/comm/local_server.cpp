#include "comm/local_server.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <event2/util.h>

#include "comm/log.h"
#include "comm/peer_address.h"
#include "platform/env_setting.h"
#include "platform/net.h"

std::atomic<uint16_t> g_LocalPort{0};

namespace {

// The relay's keep-alive and data commands pass the opcode check: such a message is
// read whole and handed to Dispatch, which answers nothing.
constexpr uint16_t kRelayKeepAlive = 0x1008;
constexpr uint16_t kRelayData = 0x1009;

struct Server;

// One accepted connection. Everything here is touched only on the server's thread.
struct LocalConn {
  Server* server = nullptr;
  bufferevent* bev = nullptr;
  uint64_t id = 0;
  Origin origin = Origin::Lan;
  std::string peer;  // the peer's address, for log lines
  LocalConn* prev = nullptr;  // the server's list of live connections
  LocalConn* next = nullptr;

  // Reader: phase 0 assembles the head, phase 1 the body of the current message.
  uint8_t phase = 0;
  uint8_t headBuf[MsgHead::kSize] = {};
  size_t headCount = 0;
  MsgHead head;
  uint8_t* body = nullptr;  // bodyLen bytes, allocated when the head is complete
  size_t bodyLen = 0;
  size_t bodyCount = 0;
  bool bulk = false;  // the last body was large: the next head is read straight too

  // Streamed output; while it is set the connection's further requests wait.
  std::unique_ptr<ConnWriter> writer;
  bool writerWaiting = false;  // its last Refill was Wait: another thread owes the answer
  // The peer's stream has ended or a request closed the connection: nothing more is read,
  // and the connection closes once its queued answers have gone out.
  bool closing = false;

  // The limits: the connection's own timer, and when it last made progress (ms of the
  // monotonic clock).
  event* timer = nullptr;
  evbuffer_cb_entry* outputWatch = nullptr;
  bool reading = true;     // its input is read (not held for a writer or its output)
  int64_t lastRxMs = 0;    // bytes arrived
  int64_t lastTxMs = 0;    // queued output went out
  int64_t readSinceMs = 0;  // reading was last turned on
};

struct Server {
  event_base* base = nullptr;
  evconnlistener* listener = nullptr;
  LocalConn* conns = nullptr;
  event* resumeEv = nullptr;  // ends the listener's pause after an accept error
  unsigned pauseMs = 0;       // the next pause; 0 before the first error
};

std::atomic<LocalServerState> g_state{LocalServerState::Pending};
std::atomic<ConnCloseHook> g_closeHook{nullptr};
std::atomic<OriginClassifier> g_classifier{nullptr};
std::atomic<unsigned> g_partialMs{LocalServerLimits{}.partialMs};
std::atomic<unsigned> g_idleTimeoutMs{LocalServerLimits{}.idleMs};
std::atomic<size_t> g_outputHighBytes{LocalServerLimits{}.outputHighBytes};
std::atomic<unsigned> g_acceptPauseMs{LocalServerLimits{}.acceptPauseMs};
std::atomic<unsigned> g_acceptPauseMaxMs{LocalServerLimits{}.acceptPauseMaxMs};
std::atomic<uint64_t> g_nextConnId{1};

// Stopping from another thread: OS_StopLocalServer activates the running server's
// stop event under this mutex, or leaves a request for a server about to start.
std::mutex g_controlMutex;
event* g_stopEvent = nullptr;  // guarded by g_controlMutex
bool g_stopRequested = false;  // guarded by g_controlMutex
// Waking waiting writers from another thread: the ids to wake and the running server's
// event that serves them.
event* g_wakeEvent = nullptr;        // guarded by g_controlMutex
std::vector<uint64_t> g_wakeIds;     // guarded by g_controlMutex
// Messages for connections, queued by OS_SendOnConn and written by the same event.
std::vector<std::pair<uint64_t, std::vector<uint8_t>>> g_posts;  // guarded by g_controlMutex

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

timeval MsToTimeval(int64_t ms) {
  ms = std::max<int64_t>(ms, 1);
  return timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
}

void EnableLibeventThreads() {
  static std::once_flag once;
  std::call_once(once, [] { evthread_use_pthreads(); });
}

void Link(Server* s, LocalConn* c) {
  c->next = s->conns;
  if (s->conns != nullptr) s->conns->prev = c;
  s->conns = c;
}

void Unlink(Server* s, LocalConn* c) {
  if (c->prev != nullptr) c->prev->next = c->next;
  else s->conns = c->next;
  if (c->next != nullptr) c->next->prev = c->prev;
  c->prev = c->next = nullptr;
}

// The one way a connection ends: the hook sees it while the bufferevent still
// exists, then the reader state and the bufferevent (and with it the socket) go.
void CloseConn(LocalConn* c) {
  Unlink(c->server, c);
  if (c->timer != nullptr) event_free(c->timer);
  if (c->outputWatch != nullptr) {
    evbuffer_remove_cb_entry(bufferevent_get_output(c->bev), c->outputWatch);
  }
  if (c->writer) {
    c->writer->Cancel();
    c->writer.reset();
  }
  if (ConnCloseHook hook = g_closeHook.load()) hook(c->bev, c->id);
  std::free(c->body);
  bufferevent_free(c->bev);
  delete c;
}

// libevent reads at most 4 KiB per system call. While a connection sends large bodies
// (an upload's data), its input buffer is refilled straight from the socket instead, up
// to kDirectReadBytes (several messages) per recv, once the buffer is empty; the byte
// order is kept. End of file and errors are left for libevent to report on its next
// read, so every close still goes through EventCb.
constexpr size_t kDirectReadBytes = 256 * 1024;
constexpr size_t kBulkBodyBytes = 16 * 1024;  // a body this large marks a bulk sender
// Refills per turn of the loop: then the other connections get theirs (the socket stays
// readable, so the loop comes back to this one).
constexpr int kDirectReadsPerTurn = 4;

size_t FillInputFromSocket(LocalConn* c) {
  evutil_socket_t fd = bufferevent_getfd(c->bev);
  if (fd < 0) return 0;
  evbuffer* in = bufferevent_get_input(c->bev);
  // The socket bufferevent keeps its input's end frozen except while it reads itself.
  evbuffer_unfreeze(in, 0);
  evbuffer_iovec vec[2];
  size_t got = 0;
  if (evbuffer_reserve_space(in, static_cast<ev_ssize_t>(kDirectReadBytes), vec, 2) > 0) {
    ssize_t n;
    do {
      n = ::recv(fd, vec[0].iov_base, std::min(vec[0].iov_len, kDirectReadBytes), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    got = n > 0 ? static_cast<size_t>(n) : 0;
    vec[0].iov_len = got;
    evbuffer_commit_space(in, vec, got > 0 ? 1 : 0);
  }
  evbuffer_freeze(in, 0);
  return got;
}

bool OutputOverHigh(const LocalConn* c) {
  return evbuffer_get_length(bufferevent_get_output(c->bev)) >= g_outputHighBytes.load();
}

// Reads the connection's input unless it is closing, a writer streams or waits, or its
// queued output is above the high-water mark; the write callback comes when the reason
// may have gone: once all is out (closing), when the writer's queue is half empty, or
// when the output is back at the mark.
void UpdateFlow(LocalConn* c) {
  size_t low = 0;
  bool read = false;
  if (c->closing) {
    low = 0;
  } else if (c->writer) {
    low = kConnWriterQueueBytes / 2;
  } else if (OutputOverHigh(c)) {
    low = g_outputHighBytes.load();
  } else {
    read = true;
  }
  bufferevent_setwatermark(c->bev, EV_WRITE, low, 0);
  if (read == c->reading) return;
  c->reading = read;
  if (read) {
    c->readSinceMs = NowMs();
    bufferevent_enable(c->bev, EV_READ);
  } else {
    bufferevent_disable(c->bev, EV_READ);
  }
}

// Ends a connection whose peer may still read: the answers already queued go out first
// (a peer that only ended its sending side still gets them), then the connection
// closes. A peer that stops reading meets the idle limit. c may be gone on return.
void CloseWhenFlushed(LocalConn* c) {
  if (evbuffer_get_length(bufferevent_get_output(c->bev)) == 0) {
    CloseConn(c);
    return;
  }
  c->closing = true;
  UpdateFlow(c);
}

void ArmTimer(LocalConn* c, int64_t ms) {
  timeval tv = MsToTimeval(ms);
  event_add(c->timer, &tv);
}

// The connection's limits, looked at when its timer fires. Progress is only noted as it
// happens, so the timer is set for the earliest moment a limit could be reached and looks
// again then. It fires at least every partial limit, so that a message started after
// one look is caught at its own deadline by the next.
void TimerCb(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  auto* c = static_cast<LocalConn*>(arg);
  const int64_t now = NowMs();
  const unsigned partial = g_partialMs.load();
  const unsigned idle = g_idleTimeoutMs.load();
  int64_t next = now + (partial > 0 ? partial : idle > 0 ? idle : 60000);

  const bool partMessage = c->headCount > 0 || (c->phase == 1 && c->bodyCount < c->bodyLen);
  if (partial > 0 && c->reading && partMessage) {
    int64_t since = std::max(c->lastRxMs, c->readSinceMs);
    if (now - since >= partial) {
      TLOG(MOD_COMMLIB, LOG_WARNING,
           "connection from %s closed: its message stayed unfinished for %u ms (%zu of %zu "
           "bytes).",
           c->peer.c_str(), partial,
           c->phase == 0 ? c->headCount : MsgHead::kSize + c->bodyCount,
           c->phase == 0 ? MsgHead::kSize : MsgHead::kSize + c->bodyLen);
      CloseConn(c);
      return;
    }
    next = std::min(next, since + partial);
  }
  // A writer waiting for another thread's answer (bounded by that thread's own limits),
  // with nothing queued for the peer, is no silence of the peer's.
  const bool owed = c->writer && c->writerWaiting &&
                    evbuffer_get_length(bufferevent_get_output(c->bev)) == 0;
  if (idle > 0 && !owed) {
    int64_t since = std::max({c->lastRxMs, c->lastTxMs, c->readSinceMs});
    if (now - since >= idle) {
      size_t queued = evbuffer_get_length(bufferevent_get_output(c->bev));
      TLOG(MOD_COMMLIB, LOG_WARNING,
           "connection from %s closed: nothing arrived and nothing went out for %u ms (%zu "
           "bytes queued for it%s).",
           c->peer.c_str(), idle, queued, c->writer ? ", a stream unfinished" : "");
      CloseConn(c);
      return;
    }
    next = std::min(next, since + idle);
  }
  ArmTimer(c, next - now);
}

// Notes that queued output went out to the peer.
void OutputWatchCb(evbuffer* /*buf*/, const evbuffer_cb_info* info, void* arg) {
  if (info->n_deleted > 0) static_cast<LocalConn*>(arg)->lastTxMs = NowMs();
}

bool PassesOpcodeCheck(uint16_t opcode, Origin origin) {
  return opcode == kRelayKeepAlive || opcode == kRelayData || OS_IsServed(opcode, origin);
}

// Lets the writer fill the connection's output up to kConnWriterQueueBytes. True when
// the writer is done (and gone), false while it still has more to send.
bool PumpWriter(LocalConn* c) {
  evbuffer* out = bufferevent_get_output(c->bev);
  c->writerWaiting = false;
  while (c->writer) {
    size_t queued = evbuffer_get_length(out);
    if (queued >= kConnWriterQueueBytes) return false;
    ConnWriter::Status st = c->writer->Refill(c->bev, kConnWriterQueueBytes - queued);
    if (st == ConnWriter::Status::Done) {
      c->writer.reset();
    } else if (st == ConnWriter::Status::Wait) {
      c->writerWaiting = true;
      return false;
    }
  }
  return true;
}

// While a writer streams, the connection is not read, and the write callback comes when
// half of the queue has gone out.
void HoldForWriter(LocalConn* c) {
  // Larger writes than libevent's default of 16 KiB keep a stream fast.
  bufferevent_set_max_single_write(c->bev, kConnWriterQueueBytes);
  UpdateFlow(c);
}

// Serves every complete message buffered on the connection, in order; a partial
// head or body stays in the reader state until more data arrives. All progress
// lives in the LocalConn, so this may be called again at any point between
// messages. Returns false when the connection was closed (c is gone then) or is closing.
bool ServeBuffered(LocalConn* c) {
  int directReads = 0;
  for (;;) {
    if (c->writer) return true;  // the rest waits until the writer is done
    if (c->closing) return false;
    if (OutputOverHigh(c)) {
      // The rest waits until the peer has read enough of its answers.
      UpdateFlow(c);
      return true;
    }
    if (c->phase == 0) {
      size_t n = bufferevent_read(c->bev, c->headBuf + c->headCount, MsgHead::kSize - c->headCount);
      if (n == 0 && c->bulk && directReads++ < kDirectReadsPerTurn && FillInputFromSocket(c) > 0) {
        continue;
      }
      if (n == 0) return true;
      c->headCount += n;
      if (c->headCount < MsgHead::kSize) continue;
      c->head = MsgHead::Decode(c->headBuf);
      c->headCount = 0;
      if (!PassesOpcodeCheck(c->head.opcode, c->origin)) {
        // Closed before its body is read; nothing is answered.
        if (IsTrayOpcode(c->head.opcode) && c->origin != Origin::Loopback) {
          TLOG(MOD_COMMLIB, LOG_WARNING,
               "opcode 0x%04X from %s refused: tray requests are served only from this PC; "
               "connection closed.",
               c->head.opcode, c->peer.c_str());
        } else {
          TLOG(MOD_COMMLIB, LOG_WARNING,
               "opcode 0x%04X from %s is not registered; connection closed.", c->head.opcode,
               c->peer.c_str());
        }
        CloseWhenFlushed(c);
        return false;
      }
      c->bodyLen = c->head.length > MsgHead::kSize ? c->head.length - MsgHead::kSize : 0;
      c->bodyCount = 0;
      if (c->bodyLen > 0) {
        // Filled whole before the handler sees it.
        c->body = static_cast<uint8_t*>(std::malloc(c->bodyLen));
        if (c->body == nullptr) {
          TLOG(MOD_COMMLIB, LOG_ERROR, "no memory for a body of %zu bytes from %s; closed.",
               c->bodyLen, c->peer.c_str());
          CloseConn(c);
          return false;
        }
      }
      c->phase = 1;
    }

    if (c->bodyCount < c->bodyLen) {
      size_t n = bufferevent_read(c->bev, c->body + c->bodyCount, c->bodyLen - c->bodyCount);
      if (n == 0 && c->bodyLen >= kBulkBodyBytes && directReads++ < kDirectReadsPerTurn &&
          FillInputFromSocket(c) > 0) {
        continue;
      }
      if (n == 0) return true;
      c->bodyCount += n;
      continue;
    }

    // A whole message: take it out of the reader state before the handler runs.
    MsgHead head = c->head;
    uint8_t* body = c->body;
    auto bodyLen = static_cast<uint32_t>(c->bodyLen);
    c->bulk = c->bodyLen >= kBulkBodyBytes;
    c->body = nullptr;
    c->bodyLen = c->bodyCount = 0;
    c->phase = 0;

    uint8_t* reply = nullptr;
    int32_t replyLen = 0;
    Dispatch(&head, body, bodyLen, c->bev, &reply, &replyLen, -1, 1, c->origin);
    if (reply != nullptr && replyLen > 0 &&
        bufferevent_write(c->bev, reply, static_cast<size_t>(replyLen)) != 0) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "Write return message error.");
    }
    FreeReply(reply);
    std::free(body);
    if (c->writer && !PumpWriter(c)) {
      HoldForWriter(c);
      return true;
    }
  }
}

void ReadCb(bufferevent* /*bev*/, void* arg) {
  auto* c = static_cast<LocalConn*>(arg);
  c->lastRxMs = NowMs();
  ServeBuffered(c);
}

void WriteCb(bufferevent* /*bev*/, void* arg) {
  auto* c = static_cast<LocalConn*>(arg);
  if (c->closing) {
    if (evbuffer_get_length(bufferevent_get_output(c->bev)) == 0) CloseConn(c);
    return;
  }
  if (c->writer) {
    if (!PumpWriter(c)) return;
  } else if (c->reading) {
    return;
  }
  UpdateFlow(c);
  // Requests that arrived meanwhile may already sit in the input buffer.
  if (c->reading) ServeBuffered(c);
}

void EventCb(bufferevent* /*bev*/, short events, void* arg) {
  if ((events & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) == 0) return;
  auto* c = static_cast<LocalConn*>(arg);
  // The end of the peer's stream: it may still be reading its answers.
  if ((events & (BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) == 0 && !c->closing && !c->writer) {
    CloseWhenFlushed(c);
    return;
  }
  CloseConn(c);
}

void AcceptCb(evconnlistener* /*listener*/, evutil_socket_t fd, sockaddr* peer, int peerLen,
              void* arg) {
  auto* s = static_cast<Server*>(arg);
  bufferevent* bev = bufferevent_socket_new(s->base, fd, BEV_OPT_CLOSE_ON_FREE);
  if (bev == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "Couldn't open socket event.");
    evutil_closesocket(fd);
    return;
  }
  auto* c = new (std::nothrow) LocalConn;
  if (c == nullptr) {
    bufferevent_free(bev);
    return;
  }
  c->server = s;
  c->bev = bev;
  c->id = g_nextConnId.fetch_add(1);
  // The address accept() reported, which is the connection's peer name.
  OriginClassifier classify = g_classifier.load();
  if (classify == nullptr) classify = OS_ClassifyPeer;
  c->origin = classify(peer, static_cast<socklen_t>(peerLen));
  Link(s, c);

  c->peer = PeerAddressText(peer, static_cast<socklen_t>(peerLen));
  c->lastRxMs = c->lastTxMs = c->readSinceMs = NowMs();
  bufferevent_setcb(bev, ReadCb, WriteCb, EventCb, c);
  c->outputWatch = evbuffer_add_cb(bufferevent_get_output(bev), OutputWatchCb, c);
  c->timer = evtimer_new(s->base, TimerCb, c);
  if (c->timer == nullptr || c->outputWatch == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "Couldn't open socket event.");
    CloseConn(c);
    return;
  }
  // A successful accept: the next error pauses the listener for the shortest time again.
  s->pauseMs = 0;
  bufferevent_enable(bev, EV_READ | EV_WRITE);
  const unsigned partial = g_partialMs.load();
  const unsigned idle = g_idleTimeoutMs.load();
  if (partial > 0 || idle > 0) {
    ArmTimer(c, partial > 0 && idle > 0 ? std::min(partial, idle) : std::max(partial, idle));
  }
}

// An accept failed (out of descriptors, say): the listener pauses instead of being
// called again at once for the same error, and resumes after the pause.
void AcceptErrorCb(evconnlistener* listener, void* arg) {
  auto* s = static_cast<Server*>(arg);
  int err = EVUTIL_SOCKET_ERROR();
  TLOG(MOD_COMMLIB, LOG_ERROR, "Got an error %d (%s) on the listener.Shutting down.", err,
       evutil_socket_error_to_string(err));
  const unsigned first = std::max(g_acceptPauseMs.load(), 1u);
  const unsigned longest = std::max(g_acceptPauseMaxMs.load(), first);
  s->pauseMs = s->pauseMs == 0 ? first : std::min(longest, s->pauseMs * 2);
  TLOG(MOD_COMMLIB, LOG_WARNING, "the listener pauses for %u ms.", s->pauseMs);
  if (s->resumeEv == nullptr) return;
  evconnlistener_disable(listener);
  timeval tv = MsToTimeval(s->pauseMs);
  event_add(s->resumeEv, &tv);
}

void ResumeCb(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  auto* s = static_cast<Server*>(arg);
  evconnlistener_enable(s->listener);
}

void StopCb(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  event_base_loopbreak(static_cast<event_base*>(arg));
}

// Pumps the writers OS_WakeConnWriter named. A connection is looked up by its id each
// time, since serving one connection may close it.
void WakeCb(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  auto* s = static_cast<Server*>(arg);
  std::vector<uint64_t> ids;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> posts;
  {
    std::lock_guard<std::mutex> lock(g_controlMutex);
    ids.swap(g_wakeIds);
    posts.swap(g_posts);
  }
  for (const auto& [id, msg] : posts) {
    LocalConn* c = s->conns;
    while (c != nullptr && c->id != id) c = c->next;
    if (c != nullptr && bufferevent_write(c->bev, msg.data(), msg.size()) != 0) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "Write return message error.");
    }
  }
  for (uint64_t id : ids) {
    LocalConn* c = s->conns;
    while (c != nullptr && c->id != id) c = c->next;
    if (c == nullptr || !c->writer || !PumpWriter(c)) continue;
    UpdateFlow(c);
    if (c->reading) ServeBuffered(c);
  }
}

void ConsumeStopRequest() {
  std::lock_guard<std::mutex> lock(g_controlMutex);
  g_stopEvent = nullptr;
  g_stopRequested = false;
  g_wakeEvent = nullptr;
  g_wakeIds.clear();
  g_posts.clear();
}

}  // namespace

LocalServerState OS_LocalServerState() { return g_state.load(); }

void OS_ResetLocalServerState() {
  g_state = LocalServerState::Pending;
  std::lock_guard<std::mutex> lock(g_controlMutex);
  g_stopRequested = false;
}

void OS_StopLocalServer() {
  std::lock_guard<std::mutex> lock(g_controlMutex);
  g_stopRequested = true;
  if (g_stopEvent != nullptr) event_active(g_stopEvent, EV_READ, 0);
}

void OS_WakeConnWriter(uint64_t connId) {
  std::lock_guard<std::mutex> lock(g_controlMutex);
  if (g_wakeEvent == nullptr) return;
  g_wakeIds.push_back(connId);
  event_active(g_wakeEvent, EV_READ, 0);
}

void OS_SendOnConn(uint64_t connId, const void* msg, size_t len) {
  if (msg == nullptr || len == 0) return;
  std::lock_guard<std::mutex> lock(g_controlMutex);
  if (g_wakeEvent == nullptr) return;
  const auto* bytes = static_cast<const uint8_t*>(msg);
  g_posts.emplace_back(connId, std::vector<uint8_t>(bytes, bytes + len));
  event_active(g_wakeEvent, EV_READ, 0);
}

void OS_SetConnCloseHook(ConnCloseHook hook) { g_closeHook = hook; }

bool OS_GetConnInfo(bufferevent* conn, uint64_t* id, Origin* origin) {
  if (conn == nullptr) return false;
  bufferevent_data_cb readCb = nullptr;
  void* arg = nullptr;
  bufferevent_getcb(conn, &readCb, nullptr, nullptr, &arg);
  if (readCb != ReadCb || arg == nullptr) return false;
  const auto* c = static_cast<const LocalConn*>(arg);
  if (id != nullptr) *id = c->id;
  if (origin != nullptr) *origin = c->origin;
  return true;
}

bool OS_AttachConnWriter(bufferevent* conn, std::unique_ptr<ConnWriter> writer) {
  if (conn == nullptr || !writer) return false;
  bufferevent_data_cb readCb = nullptr;
  void* arg = nullptr;
  bufferevent_getcb(conn, &readCb, nullptr, nullptr, &arg);
  if (readCb != ReadCb || arg == nullptr) return false;
  auto* c = static_cast<LocalConn*>(arg);
  if (c->writer) return false;
  c->writer = std::move(writer);
  return true;
}

void OS_SetOriginClassifier(OriginClassifier classifier) { g_classifier = classifier; }

void OS_SetLocalIdleTimeout(unsigned ms) { g_idleTimeoutMs = ms; }

void OS_SetLocalServerLimits(const LocalServerLimits& limits) {
  g_partialMs = limits.partialMs;
  g_idleTimeoutMs = limits.idleMs;
  g_outputHighBytes = limits.outputHighBytes;
  g_acceptPauseMs = limits.acceptPauseMs;
  g_acceptPauseMaxMs = limits.acceptPauseMaxMs;
}

LocalServerLimits OS_GetLocalServerLimits() {
  LocalServerLimits l;
  l.partialMs = g_partialMs.load();
  l.idleMs = g_idleTimeoutMs.load();
  l.outputHighBytes = g_outputHighBytes.load();
  l.acceptPauseMs = g_acceptPauseMs.load();
  l.acceptPauseMaxMs = g_acceptPauseMaxMs.load();
  return l;
}

LocalServerLimits LocalServerLimitsFromEnvironment() {
  LocalServerLimits l;
  auto value = [](const char* name, long long max, auto* out) {
    if (auto v = EnvInteger(name, 0, max)) *out = static_cast<std::remove_pointer_t<decltype(out)>>(*v);
  };
  value(kConnPartialEnv, INT32_MAX, &l.partialMs);
  value(kConnIdleEnv, INT32_MAX, &l.idleMs);
  value(kConnOutputHighEnv, INT64_MAX, &l.outputHighBytes);
  value(kAcceptPauseEnv, INT32_MAX, &l.acceptPauseMs);
  l.acceptPauseMaxMs = std::max(l.acceptPauseMaxMs, l.acceptPauseMs);
  return l;
}

void OS_RunEvent(void* /*arg*/) {
  // libevent writes with writev, which raises SIGPIPE on a peer that has gone.
  platform::IgnoreSigpipe();
  // Makes the base lockable, so that another thread can wake it to stop.
  EnableLibeventThreads();

  Server s;
  s.base = event_base_new();
  event* stopEv = s.base == nullptr ? nullptr : event_new(s.base, -1, 0, StopCb, s.base);
  event* wakeEv = stopEv == nullptr ? nullptr : event_new(s.base, -1, 0, WakeCb, &s);
  if (wakeEv == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "Couldn't open event base.");
    if (stopEv != nullptr) event_free(stopEv);
    if (s.base != nullptr) event_base_free(s.base);
    ConsumeStopRequest();
    g_state = LocalServerState::Failed;
    return;
  }

  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_ANY);
  sin.sin_port = htons(g_LocalPort.load());
  s.listener = evconnlistener_new_bind(
      s.base, AcceptCb, &s, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC, -1,
      reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  if (s.listener == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "Couldn't create listener.");
    event_free(wakeEv);
    event_free(stopEv);
    event_base_free(s.base);
    ConsumeStopRequest();
    g_state = LocalServerState::Failed;
    return;
  }

  if (g_LocalPort.load() == 0) {
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (getsockname(evconnlistener_get_fd(s.listener), reinterpret_cast<sockaddr*>(&bound), &len) ==
        0) {
      g_LocalPort = ntohs(bound.sin_port);
    }
  }
  TLOG(MOD_COMMLIB, LOG_DEBUG, "Bind port %d.", g_LocalPort.load());
  evconnlistener_set_error_cb(s.listener, AcceptErrorCb);
  s.resumeEv = evtimer_new(s.base, ResumeCb, &s);

  bool stopEarly;
  {
    std::lock_guard<std::mutex> lock(g_controlMutex);
    stopEarly = g_stopRequested;
    if (!stopEarly) {
      g_stopEvent = stopEv;
      g_wakeEvent = wakeEv;
      g_wakeIds.clear();
    }
  }
  g_state = LocalServerState::Running;
  if (!stopEarly) event_base_dispatch(s.base);
  ConsumeStopRequest();
  TLOG(MOD_COMMLIB, LOG_INFO, "%s.", "exit local server");

  if (s.resumeEv != nullptr) event_free(s.resumeEv);
  evconnlistener_free(s.listener);
  while (s.conns != nullptr) CloseConn(s.conns);
  event_free(wakeEv);
  event_free(stopEv);
  event_base_free(s.base);
  g_state = LocalServerState::Pending;
}
