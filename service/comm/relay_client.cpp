#include "comm/relay_client.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <event2/thread.h>
#include <event2/util.h>

#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/dispatch.h"
#include "comm/host_identity.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "platform/env_setting.h"
#include "platform/net.h"

std::mutex g_MutexInterLine;

namespace {

// The server's own answers: 8-byte heads naming the command they answer.
bool IsAnswerCommand(uint16_t command) {
  return command == SV_INTER_LINE_REQ || command == SV_INTER_LINE_DATA ||
         command == SV_INTER_LINE_DOWN_LOAD;
}

std::mutex g_configMutex;
RelayClientConfig g_config;  // guarded by g_configMutex

// The relay connection other threads may write on; guarded by g_MutexInterLine.
bufferevent* g_openConn = nullptr;
std::string g_openOwnId;
size_t g_openMaxPending = 0;
std::atomic<bool> g_connected{false};

// One relay connection. Everything here belongs to the connection's thread.
struct RelayConn {
  std::string ownId;
  event_base* base = nullptr;
  evdns_base* dns = nullptr;
  bufferevent* bev = nullptr;
  event* keepAlive = nullptr;
  event* stopCheck = nullptr;
  event* connectTimer = nullptr;
  bool connected = false;
  bool ended = false;
};

timeval Timeval(unsigned ms) {
  return timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
}

void EnableLibeventThreads() {
  static std::once_flag once;
  std::call_once(once, [] { evthread_use_pthreads(); });
}

// The bufferevent to write on for conn (null: the open one), or null when conn is not
// the open relay connection. Call with g_MutexInterLine held.
bufferevent* OpenConnLocked(bufferevent* conn) {
  if (g_openConn == nullptr) return nullptr;
  if (conn != nullptr && conn != g_openConn) return nullptr;
  return g_openConn;
}

// Call with g_MutexInterLine held.
int WriteLocked(bufferevent* bev, const void* data, size_t len) {
  size_t pending = evbuffer_get_length(bufferevent_get_output(bev));
  if (pending + len > g_openMaxPending) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "relay output holds %zu bytes; frame of %zu bytes not sent.",
         pending, len);
    return -1;
  }
  return bufferevent_write(bev, data, len) == 0 ? 0 : -1;
}

void KeepAliveFrame(const std::string& ownId, uint8_t out[ServerMsgHead::kSize]) {
  ServerMsgHead{static_cast<uint16_t>(ServerMsgHead::kSize), 6, SV_INTER_LINE_REQ, ownId}.Encode(
      out);
}

int SendKeepAlive(RelayConn* rc) {
  uint8_t frame[ServerMsgHead::kSize];
  KeepAliveFrame(rc->ownId, frame);
  return OS_WriteRelayFrame(rc->bev, frame, sizeof frame);
}

// Ends the connection's loop; OS_RunEventClient frees everything after it.
void End(RelayConn* rc) {
  if (rc->ended) return;
  rc->ended = true;
  event_base_loopbreak(rc->base);
}

