// The MsgHead framing of the local server. The server runs on its own thread as in the
// service; each input is one TCP connection from loopback. Byte 0: bit 0 set, the server
// sees the peer as a LAN device (tray opcodes are then refused); the rest is the stream
// the connection sends, after which it shuts its sending side down and reads until the
// server closes: every answer must still come.
//
// The handlers are stand-ins that check what the server hands them (body length and
// pointer, direct flag, connection and origin) and answer predictably: an echo, a
// streamed answer through a connection writer (one that first waits to be woken), a
// handler that throws and one that answers nothing. A model of the framing computes what
// must come back, byte for byte; anything else is a finding.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <event2/bufferevent.h>

#include "comm/errors.h"
#include "comm/local_server.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"

namespace {

constexpr uint16_t kEcho = 0x0101;
constexpr uint16_t kStream = 0x0102;     // body[0..1] * 64 bytes of output by a writer
constexpr uint16_t kStreamWait = 0x0103; // the same, the writer waiting to be woken first
constexpr uint16_t kThrow = 0x0104;
constexpr uint16_t kSilent = 0x0105;
constexpr uint16_t kTray = OP_SHOW_GET_SYS_TYPE;  // an echo, served from loopback only
// Streamed output of one connection stops growing here, so that an input stays fast.
constexpr size_t kMaxStreamPerConn = 640u << 10;

std::atomic<bool> g_peerIsLan{false};
// Streamed bytes granted to the current connection; one connection runs at a time.
std::atomic<size_t> g_streamed{0};
std::mutex g_closedMutex;
std::set<uint64_t> g_closed;  // every connection id the close hook saw

Origin Classify(const sockaddr* peer, socklen_t len) {
  return g_peerIsLan.load() ? Origin::Lan : OS_ClassifyPeer(peer, len);
}

void CloseHook(bufferevent* conn, uint64_t connId) {
  uint64_t id = 0;
  if (!OS_GetConnInfo(conn, &id, nullptr) || id != connId) {
    fuzz::Fail("close hook: unknown connection");
  }
  std::lock_guard<std::mutex> lock(g_closedMutex);
  if (!g_closed.insert(connId).second) fuzz::Fail("close hook ran twice for one connection");
  while (g_closed.size() > 1024) g_closed.erase(g_closed.begin());
}

void Check(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
           const int32_t* udtSock, const uint8_t* direct) {
  if ((body == nullptr) != (bodyLen == 0)) fuzz::Fail("body pointer and length disagree");
  uint32_t expect = head->length > MsgHead::kSize ? head->length - MsgHead::kSize : 0;
  if (bodyLen != expect) fuzz::Fail("body length is not the head's length less 8");
  if (*direct != 1 || *udtSock != -1) fuzz::Fail("local message not direct");
  Origin origin = Origin::Udt;
  if (!OS_GetConnInfo(conn, nullptr, &origin)) fuzz::Fail("handler without its connection");
  Origin want = g_peerIsLan.load() ? Origin::Lan : Origin::Loopback;
  if (origin != want) fuzz::Fail("connection of the wrong origin");
  if (IsTrayOpcode(head->opcode) && origin != Origin::Loopback) fuzz::Fail("tray opcode from LAN");
  fuzz::TouchAll(body, bodyLen);
}

// The byte at position i of every streamed answer.
uint8_t StreamByte(size_t i) { return static_cast<uint8_t>(i * 131 + (i >> 9)); }

size_t GrantStream(const uint8_t* body, uint32_t bodyLen) {
  size_t want = bodyLen >= 2 ? static_cast<size_t>((body[0] << 8) | body[1]) * 64 : 0;
  size_t done = g_streamed.load();
  size_t n = std::min(want, kMaxStreamPerConn - done);
  g_streamed = done + n;
  return n;
}

class StreamWriter : public ConnWriter {
 public:
  StreamWriter(size_t total, bool waitFirst, uint64_t connId)
      : m_total(total), m_wait(waitFirst), m_connId(connId) {}
  Status Refill(bufferevent* conn, size_t room) override {
    if (m_wait) {
      m_wait = false;
      OS_WakeConnWriter(m_connId);
      return Status::Wait;
    }
    size_t n = std::min({m_total - m_sent, room, size_t{64} * 1024});
    std::vector<uint8_t> chunk(n);
    for (size_t i = 0; i < n; ++i) chunk[i] = StreamByte(m_sent + i);
    if (n > 0 && bufferevent_write(conn, chunk.data(), n) != 0) fuzz::Fail("writer cannot write");
    m_sent += n;
    return m_sent == m_total ? Status::Done : Status::More;
  }
  void Cancel() override {}

