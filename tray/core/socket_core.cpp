#include "socket_core.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "contract/opcodes.h"
#include "contract/tray_records.h"
#include "platform/net.h"

namespace tray {

namespace {

constexpr uint16_t kOpDeviceLogin = OP_SHOW_DEVICE_LOGIN;
constexpr size_t kQuestionSize = kDeviceLoginAskSize;
constexpr size_t kAnswerSize = kDeviceLoginAnswerSize;

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

int MsUntil(std::chrono::steady_clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                t - std::chrono::steady_clock::now())
                .count();
  return ms > 0 ? static_cast<int>(std::min<long long>(ms, 1 << 30)) : 0;
}

// Exactly len bytes before the deadline, or until the stop pipe turns readable.
// 0, or -1 on an error, an early end, the deadline or the stop.
int RecvBefore(int sock, int wakeFd, uint8_t* out, size_t len,
               std::chrono::steady_clock::time_point deadline) {
  size_t got = 0;
  while (got < len) {
    pollfd p[2] = {{sock, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int ready = ::poll(p, 2, MsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p[1].revents & POLLIN) != 0) return -1;
    ssize_t n = ::recv(sock, out + got, len - got, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return -1;
    got += static_cast<size_t>(n);
  }
  return 0;
}

// All len bytes out before the deadline; 0, or -1 on an error or the deadline.
int SendBefore(int sock, const uint8_t* bytes, size_t len,
               std::chrono::steady_clock::time_point deadline) {
  size_t sent = 0;
  while (sent < len) {
    ssize_t n = ::send(sock, bytes + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
    pollfd p{sock, POLLOUT, 0};
    int ready = ::poll(&p, 1, MsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
  }
  return 0;
}

enum class Exchange { kOk, kNotSent, kNoHead, kShort };

// Sends a request on a connected socket and reads its whole reply. The send has its
// time-out and the reply one deadline, counted once from the end of the send: a peer
// that drips its reply a byte at a time cannot stretch the wait.
Exchange SendAndReceive(int sock, int wakeFd, const uint8_t* request, size_t len,
                        const SocketCoreOptions& options, std::vector<uint8_t>* frame) {
  using Clock = std::chrono::steady_clock;
  if (SendBefore(sock, request, len,
                 Clock::now() + std::chrono::milliseconds(options.requestSendTimeoutMs)) != 0) {
    return Exchange::kNotSent;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.requestRecvTimeoutMs);
  uint8_t head[kMsgHeadSize];
  if (RecvBefore(sock, wakeFd, head, sizeof head, deadline) != 0 ||
      GetU16(head) < kMsgHeadSize) {
    return Exchange::kNoHead;
  }
  frame->assign(GetU16(head), 0);
  std::memcpy(frame->data(), head, sizeof head);
  if (frame->size() > kMsgHeadSize &&
      RecvBefore(sock, wakeFd, frame->data() + kMsgHeadSize, frame->size() - kMsgHeadSize,
                 deadline) != 0) {
    return Exchange::kShort;
  }
  return Exchange::kOk;
}

}  // namespace

// ---- Socket helpers.

int SocketCreateClient(int sendTimeoutMs, int recvTimeoutMs) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  timeval snd{sendTimeoutMs / 1000, (sendTimeoutMs % 1000) * 1000};
  timeval rcv{recvTimeoutMs / 1000, (recvTimeoutMs % 1000) * 1000};
  if (::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd) != 0 ||
      ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

int SocketConnect(int sock, uint16_t port, const char* host) {
  if (sock < 0 || host == nullptr || port == 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  // Dotted IPv4 text only: no name lookup.
  if (::inet_pton(AF_INET, host, &addr.sin_addr) != 1) return -1;
  int rc;
  do {
    rc = ::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : -1;
}

int SocketSendAll(int sock, const uint8_t* bytes, size_t len) {
  if (sock < 0) return -1;
  return platform::SendAll(sock, bytes, len) == 0 ? 0 : -1;
}

void SocketClose(int* sock) {
  if (*sock >= 0) ::close(*sock);
  *sock = -1;
}

// ---- CSocketCore.

CSocketCore::CSocketCore(SocketCoreOptions options)
    : m_options(options), m_requestPort(options.requestPort) {
  platform::IgnoreSigpipe();
  if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    qWarning("socket core: no wake pipe (%s); the listener stays off", std::strerror(errno));
    m_wakePipe[0] = m_wakePipe[1] = -1;
  }
  m_sender = std::thread([this] { SenderLoop(); });
}

CSocketCore::~CSocketCore() {
  m_stop = true;
  if (m_wakePipe[1] >= 0) {
    const char b = 1;
    ssize_t n = ::write(m_wakePipe[1], &b, 1);
    (void)n;
  }
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
  }
  m_queueCv.notify_all();
  {
    std::lock_guard<std::mutex> lock(m_clientMutex);
    if (m_clientSocket >= 0) ::shutdown(m_clientSocket, SHUT_RDWR);
  }
  if (m_sender.joinable()) m_sender.join();
  if (m_listener.joinable()) m_listener.join();
  ReapConnections(true);
  SocketClose(&m_listenSocket);
  std::lock_guard<std::mutex> lock(m_mapMutex);
  for (auto& [token, entry] : m_held) SocketClose(&entry.sock);
  m_held.clear();
  for (int& fd : m_wakePipe) SocketClose(&fd);
}

void CSocketCore::SetCallback(ISocketConnectCallback* callback) {
  std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
  m_callback = callback;
}

bool CSocketCore::DeliverData(const uint8_t* frame, size_t len, uint32_t token, bool* taken) {
  std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
  if (m_callback == nullptr) return false;
  *taken = m_callback->OnData(frame, len, token);
  return true;
}

void CSocketCore::DeliverError(int code, int kind) {
  std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
  if (m_callback != nullptr) m_callback->OnError(code, kind);
}

int CSocketCore::SendRequest(const char* host, const uint8_t* request, size_t len,
                             std::vector<uint8_t>* reply) {
  if (host == nullptr || *host == '\0') return kNoConnection;
  if (request == nullptr || len < kMsgHeadSize || len > kMaxFrameSize) return kSendFailed;
  int s = SocketCreateClient(m_options.requestSendTimeoutMs, m_options.requestRecvTimeoutMs);
  if (s < 0 || SocketConnect(s, m_requestPort.load(), host) != 0) {
    SocketClose(&s);
    return kNoConnection;
  }
  std::vector<uint8_t> frame;
  const Exchange result = SendAndReceive(s, m_wakePipe[0], request, len, m_options, &frame);
  SocketClose(&s);
  switch (result) {
    case Exchange::kNotSent:
    case Exchange::kShort:
      return kSendFailed;
    case Exchange::kNoHead:
      return kNoReplyHead;
    case Exchange::kOk:
      break;
  }
  if (reply != nullptr) *reply = std::move(frame);
  return kSendOk;
}

int CSocketCore::PostRequest(const char* host, const uint8_t* request, size_t len) {
  if (host == nullptr || *host == '\0' || request == nullptr || len < kMsgHeadSize ||
      len > kMaxFrameSize) {
    DeliverError(request != nullptr && len >= 6 ? GetU16(request + 4) : 0, kErrorConnect);
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.push_back(AsyncRequest{host, std::vector<uint8_t>(request, request + len)});
  }
  m_queueCv.notify_one();
  return 0;
}

void CSocketCore::SenderLoop() {
  while (true) {
    AsyncRequest req;
    {
      std::unique_lock<std::mutex> lock(m_queueMutex);
      m_queueCv.wait(lock, [this] { return m_stop.load() || !m_queue.empty(); });
      if (m_stop) return;
      req = std::move(m_queue.front());
      m_queue.pop_front();
    }
    RunQueued(req);
  }
}

void CSocketCore::RunQueued(const AsyncRequest& req) {
  const int code = GetU16(req.data.data() + 4);
  int s = SocketCreateClient(m_options.requestSendTimeoutMs, m_options.requestRecvTimeoutMs);
  {
    std::lock_guard<std::mutex> lock(m_clientMutex);
    if (m_stop) {
      SocketClose(&s);
      return;
    }
    m_clientSocket = s;
  }
  auto finish = [this, &s] {
    std::lock_guard<std::mutex> lock(m_clientMutex);
    SocketClose(&s);
    m_clientSocket = -1;
  };
  if (s < 0 || SocketConnect(s, m_requestPort.load(), req.host.c_str()) != 0) {
    finish();
    DeliverError(code, kErrorConnect);
    return;
  }
  std::vector<uint8_t> frame;
  const Exchange result =
      SendAndReceive(s, m_wakePipe[0], req.data.data(), req.data.size(), m_options, &frame);
  finish();
  if (result != Exchange::kOk) {
    DeliverError(code, result == Exchange::kNotSent ? kErrorSend : kErrorReceive);
    return;
  }
  bool taken = false;
  DeliverData(frame.data(), frame.size(), 0, &taken);
}

bool CSocketCore::StartListener() {
  if (m_listener.joinable() || m_wakePipe[0] < 0) return false;
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(m_options.listenPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s, SOMAXCONN) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) {
    qWarning("socket core: cannot listen on 127.0.0.1:%u (%s); device logins go unanswered",
             static_cast<unsigned>(m_options.listenPort), std::strerror(errno));
    ::close(s);
    return false;
  }
  ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
  m_listenSocket = s;
  m_boundPort = ntohs(addr.sin_port);
  m_listener = std::thread([this] { ListenLoop(); });
  return true;
}

bool CSocketCore::WaitWake(int timeoutMs) {
  pollfd p{m_wakePipe[0], POLLIN, 0};
  ::poll(&p, 1, timeoutMs);
  return m_stop.load();
}

int CSocketCore::ActiveConnections() {
  int n = 0;
  {
    std::lock_guard<std::mutex> lock(m_connMutex);
    for (const Connection& c : m_connections) n += c.done ? 0 : 1;
  }
  return n + static_cast<int>(HeldCount());
}

void CSocketCore::ReapConnections(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard<std::mutex> lock(m_connMutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      auto next = std::next(it);
      if (all || it->done) finished.splice(finished.end(), m_connections, it);
      it = next;
    }
  }
  for (Connection& c : finished) {
    if (c.thread.joinable()) c.thread.join();
  }
}

void CSocketCore::ExpireHeld() {
  std::vector<int> expired;
  {
    std::lock_guard<std::mutex> lock(m_mapMutex);
    auto now = std::chrono::steady_clock::now();
    for (auto it = m_held.begin(); it != m_held.end();) {
      if (it->second.expires <= now) {
        expired.push_back(it->second.sock);
        it = m_held.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (int fd : expired) {
    qInfo("socket core: a device-login question expired unanswered");
    SocketClose(&fd);
  }
}

void CSocketCore::ListenLoop() {
  int backoffMs = 0;
  while (!m_stop) {
    ReapConnections(false);
    ExpireHeld();
    if (backoffMs > 0 && WaitWake(backoffMs)) break;
    pollfd p[2] = {{m_listenSocket, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    int ready = ::poll(p, 2, 200);
    if (m_stop) break;
    if (ready <= 0 || (p[0].revents & POLLIN) == 0) continue;
    int c = ::accept4(m_listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
        continue;
      }
      // Out of descriptors or the like: wait before the next try instead of spinning.
      backoffMs = std::clamp(backoffMs * 2, m_options.acceptBackoffMinMs,
                             m_options.acceptBackoffMaxMs);
      qWarning("socket core: accept failed (%s); next try in %d ms", std::strerror(errno),
               backoffMs);
      continue;
    }
    backoffMs = 0;
    if (ActiveConnections() >= m_options.maxConnections) {
      qWarning("socket core: %d device-login connections already open; one more closed",
               m_options.maxConnections);
      ::close(c);
      continue;
    }
    std::lock_guard<std::mutex> lock(m_connMutex);
    Connection& conn = m_connections.emplace_back();
    try {
      conn.thread = std::thread([this, c, &conn] { ServeConnection(c, &conn); });
    } catch (...) {
      ::close(c);
      conn.done = true;
    }
  }
}

void CSocketCore::ServeConnection(int sock, Connection* self) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.questionTimeoutMs);
  uint8_t frame[kQuestionSize];
  // The one question the service pushes is exactly 264 bytes; anything else is dropped.
  if (RecvBefore(sock, m_wakePipe[0], frame, kMsgHeadSize, deadline) != 0 ||
      GetU16(frame) != kQuestionSize ||
      RecvBefore(sock, m_wakePipe[0], frame + kMsgHeadSize, kQuestionSize - kMsgHeadSize,
                 deadline) != 0) {
    SocketClose(&sock);
    self->done = true;
    return;
  }
  uint32_t token;
  {
    // Held before it is handed on, so that an answer given at once finds it.
    std::lock_guard<std::mutex> lock(m_mapMutex);
    do {
      token = ++m_nextToken;
    } while (token == 0 || m_held.count(token) != 0);
    PushEntry& e = m_held[token];
    e.sock = sock;
    std::memcpy(e.number, frame + 4, 4);
    e.expires =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.heldExpiryMs);
  }
  bool taken = false;
  if (!DeliverData(frame, sizeof frame, token, &taken) || !taken) {
    int fd = -1;
    {
      std::lock_guard<std::mutex> lock(m_mapMutex);
      auto it = m_held.find(token);
      if (it != m_held.end()) {
        fd = it->second.sock;
        m_held.erase(it);
      }
    }
    SocketClose(&fd);
  }
  self->done = true;
}

int CSocketCore::SendPushReply(uint32_t token, uint32_t flag) {
  PushEntry entry;
  {
    std::lock_guard<std::mutex> lock(m_mapMutex);
    auto it = m_held.find(token);
    if (it == m_held.end()) return -1;
    entry = it->second;
    m_held.erase(it);
  }
  uint8_t answer[kAnswerSize];
  PutU16(answer, static_cast<uint16_t>(kAnswerSize));
  PutU16(answer + 2, kOpDeviceLogin);
  std::memcpy(answer + 4, entry.number, 4);
  PutU32(answer + 8, flag);
  // Twelve bytes on a connection that has sent nothing else fit its buffer: never wait.
  ssize_t n = ::send(entry.sock, answer, sizeof answer, MSG_NOSIGNAL | MSG_DONTWAIT);
  SocketClose(&entry.sock);
  return n == static_cast<ssize_t>(sizeof answer) ? 0 : -1;
}

bool CSocketCore::IsHeld(uint32_t token) const {
  std::lock_guard<std::mutex> lock(m_mapMutex);
  return m_held.count(token) != 0;
}

size_t CSocketCore::HeldCount() const {
  std::lock_guard<std::mutex> lock(m_mapMutex);
  return m_held.size();
}

}  // namespace tray