// One whole SV_INTER_LINE_DATA frame: frame.size() is its head's length.
void ServeFrame(RelayConn* rc, std::vector<uint8_t>& frame) {
  uint8_t* body = frame.data() + ServerMsgHead::kSize;
  size_t bodyLen = frame.size() - ServerMsgHead::kSize;
  TLOG(MOD_COMMLIB, LOG_DEBUG, "read info lens %d", static_cast<int>(frame.size()));
  if (bodyLen < kRelayPrefixSize) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "relay frame of %zu bytes dropped: no whole message head.",
         frame.size());
    return;
  }
  // The handler sees the sender's id in place of the 64 bytes the server put there; the
  // last byte stays zero, so the id reads as text of at most 63 bytes.
  std::memcpy(body, frame.data() + 6, kRelayIdSize);
  body[kRelayIdSize - 1] = 0;
  MsgHead inner = MsgHead::Decode(body + kRelayIdSize);
  if (inner.length < MsgHead::kSize || inner.length > bodyLen - kRelayIdSize) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "relayed message of length %u dropped: the frame holds %zu bytes.",
         inner.length, bodyLen - kRelayIdSize);
    return;
  }
  if (!OS_IsServed(inner.opcode, Origin::Relay) && inner.opcode != SV_INTER_LINE_REQ &&
      inner.opcode != SV_INTER_LINE_DATA) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "opcode error. %d", inner.opcode);
    return;
  }

  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  auto handlerLen = static_cast<uint32_t>(kRelayIdSize + inner.length);
  Dispatch(&inner, body, handlerLen, rc->bev, &reply, &replyLen, -1, 0, Origin::Relay);
  // The thumbnail handler writes its frames itself; anything left in the slot stays unsent.
  if (reply != nullptr && replyLen > 0 && inner.opcode != OP_REQ_DOWNLOAD_THUMB_NIAL) {
    if (static_cast<size_t>(replyLen) > kRelayMaxMessage) {
      TLOG(MOD_COMMLIB, LOG_ERROR,
           "reply of %d bytes to opcode %d is too long for the relay; not sent.", replyLen,
           inner.opcode);
    } else if (OS_SendRelayMessage(rc->bev, body, reply, static_cast<size_t>(replyLen)) != 0) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "Write return message error.");
    }
  }
  FreeReply(reply);
}

// Serves every whole frame buffered on the connection; a partial frame stays in the input
// buffer until the rest arrives.
void ReadCb(bufferevent* bev, void* arg) {
  auto* rc = static_cast<RelayConn*>(arg);
  evbuffer* in = bufferevent_get_input(bev);
  std::vector<uint8_t> frame;
  while (!rc->ended) {
    size_t avail = evbuffer_get_length(in);
    if (avail < 6) return;
    uint8_t raw[6];
    evbuffer_copyout(in, raw, sizeof raw);
    uint16_t length = wire::GetU16(raw);
    uint16_t command = wire::GetU16(raw + 4);
    if (length < ServerMsgHead::kSize) {
      // No frame is shorter than its head: this is one of the server's 8-byte answers, or
      // the stream is out of step and cannot be read further.
      if (!IsAnswerCommand(command)) {
        TLOG(MOD_COMMLIB, LOG_ERROR, "unreadable relay head: length %u, command 0x%04X.", length,
             command);
        End(rc);
        return;
      }
      if (avail < ServerReplyHead::kSize) return;
      evbuffer_drain(in, ServerReplyHead::kSize);
      continue;
    }
    if (avail < length) return;
    if (command != SV_INTER_LINE_DATA) {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "relay frame of command 0x%04X (%u bytes) skipped.", command,
           length);
      evbuffer_drain(in, length);
      continue;
    }
    try {
      frame.resize(length);
    } catch (const std::bad_alloc&) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "Allocate memory error.");
      End(rc);
      return;
    }
    evbuffer_remove(in, frame.data(), length);
    ServeFrame(rc, frame);
  }
}

void EventCb(bufferevent* /*bev*/, short events, void* arg) {
  auto* rc = static_cast<RelayConn*>(arg);
  if (events & BEV_EVENT_CONNECTED) {
    rc->connected = true;
    g_connected = true;
    if (rc->connectTimer != nullptr) event_del(rc->connectTimer);
    if (SendKeepAlive(rc) != 0) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "Write message error.");
    } else {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "begain interline");
    }
    return;
  }
  if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "get an interline error, exits");
    End(rc);
  }
}

void KeepAliveCb(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  if (SendKeepAlive(static_cast<RelayConn*>(arg)) != 0) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "send interline req in timer err");
  }
}

void StopCheckCb(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  if (g_StopFlag.load() != 0) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "stop flag set; closing the interline.");
    End(static_cast<RelayConn*>(arg));
  }
}

void ConnectTimeoutCb(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  auto* rc = static_cast<RelayConn*>(arg);
  if (rc->connected) return;
  TLOG(MOD_COMMLIB, LOG_DEBUG, "connect interline server time out.");
  End(rc);
}