 private:
  size_t m_total;
  size_t m_sent = 0;
  bool m_wait;
  uint64_t m_connId;
};

int Echo(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
         uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  Check(body, bodyLen, head, conn, udtSock, direct);
  size_t len = MsgHead::kSize + bodyLen;
  uint8_t* r = AllocReply(len);
  if (r == nullptr) return ERR_ALLOC;
  MsgHead{static_cast<uint16_t>(len), head->opcode, head->seq}.Encode(r);
  if (bodyLen > 0) std::memcpy(r + MsgHead::kSize, body, bodyLen);
  *reply = r;
  *replyLen = static_cast<int32_t>(len);
  return ERR_OK;
}

// Answers an 8-byte head at once, then the streamed bytes.
int Stream(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
           uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  Check(body, bodyLen, head, conn, udtSock, direct);
  uint64_t id = 0;
  OS_GetConnInfo(conn, &id, nullptr);
  size_t n = GrantStream(body, bodyLen);
  bool wait = head->opcode == kStreamWait;
  if (n > 0 && !OS_AttachConnWriter(conn, std::make_unique<StreamWriter>(n, wait, id))) {
    fuzz::Fail("cannot attach a writer");
  }
  uint8_t* r = AllocReply(MsgHead::kSize);
  if (r == nullptr) return ERR_ALLOC;
  MsgHead{static_cast<uint16_t>(MsgHead::kSize), head->opcode, head->seq}.Encode(r);
  *reply = r;
  *replyLen = static_cast<int32_t>(MsgHead::kSize);
  return ERR_OK;
}

int Throw(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
          uint8_t**, int32_t*, int32_t* udtSock, uint8_t* direct) {
  Check(body, bodyLen, head, conn, udtSock, direct);
  throw std::runtime_error("handler failure");
}

int Silent(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
           uint8_t**, int32_t*, int32_t* udtSock, uint8_t* direct) {
  Check(body, bodyLen, head, conn, udtSock, direct);
  return ERR_OK;
}

// What the server must answer to stream: expected, and whether the server closes
// before the end of the stream (the answer may then be cut by the reset that closing with
// unread input sends).
struct Expected {
  std::vector<uint8_t> bytes;
  bool closedEarly = false;  // with more of the stream after the refused head
};

Expected Model(const uint8_t* data, size_t size, bool lan) {
  Expected e;
  size_t streamed = 0;
  size_t pos = 0;
  Origin origin = lan ? Origin::Lan : Origin::Loopback;
  while (size - pos >= MsgHead::kSize) {
    MsgHead head = MsgHead::Decode(data + pos);
    bool relay = head.opcode == SV_INTER_LINE_REQ || head.opcode == SV_INTER_LINE_DATA;
    if (!relay && !OS_IsServed(head.opcode, origin)) {
      // Refused: the answers before it still go out. Only when the stream goes on after
      // the head may the close (with input left unread) reset the connection first.
      e.closedEarly = size - pos > MsgHead::kSize;
      return e;
    }
    size_t bodyLen = head.length > MsgHead::kSize ? head.length - MsgHead::kSize : 0;
    if (size - pos - MsgHead::kSize < bodyLen) return e;  // cut short by the end of file
    const uint8_t* body = data + pos + MsgHead::kSize;
    pos += MsgHead::kSize + bodyLen;
    if (relay) continue;  // passes the check, served by nobody
    switch (head.opcode) {
      case kEcho:
      case kTray: {
        uint8_t h[MsgHead::kSize];
        MsgHead{static_cast<uint16_t>(MsgHead::kSize + bodyLen), head.opcode, head.seq}.Encode(h);
        e.bytes.insert(e.bytes.end(), h, h + sizeof h);
        e.bytes.insert(e.bytes.end(), body, body + bodyLen);
        break;
      }
      case kStream:
      case kStreamWait: {
        uint8_t h[MsgHead::kSize];
        MsgHead{static_cast<uint16_t>(MsgHead::kSize), head.opcode, head.seq}.Encode(h);
        e.bytes.insert(e.bytes.end(), h, h + sizeof h);
        size_t want = bodyLen >= 2 ? static_cast<size_t>((body[0] << 8) | body[1]) * 64 : 0;
        size_t n = std::min(want, kMaxStreamPerConn - streamed);
        streamed += n;
        for (size_t i = 0; i < n; ++i) e.bytes.push_back(StreamByte(i));
        break;
      }
      default:
        break;
    }
  }
  return e;
}

struct Server {
  std::thread thread;
  uint16_t port = 0;
};

Server* g_server = nullptr;

// At the end of the run the server stops as the service's does, before the objects its
// thread uses go away.
void StopServer() {
  if (g_server == nullptr || !g_server->thread.joinable()) return;
  OS_StopLocalServer();
  g_server->thread.join();
}

Server& TheServer() {
  static Server* s = [] {
    fuzz::LogToNull();
    OS_RegFunction(Echo, kEcho);
    OS_RegFunction(Stream, kStream);
    OS_RegFunction(Stream, kStreamWait);
    OS_RegFunction(Throw, kThrow);
    OS_RegFunction(Silent, kSilent);
    OS_RegFunction(Echo, kTray);
    OS_SetOriginClassifier(Classify);
    OS_SetConnCloseHook(CloseHook);
    auto* srv = new Server;
    g_LocalPort = 0;
    OS_ResetLocalServerState();
    srv->thread = std::thread(OS_RunEvent, nullptr);
    g_server = srv;
    std::atexit(StopServer);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (OS_LocalServerState() != LocalServerState::Running) {
      if (std::chrono::steady_clock::now() > until) fuzz::Fail("the local server did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    srv->port = g_LocalPort.load();
    return srv;
  }();
  return *s;
}

// Sends stream on a new connection, shuts its sending side down and reads the answer
// until the server closes.
std::vector<uint8_t> Exchange(uint16_t port, const uint8_t* data, size_t size) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) fuzz::Fail("socket failed");
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 && errno != EINPROGRESS) {
    fuzz::Fail("connect failed");
  }
  std::vector<uint8_t> got;
  size_t sent = 0;
  bool writing = true;
  static uint8_t buf[1 << 16];
  int idleSeconds = 0;
  for (;;) {
    if (writing && sent == size) {
      ::shutdown(fd, SHUT_WR);
      writing = false;
    }
    pollfd p{fd, static_cast<short>(POLLIN | (writing && sent < size ? POLLOUT : 0)), 0};
    // libFuzzer's timer interrupts poll now and then.
    int ready = ::poll(&p, 1, 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      if (ready == 0 && ++idleSeconds < 10) continue;
      std::fprintf(stderr, "sent %zu of %zu, received %zu\n", sent, size, got.size());
      fuzz::Fail("the server neither reads nor answers");
    }
    idleSeconds = 0;
    if (writing && sent < size && (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) writing = false;  // closed by it
    }
    if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        break;  // reset
      }
      got.insert(got.end(), buf, buf + n);
    }
  }
  linger lg{1, 0};  // no TIME_WAIT left behind by the thousands of connections
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd);
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Server& server = TheServer();
  if (size < 1) return 0;
  bool lan = (data[0] & 1) != 0;
  // The stream in a buffer of its own, so that the model reads nothing past it.
  std::vector<uint8_t> stream(data + 1, data + size);
  g_peerIsLan = lan;
  g_streamed = 0;
  Expected want = Model(stream.data(), stream.size(), lan);
  std::vector<uint8_t> got = Exchange(server.port, stream.data(), stream.size());
  bool ok = want.closedEarly ? got.size() <= want.bytes.size() &&
                                   std::equal(got.begin(), got.end(), want.bytes.begin())
                             : got == want.bytes;
  if (!ok) {
    std::fprintf(stderr, "answer of %zu bytes, expected %zu%s\n", got.size(), want.bytes.size(),
                 want.closedEarly ? " at most" : "");
    fuzz::Fail("the server's answer differs from the model");
  }
  return 0;
}
