#include "central/central_server.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <json/json.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "central/records.h"
#include "platform/net.h"

namespace central {

namespace {

// evthread must be set up before the first event base, once per process.
void UseThreads() {
  static const bool done = [] {
    evthread_use_pthreads();
    return true;
  }();
  (void)done;
}

timeval Timeval(int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

// The peer's IP address as text, and "ip:port" in *peer.
std::string AddressText(const sockaddr* addr, int len, std::string* peer) {
  if (addr == nullptr || addr->sa_family != AF_INET || len < static_cast<int>(sizeof(sockaddr_in))) {
    *peer = "?";
    return "?";
  }
  const auto* sin = reinterpret_cast<const sockaddr_in*>(addr);
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &sin->sin_addr, ip, sizeof ip);
  *peer = std::string(ip) + ":" + std::to_string(ntohs(sin->sin_port));
  return ip;
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// ---- Connection

bool Connection::Send(const uint8_t* data, size_t len) {
  if (m_closing) return false;
  return bufferevent_write(m_bev, data, len) == 0;
}

bool Connection::Reply(uint16_t command, uint16_t result, const uint8_t* payload, size_t len) {
  if (len > 0xFFFFu - ServerReplyHead::kSize) return false;
  std::vector<uint8_t> out(ServerReplyHead::kSize + len);
  ServerReplyHead{static_cast<uint16_t>(out.size()), 6, command, result}.Encode(out.data());
  if (len > 0) std::memcpy(out.data() + ServerReplyHead::kSize, payload, len);
  return Send(out.data(), out.size());
}

void Connection::CloseAfterWrite() {
  if (m_closing) return;
  m_closing = true;
  bufferevent_disable(m_bev, EV_READ);
  if (m_frameTimer != nullptr) evtimer_del(m_frameTimer);  // nothing more is read
  // With nothing left to write no write callback comes, and with reading off no read
  // callback either: the connection is freed on the loop's next turn.
  if (Pending() == 0) m_server->FreeSoon(m_id);
}

size_t Connection::Pending() const { return evbuffer_get_length(bufferevent_get_output(m_bev)); }

void Connection::SetIdleTimeout(int ms) {
  if (ms <= 0) {
    bufferevent_set_timeouts(m_bev, nullptr, nullptr);
    return;
  }
  timeval tv = Timeval(ms);
  bufferevent_set_timeouts(m_bev, &tv, &tv);
}

void Connection::PauseReading() {
  if (m_paused || m_closing) return;
  m_paused = true;
  bufferevent_disable(m_bev, EV_READ);
  // The peer is not to blame for a frame the server holds back; it gets a full limit
  // again once reading resumes.
  if (m_frameTimer != nullptr) evtimer_del(m_frameTimer);
}

void Connection::ResumeReading() {
  if (!m_paused) return;
  m_paused = false;
  if (m_closing) return;
  if (!m_eof) bufferevent_enable(m_bev, EV_READ);
  // Frames that arrived before the pause are handled on the loop's next turn, not
  // inside the caller's handler.
  bufferevent_trigger(m_bev, EV_READ, BEV_TRIG_IGNORE_WATERMARKS | BEV_TRIG_DEFER_CALLBACKS);
}

// ---- CentralServer

CentralServer::CentralServer(CentralOptions options)
    : m_options(std::move(options)), m_stations(m_options.maxStations) {
  if (m_options.maxFrame < ServerMsgHead::kSize) m_options.maxFrame = ServerMsgHead::kSize;
  if (m_options.maxFrame > 0xFFFF) m_options.maxFrame = 0xFFFF;
  RegisterStationHandlers(*this);
  m_relay = std::make_unique<RelayRouter>(*this, m_options.relay);
  m_transfer = std::make_unique<TransferRouter>(*this, *m_relay, m_options.transfer);
}

CentralServer::~CentralServer() {
  while (!m_connections.empty()) Free(*m_connections.begin()->second);
  for (auto& [key, later] : m_later) event_free(later->ev);
  m_later.clear();
  if (m_stateTimer != nullptr) event_free(m_stateTimer);
  if (m_freeSoonEvent != nullptr) event_free(m_freeSoonEvent);
  if (m_listener != nullptr) evconnlistener_free(m_listener);
  if (m_base != nullptr) event_base_free(m_base);
}

void CentralServer::SetHandler(uint16_t command, Handler handler) {
  m_handlers[command] = std::move(handler);
}

void CentralServer::AddCloseHook(CloseHook hook) { m_closeHooks.push_back(std::move(hook)); }

bool CentralServer::Start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (m_base != nullptr) return fail("already started");
  if (m_options.accountDb.empty()) return fail("no account store given");
  std::string why;
  if (!m_accounts.Open(m_options.accountDb, &why)) return fail("account store " + why);

  uint32_t addr = 0;
  if (platform::ResolveIpv4(m_options.listenHost, &addr) != 0)
    return fail("cannot resolve listen address " + m_options.listenHost);

  UseThreads();
  // libevent writes with writev, which raises SIGPIPE on a peer that went away.
  platform::IgnoreSigpipe();
  // Precise timers: the answer delays of RunLater are a millisecond or two, which the
  // loop's default millisecond rounding of its waits would stretch.
  event_config* config = event_config_new();
  if (config != nullptr) {
    event_config_set_flag(config, EVENT_BASE_FLAG_PRECISE_TIMER);
    m_base = event_base_new_with_config(config);
    event_config_free(config);
  }
  if (m_base == nullptr) m_base = event_base_new();
  if (m_base == nullptr) return fail("event_base_new failed");

  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addr;
  sin.sin_port = htons(m_options.listenPort);
  m_listener = evconnlistener_new_bind(
      m_base, &CentralServer::AcceptCb, this,
      LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC, 128,
      reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  if (m_listener == nullptr) {
    return fail("cannot listen on " + m_options.listenHost + ":" +
                std::to_string(m_options.listenPort) + ": " + std::strerror(errno));
  }
  evconnlistener_set_error_cb(m_listener, &CentralServer::AcceptErrorCb);
  sockaddr_in bound{};
  socklen_t boundLen = sizeof bound;
  getsockname(evconnlistener_get_fd(m_listener), reinterpret_cast<sockaddr*>(&bound), &boundLen);
  m_port = ntohs(bound.sin_port);

  m_stateTimer = evtimer_new(m_base, &CentralServer::StateTimerCb, this);
  if (m_stateTimer == nullptr) return fail("evtimer_new failed");
  m_freeSoonEvent = evtimer_new(m_base, &CentralServer::FreeSoonCb, this);
  if (m_freeSoonEvent == nullptr) return fail("evtimer_new failed");
  return true;
}

std::string CentralServer::ListenAddress() const {
  return m_options.listenHost + ":" + std::to_string(m_port);
}

void CentralServer::Run() {
  if (m_base == nullptr) return;
  if (!m_stopRequested) event_base_dispatch(m_base);
  if (m_stateTimer != nullptr) event_del(m_stateTimer);
  m_stateTimerPending = false;
  if (!m_options.stateFile.empty()) WriteState();
  while (!m_connections.empty()) Free(*m_connections.begin()->second);
}

void CentralServer::Stop() {
  m_stopRequested = true;
  if (m_base != nullptr) event_base_loopexit(m_base, nullptr);
}

int64_t CentralServer::Now() const {
  if (m_options.clock) return m_options.clock();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void CentralServer::Log(const char* fmt, ...) {
  if (!m_options.log) return;
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::lock_guard<std::mutex> lock(m_logMutex);
  m_options.log(std::string("[") + stamp + "] " + text);
}

void CentralServer::MarkStateChanged() {
  if (m_options.stateFile.empty() || m_stateTimer == nullptr || m_stateTimerPending) return;
  timeval tv = Timeval(m_options.stateWriteDelayMs);
  if (evtimer_add(m_stateTimer, &tv) == 0) m_stateTimerPending = true;
}

bool CentralServer::WriteState() {
  if (m_options.stateFile.empty()) return true;
  Json::Value root(Json::objectValue);
  root["listen"] = ListenAddress();
  root["time"] = Json::Int64(Now());
  Json::Value list(Json::arrayValue);
  for (const auto& s : m_stations.All()) list.append(ToJson(s));
  root["stations"] = list;

  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  std::string tmp = m_options.stateFile + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << Json::writeString(builder, root) << "\n";
    if (!out) {
      Log("cannot write the state file %s", tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), m_options.stateFile.c_str()) != 0) {
    Log("cannot replace the state file %s: %s", m_options.stateFile.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

Connection* CentralServer::FindConnection(uint64_t id) {
  auto it = m_connections.find(id);
  return it == m_connections.end() ? nullptr : it->second.get();
}

void CentralServer::RunLater(int ms, std::function<void()> fn) {
  if (ms <= 0 || m_base == nullptr) {
    fn();
    return;
  }
  auto later = std::make_unique<Later>();
  later->server = this;
  later->fn = std::move(fn);
  later->ev = evtimer_new(m_base, &CentralServer::LaterCb, later.get());
  timeval tv = Timeval(ms);
  // A common time-out keeps the calls of one delay in their order.
  const timeval* common = event_base_init_common_timeout(m_base, &tv);
  if (later->ev == nullptr || evtimer_add(later->ev, common != nullptr ? common : &tv) != 0) {
    if (later->ev != nullptr) event_free(later->ev);
    later->fn();
    return;
  }
  Later* key = later.get();
  m_later.emplace(key, std::move(later));
}

void CentralServer::LaterCb(int, short, void* arg) {
  auto* key = static_cast<Later*>(arg);
  CentralServer* self = key->server;
  auto it = self->m_later.find(key);
  if (it == self->m_later.end()) return;
  std::unique_ptr<Later> later = std::move(it->second);
  self->m_later.erase(it);
  event_free(later->ev);
  later->fn();
}

void CentralServer::StateTimerCb(int, short, void* arg) {
  auto* self = static_cast<CentralServer*>(arg);
  self->m_stateTimerPending = false;
  self->WriteState();
}

void CentralServer::LogRefusal(const char* kind, const std::string& peer, const std::string& why) {
  Refusals& r = m_refusals[kind];
  int64_t now = SteadyMs();
  if (r.since != 0 && now - r.since < 1000) {
    ++r.untold;
    return;
  }
  if (r.untold > 0) {
    Log("%s refused: %s (and %llu more refused so in the last %lld ms)", peer.c_str(),
        why.c_str(), static_cast<unsigned long long>(r.untold),
        static_cast<long long>(now - r.since));
  } else {
    Log("%s refused: %s", peer.c_str(), why.c_str());
  }
  r.since = now;
  r.untold = 0;
}

void CentralServer::AcceptCb(evconnlistener*, int fd, sockaddr* addr, int len, void* arg) {
  auto* self = static_cast<CentralServer*>(arg);
  std::string peer;
  std::string host = AddressText(addr, len, &peer);
  if (self->m_connections.size() >= self->m_options.maxConnections) {
    self->LogRefusal("all", peer, std::to_string(self->m_connections.size()) +
                               " connections already open");
    ::close(fd);
    return;
  }
  auto perHost = self->m_perHost.find(host);
  if (perHost != self->m_perHost.end() &&
      perHost->second >= self->m_options.maxConnectionsPerAddress) {
    self->LogRefusal("address", peer, std::to_string(perHost->second) + " connections already open from " +
                               host);
    ::close(fd);
    return;
  }
  bufferevent* bev = bufferevent_socket_new(self->m_base, fd, BEV_OPT_CLOSE_ON_FREE);
  if (bev == nullptr) {
    self->Log("%s refused: bufferevent_socket_new failed", peer.c_str());
    ::close(fd);
    return;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  uint64_t id = self->m_nextId++;
  auto conn = std::unique_ptr<Connection>(new Connection(self, bev, id, host, peer));
  Connection* c = conn.get();
  if (self->m_options.frameTimeoutMs > 0) {
    c->m_frameTimer = evtimer_new(self->m_base, &CentralServer::FrameTimerCb, c);
    if (c->m_frameTimer == nullptr) {
      self->Log("%s refused: evtimer_new failed", peer.c_str());
      bufferevent_free(bev);
      return;
    }
  }
  self->m_connections.emplace(id, std::move(conn));
  self->m_connectionCount = self->m_connections.size();
  ++self->m_perHost[host];
  // Reading stops while a whole frame of the largest size is buffered, so one
  // connection never holds more than that.
  bufferevent_setwatermark(bev, EV_READ, 0, self->m_options.maxFrame);
  bufferevent_setcb(bev, &CentralServer::ReadCb, &CentralServer::WriteCb, &CentralServer::EventCb,
                    c);
  c->SetIdleTimeout(self->m_options.idleTimeoutMs);
  bufferevent_enable(bev, EV_READ | EV_WRITE);
}

void CentralServer::AcceptErrorCb(evconnlistener*, void* arg) {
  auto* self = static_cast<CentralServer*>(arg);
  self->Log("accept failed: %s", std::strerror(errno));
}

void CentralServer::ReadCb(bufferevent*, void* arg) {
  auto* c = static_cast<Connection*>(arg);
  c->m_server->OnRead(*c);
}

void CentralServer::WriteCb(bufferevent*, void* arg) {
  auto* c = static_cast<Connection*>(arg);
  if (c->m_closing) c->m_server->Free(*c);
}

void CentralServer::EventCb(bufferevent*, short what, void* arg) {
  auto* c = static_cast<Connection*>(arg);
  CentralServer* self = c->m_server;
  if (what & BEV_EVENT_TIMEOUT) {
    self->Log("%s closed: idle for %d ms", c->m_peer.c_str(), self->m_options.idleTimeoutMs);
  } else if ((what & BEV_EVENT_ERROR) && !c->m_closing) {
    self->Log("%s closed: %s", c->m_peer.c_str(), std::strerror(errno));
  }
  if ((what & BEV_EVENT_EOF) && !(what & (BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) &&
      !c->m_closing) {
    // Frames that came before the end are handled first; a paused connection ends once
    // its pause is over and they are done.
    c->m_eof = true;
    bufferevent_disable(c->m_bev, EV_READ);
    self->OnRead(*c);
    return;
  }
  if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) self->Free(*c);
}

void CentralServer::FrameTimerCb(int, short, void* arg) {
  auto* c = static_cast<Connection*>(arg);
  CentralServer* self = c->m_server;
  self->Log("%s closed: a frame not whole within %d ms (%zu bytes of it came)", c->m_peer.c_str(),
            self->m_options.frameTimeoutMs,
            evbuffer_get_length(bufferevent_get_input(c->m_bev)));
  self->Free(*c);
}

void CentralServer::WatchFrame(Connection& c, bool completedFrame) {
  if (c.m_frameTimer == nullptr) return;
  bool partial = evbuffer_get_length(bufferevent_get_input(c.m_bev)) > 0;
  if (!partial || c.m_closing || c.m_paused || completedFrame) evtimer_del(c.m_frameTimer);
  if (partial && !c.m_closing && !c.m_paused && !evtimer_pending(c.m_frameTimer, nullptr)) {
    timeval tv = Timeval(m_options.frameTimeoutMs);
    evtimer_add(c.m_frameTimer, &tv);
  }
}

void CentralServer::OnRead(Connection& c) {
  evbuffer* in = bufferevent_get_input(c.m_bev);
  std::vector<uint8_t> frame;
  bool completedFrame = false;
  while (!c.m_closing && !c.m_paused) {
    size_t avail = evbuffer_get_length(in);
    if (avail == 0) break;
    uint8_t raw[ServerMsgHead::kSize];
    size_t have = avail < sizeof raw ? avail : sizeof raw;
    evbuffer_copyout(in, raw, have);
    // Judge the head by what has arrived, so a short frame is refused at once rather
    // than after waiting for bytes that may never come.
    uint16_t command = have >= 6 ? wire::GetU16(raw + 4) : 0;
    if (have >= 2) {
      uint16_t length = wire::GetU16(raw);
      if (length < ServerMsgHead::kSize) {
        BadFrame(c, command, "length " + std::to_string(length) + " is shorter than a head");
        break;
      }
      if (length > m_options.maxFrame) {
        BadFrame(c, command,
                 "length " + std::to_string(length) + " exceeds " +
                     std::to_string(m_options.maxFrame));
        break;
      }
    }
    if (have >= 4 && wire::GetU16(raw + 2) != 6) {
      BadFrame(c, command, "constant " + std::to_string(wire::GetU16(raw + 2)) + " is not 6");
      break;
    }
    if (have < sizeof raw) break;
    size_t length = wire::GetU16(raw);
    if (avail < length) break;
    frame.resize(length);
    evbuffer_remove(in, frame.data(), length);
    Frame f;
    f.head = ServerMsgHead::Decode(frame.data());
    f.body = frame.data() + ServerMsgHead::kSize;
    f.bodyLen = length - ServerMsgHead::kSize;
    completedFrame = true;
    OnFrame(c, f);
  }
  WatchFrame(c, completedFrame);
  if (c.m_closing) {
    if (evbuffer_get_length(bufferevent_get_output(c.m_bev)) == 0) Free(c);
  } else if (c.m_eof && !c.m_paused) {
    Free(c);  // a frame still partial at the end never completes
  }
}

void CentralServer::OnFrame(Connection& c, const Frame& f) {
  auto it = m_handlers.find(f.head.command);
  if (it == m_handlers.end()) {
    Log("%s %s station=%s -> 0x%04X (unknown command)", c.m_peer.c_str(),
        CommandName(f.head.command).c_str(), CleanText(f.head.stationId).c_str(),
        RESULT_UNKNOWN_COMMAND);
    c.Reply(f.head.command, RESULT_UNKNOWN_COMMAND);
    return;
  }
  try {
    it->second(c, f);
  } catch (const std::exception& e) {
    Log("%s %s failed: %s", c.m_peer.c_str(), CommandName(f.head.command).c_str(), e.what());
    c.Reply(f.head.command, RESULT_SERVER_ERROR);
    c.CloseAfterWrite();
  }
}

void CentralServer::BadFrame(Connection& c, uint16_t command, const std::string& why) {
  Log("%s bad frame: %s; closing", c.m_peer.c_str(), why.c_str());
  c.Reply(command, RESULT_BAD_FRAME);
  c.CloseAfterWrite();
}

void CentralServer::FreeSoon(uint64_t id) {
  m_freeSoon.push_back(id);
  if (m_freeSoonEvent != nullptr) event_active(m_freeSoonEvent, EV_TIMEOUT, 0);
}

void CentralServer::FreeSoonCb(int, short, void* arg) {
  auto* self = static_cast<CentralServer*>(arg);
  std::vector<uint64_t> ids;
  ids.swap(self->m_freeSoon);
  for (uint64_t id : ids) {
    auto it = self->m_connections.find(id);
    if (it != self->m_connections.end() && it->second->m_closing) self->Free(*it->second);
  }
}

void CentralServer::Free(Connection& c) {
  for (auto& hook : m_closeHooks) hook(c);
  if (c.m_frameTimer != nullptr) event_free(c.m_frameTimer);
  auto perHost = m_perHost.find(c.m_host);
  if (perHost != m_perHost.end() && --perHost->second == 0) m_perHost.erase(perHost);
  bufferevent_free(c.m_bev);
  m_connections.erase(c.m_id);  // deletes c
  m_connectionCount = m_connections.size();
}

}  // namespace central