// Frees what exists, in the order the connection needs: the bufferevent (with the socket)
// once no other thread can reach it, the timers, the resolver, the base.
void Release(RelayConn* rc, evutil_socket_t fd) {
  if (rc->bev != nullptr) {
    {
      std::lock_guard<std::mutex> lock(g_MutexInterLine);
      if (g_openConn == rc->bev) g_openConn = nullptr;
    }
    g_connected = false;
    bufferevent_free(rc->bev);
  } else if (fd >= 0) {
    evutil_closesocket(fd);
  }
  if (rc->keepAlive != nullptr) event_free(rc->keepAlive);
  if (rc->stopCheck != nullptr) event_free(rc->stopCheck);
  if (rc->connectTimer != nullptr) event_free(rc->connectTimer);
  // A deferred callback still queued holds a reference to the bufferevent, and freeing
  // the base would drop it unrun, leaking the bufferevent and its socket. One pass of the
  // loop runs it (the callbacks are cleared, so nothing of ours runs) and the finalizer.
  if (rc->base != nullptr) event_base_loop(rc->base, EVLOOP_NONBLOCK);
  if (rc->dns != nullptr) evdns_base_free(rc->dns, 0);
  if (rc->base != nullptr) event_base_free(rc->base);
}

}  // namespace

void OS_SetRelayConfig(const RelayClientConfig& config) {
  std::lock_guard<std::mutex> lock(g_configMutex);
  g_config = config;
}

RelayClientConfig RelayClientConfigFromEnvironment() {
  RelayClientConfig c;
  if (auto v = EnvInteger(kRelayRetryEnv, 1, INT32_MAX)) c.retryMs = static_cast<unsigned>(*v);
  return c;
}

bool OS_RelayConnected() { return g_connected.load(); }

int OS_WriteRelayFrame(bufferevent* conn, const void* frame, size_t len) {
  if (frame == nullptr && len > 0) return -1;
  std::lock_guard<std::mutex> lock(g_MutexInterLine);
  bufferevent* bev = OpenConnLocked(conn);
  if (bev == nullptr) return -1;
  return WriteLocked(bev, frame, len);
}

bool BuildRelayReply(const std::string& ownId, const uint8_t* target, const void* msg, size_t len,
                     std::vector<uint8_t>* out) {
  out->clear();
  if (len > kRelayMaxMessage || target == nullptr || (msg == nullptr && len > 0)) return false;
  out->assign(kRelayReplyHeadSize + len, 0);
  ServerMsgHead{static_cast<uint16_t>(out->size()), 6, SV_INTER_LINE_DATA, ownId}.Encode(
      out->data());
  // The target goes back byte for byte as the server named it, at most 63 bytes.
  size_t idLen = strnlen(reinterpret_cast<const char*>(target), kRelayIdSize - 1);
  std::memcpy(out->data() + ServerMsgHead::kSize, target, idLen);
  if (len > 0) std::memcpy(out->data() + kRelayReplyHeadSize, msg, len);
  return true;
}

int OS_SendRelayMessage(bufferevent* conn, const uint8_t* target, const void* msg, size_t len) {
  if (len > kRelayMaxMessage) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "message of %zu bytes is too long for the relay; not sent.", len);
    return -1;
  }
  std::vector<uint8_t> frame;
  std::lock_guard<std::mutex> lock(g_MutexInterLine);
  bufferevent* bev = OpenConnLocked(conn);
  if (bev == nullptr) return -1;
  if (!BuildRelayReply(g_openOwnId, target, msg, len, &frame)) return -1;
  return WriteLocked(bev, frame.data(), frame.size());
}

bool OS_RunEventClient(const std::string& host, uint16_t port, const RelayClientConfig& config) {
  // libevent writes with writev, which raises SIGPIPE on a peer that has gone.
  platform::IgnoreSigpipe();
  // Other threads write on the connection (bufferevents with their own lock), which wakes
  // the base; that needs libevent's threading before the base exists.
  EnableLibeventThreads();

  RelayConn rc;
  rc.ownId.assign(g_MacBuf, strnlen(g_MacBuf, kRelayIdSize - 1));

  evutil_socket_t fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "creat interline sock error");
    return false;
  }
  rc.base = event_base_new();
  if (rc.base == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "event_base_new error.");
    Release(&rc, fd);
    return false;
  }
  rc.dns = evdns_base_new(rc.base, EVDNS_BASE_INITIALIZE_NAMESERVERS);
  if (rc.dns == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "evdns_base_new error.");
    Release(&rc, fd);
    return false;
  }
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "set sock keep alive error");
    Release(&rc, fd);
    return false;
  }
  // Requests and their answers are small and interactive.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  evutil_make_socket_nonblocking(fd);
  // The callbacks run without the bufferevent's lock: they take g_MutexInterLine to write,
  // and other threads hold g_MutexInterLine while they take the bufferevent's lock.
  rc.bev = bufferevent_socket_new(rc.base, fd,
                                  BEV_OPT_CLOSE_ON_FREE | BEV_OPT_THREADSAFE |
                                      BEV_OPT_DEFER_CALLBACKS | BEV_OPT_UNLOCK_CALLBACKS);
  if (rc.bev == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "bufferevent_socket_new error.");
    Release(&rc, fd);
    return false;
  }
  // No frame is longer than 65,535 bytes, so the input never needs to hold more.
  bufferevent_setwatermark(rc.bev, EV_READ, 0, 0xFFFF);
  bufferevent_setcb(rc.bev, ReadCb, nullptr, EventCb, &rc);
  if (bufferevent_enable(rc.bev, EV_READ | EV_WRITE) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "bufferevent_enable error.");
    Release(&rc, fd);
    return false;
  }
  rc.keepAlive = event_new(rc.base, -1, EV_PERSIST, KeepAliveCb, &rc);
  rc.stopCheck = event_new(rc.base, -1, EV_PERSIST, StopCheckCb, &rc);
  rc.connectTimer = evtimer_new(rc.base, ConnectTimeoutCb, &rc);
  if (rc.keepAlive == nullptr || rc.stopCheck == nullptr || rc.connectTimer == nullptr) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "event_new error.");
    Release(&rc, fd);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g_MutexInterLine);
    g_openConn = rc.bev;
    g_openOwnId = rc.ownId;
    g_openMaxPending = config.maxPendingOutput;
  }
  if (bufferevent_socket_connect_hostname(rc.bev, rc.dns, AF_INET, host.c_str(), port) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "bufferevent_socket_connect_hostname error.");
    Release(&rc, fd);
    return false;
  }
  timeval keepAlive = Timeval(std::max(config.keepAliveMs, 1u));
  timeval stopCheck = Timeval(std::max(config.stopCheckMs, 1u));
  timeval connectLimit = Timeval(std::max(config.connectTimeoutMs, 1u));
  event_add(rc.keepAlive, &keepAlive);
  event_add(rc.stopCheck, &stopCheck);
  event_add(rc.connectTimer, &connectLimit);

  TLOG(MOD_COMMLIB, LOG_DEBUG, "interline loop");
  // A resolution or connect failure may already have ended the connection.
  if (!rc.ended && g_StopFlag.load() == 0) event_base_dispatch(rc.base);
  TLOG(MOD_COMMLIB, LOG_DEBUG, "interline exits");
  bool wasConnected = rc.connected;
  Release(&rc, fd);
  return wasConnected;
}

void StartRecvInterLine(void* arg) {
  RelayClientConfig config;
  if (arg != nullptr) {
    config = *static_cast<const RelayClientConfig*>(arg);
  } else {
    std::lock_guard<std::mutex> lock(g_configMutex);
    config = g_config;
  }
  if (config.host.empty()) {
    GetServerInfo(config.host, config.port);
    if (config.host.size() > 31) config.host.resize(31);
  }
  while (g_StopFlag.load() == 0) {
    if (g_LogOnRtn.load() == 0) {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "begain run interline.");
      OS_RunEventClient(config.host, config.port, config);
      TLOG(MOD_COMMLIB, LOG_DEBUG, "end run interline.");
    }
    if (!SleepUnlessStopped(config.retryMs)) break;
  }
}
