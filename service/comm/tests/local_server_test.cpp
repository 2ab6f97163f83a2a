#include "comm/local_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <event2/bufferevent.h>
#include <event2/event.h>

#include "comm/errors.h"
#include "comm/log.h"
#include "platform/net.h"
#include "support/msg_client.h"
#include "support/temp_dir.h"

namespace {

using support::Message;
using support::MsgClient;

// Test opcodes.
constexpr uint16_t kEcho = 0x0101;      // reports what it received
constexpr uint16_t kInfo = 0x0102;      // reports the connection's id and origin
constexpr uint16_t kBig = 0x0103;       // answers 16 MiB
constexpr uint16_t kBadLen = 0x0104;    // sets a reply with a length of 0 or below
constexpr uint16_t kThrow = 0x0105;     // sets a reply, then throws
constexpr uint16_t kFail = 0x0106;      // sets a reply, returns an error
constexpr uint16_t kSlow = 0x0107;      // holds the server's loop for a moment
constexpr uint16_t kTray = 0x5006;      // a tray request
constexpr uint16_t kUnknown = 7;

uint32_t Fnv(const uint8_t* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

void Reply(const MsgHead* req, const std::string& body, uint8_t** reply, int32_t* replyLen) {
  size_t len = MsgHead::kSize + body.size();
  *reply = AllocReply(len);
  MsgHead{static_cast<uint16_t>(len), req->opcode, req->seq}.Encode(*reply);
  std::memcpy(*reply + MsgHead::kSize, body.data(), body.size());
  *replyLen = static_cast<int32_t>(len);
}

// Echo's answer: body length, whether the body was null, the flags, a digest.
struct EchoInfo {
  uint32_t bodyLen;
  bool nullBody;
  uint8_t direct;
  int32_t udt;
  uint32_t digest;
};

EchoInfo ParseEcho(const std::string& b) {
  const auto* p = reinterpret_cast<const uint8_t*>(b.data());
  return EchoInfo{wire::GetU32(p), p[4] != 0, p[5], static_cast<int32_t>(wire::GetU32(p + 6)),
                  wire::GetU32(p + 10)};
}

int Echo(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
         uint8_t** reply, int32_t* replyLen, int32_t* udt, uint8_t* direct) {
  std::string r(14, '\0');
  auto* p = reinterpret_cast<uint8_t*>(r.data());
  wire::PutU32(p, bodyLen);
  p[4] = body == nullptr;
  p[5] = *direct;
  wire::PutU32(p + 6, static_cast<uint32_t>(*udt));
  wire::PutU32(p + 10, body == nullptr ? 0 : Fnv(body, bodyLen));
  Reply(head, r, reply, replyLen);
  return 0;
}

int Info(const uint8_t*, uint32_t, const MsgHead* head, bufferevent* conn, uint8_t** reply,
         int32_t* replyLen, int32_t*, uint8_t*) {
  uint64_t id = 0;
  Origin origin = Origin::Poll;
  std::string r(9, '\0');
  if (!OS_GetConnInfo(conn, &id, &origin)) return -1;
  wire::PutU64(reinterpret_cast<uint8_t*>(r.data()), id);
  r[8] = static_cast<char>(origin);
  Reply(head, r, reply, replyLen);
  return 0;
}

int Big(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t** reply,
        int32_t* replyLen, int32_t*, uint8_t*) {
  constexpr int32_t kSize = 16 << 20;
  *reply = AllocReply(kSize);
  *replyLen = kSize;
  return 0;
}

int BadLen(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
           uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  Reply(head, "never sent", reply, replyLen);
  *replyLen = bodyLen > 0 && body[0] == 1 ? -5 : 0;
  return 0;
}

int Throw(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
          int32_t* replyLen, int32_t*, uint8_t*) {
  Reply(head, "half", reply, replyLen);
  throw std::runtime_error("handler failed");
}

int Fail(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
         int32_t* replyLen, int32_t*, uint8_t*) {
  Reply(head, "error", reply, replyLen);
  return ERR_FILE_NOT_EXIST;
}

int Slow(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
         uint8_t*) {
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  return 0;
}

// Every close hook call: connection id -> number of calls, and whether the
// bufferevent still belonged to the server when the hook ran.
std::mutex g_closeMutex;
std::condition_variable g_closeCv;
std::map<uint64_t, int> g_closes;
bool g_closeSawLiveConn = true;

void RecordClose(bufferevent* conn, uint64_t id) {
  uint64_t infoId = 0;
  bool live = OS_GetConnInfo(conn, &infoId, nullptr) && infoId == id;
  std::lock_guard<std::mutex> lock(g_closeMutex);
  ++g_closes[id];
  g_closeSawLiveConn = g_closeSawLiveConn && live;
  g_closeCv.notify_all();
}

bool WaitClosed(uint64_t id, int timeoutMs = 2000) {
  std::unique_lock<std::mutex> lock(g_closeMutex);
  return g_closeCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [id] { return g_closes.count(id) > 0; });
}

int CloseCount(uint64_t id) {
  std::lock_guard<std::mutex> lock(g_closeMutex);
  auto it = g_closes.find(id);
  return it == g_closes.end() ? 0 : it->second;
}

Origin AlwaysLan(const sockaddr*, socklen_t) { return Origin::Lan; }

class LocalServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OS_ClearRegistry();
    for (auto [fn, op] : std::vector<std::pair<RegFun, uint16_t>>{
             {Echo, kEcho}, {Info, kInfo}, {Big, kBig}, {BadLen, kBadLen}, {Throw, kThrow},
             {Fail, kFail}, {Slow, kSlow}, {Info, kTray}}) {
      ASSERT_EQ(OS_RegFunction(fn, op), ERR_OK);
    }
    {
      std::lock_guard<std::mutex> lock(g_closeMutex);
      g_closes.clear();
      g_closeSawLiveConn = true;
    }
    OS_SetConnCloseHook(RecordClose);
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    Start();
  }

  void TearDown() override {
    Stop();
    OS_SetConnCloseHook(nullptr);
    OS_SetOriginClassifier(nullptr);
    OS_SetLocalServerLimits(LocalServerLimits{});
    OS_SetLocalIdleTimeout(0);
    g_Log.Close();
    OS_ClearRegistry();
    std::lock_guard<std::mutex> lock(g_closeMutex);
    EXPECT_TRUE(g_closeSawLiveConn) << "a close hook ran on a freed or foreign connection";
    for (const auto& [id, n] : g_closes) EXPECT_EQ(n, 1) << "connection " << id;
  }

  void Start() {
    g_LocalPort = 0;
    OS_ResetLocalServerState();
    m_server = std::thread(OS_RunEvent, nullptr);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (OS_LocalServerState() == LocalServerState::Pending &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(OS_LocalServerState(), LocalServerState::Running);
    m_port = g_LocalPort.load();
  }

  void Stop() {
    if (!m_server.joinable()) return;
    OS_StopLocalServer();
    m_server.join();
  }

  MsgClient Connect() {
    MsgClient c;
    EXPECT_TRUE(c.Connect(m_port));
    return c;
  }

  // The server's id and origin of the client's connection.
  std::pair<uint64_t, Origin> Identify(MsgClient& c) {
    EXPECT_TRUE(c.Send(kInfo, 1));
    std::optional<Message> m = c.Recv();
    if (!m || m->body.size() != 9) {
      ADD_FAILURE() << "no connection info";
      return {0, Origin::Poll};
    }
    return {wire::GetU64(reinterpret_cast<const uint8_t*>(m->body.data())),
            static_cast<Origin>(m->body[8])};
  }

  // One request on a fresh connection, so that everything before it has been handled.
  void RoundTrip() {
    MsgClient c = Connect();
    ASSERT_TRUE(c.Send(kEcho, 99));
    ASSERT_TRUE(c.Recv().has_value());
  }

  std::string LogText() const { return m_dir.Read("Log.txt"); }

  support::TempDir m_dir;
  std::thread m_server;
  uint16_t m_port = 0;
};

TEST_F(LocalServerTest, BindsAnEphemeralPortAndLogsIt) {
  EXPECT_NE(m_port, 0);
  EXPECT_NE(LogText().find("[DEBUG] Bind port " + std::to_string(m_port) + ".\n"),
            std::string::npos)
      << LogText();
}

TEST_F(LocalServerTest, SeveralMessagesInOneSegmentAreAnsweredInOrder) {
  MsgClient c = Connect();
  std::string batch;
  for (uint32_t seq = 1; seq <= 5; ++seq) {
    batch += MsgClient::Frame(kEcho, seq, std::string(seq * 10, static_cast<char>(seq)));
  }
  ASSERT_TRUE(c.SendRaw(batch));
  for (uint32_t seq = 1; seq <= 5; ++seq) {
    std::optional<Message> m = c.Recv();
    ASSERT_TRUE(m.has_value()) << seq;
    EXPECT_EQ(m->head.seq, seq);
    EXPECT_EQ(ParseEcho(m->body).bodyLen, seq * 10);
  }
}

TEST_F(LocalServerTest, MessagesSplitAnywhereAreAssembled) {
  std::string body = "0123456789abcdefghij";
  std::string two = MsgClient::Frame(kEcho, 1, body) + MsgClient::Frame(kEcho, 2, body);
  std::vector<std::vector<size_t>> splits = {
      {3},             // head 3 + 5
      {8, 5, 7},       // head whole, body in pieces
      {10, 24, 2},     // a piece ending inside the second head
  };
  std::vector<size_t> oneByOne(two.size() - 1, 1);
  splits.push_back(oneByOne);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(body.data());
  for (const auto& pieces : splits) {
    SCOPED_TRACE(pieces.size());
    MsgClient c = Connect();
    ASSERT_TRUE(c.SendInPieces(two, pieces, pieces.size() > 10 ? 1 : 20));
    for (uint32_t seq = 1; seq <= 2; ++seq) {
      std::optional<Message> m = c.Recv();
      ASSERT_TRUE(m.has_value());
      EXPECT_EQ(m->head.seq, seq);
      EchoInfo e = ParseEcho(m->body);
      EXPECT_EQ(e.bodyLen, body.size());
      EXPECT_EQ(e.digest, Fnv(raw, body.size()));
    }
  }
}

TEST_F(LocalServerTest, HandlerGetsTheLocalFlags) {
  MsgClient c = Connect();
  ASSERT_TRUE(c.Send(kEcho, 1, "x"));
  std::optional<Message> m = c.Recv();
  ASSERT_TRUE(m.has_value());
  EchoInfo e = ParseEcho(m->body);
  EXPECT_EQ(e.direct, 1);
  EXPECT_EQ(e.udt, -1);
}

TEST_F(LocalServerTest, ShortLengthsGiveANullBody) {
  MsgClient c = Connect();
  for (uint16_t len : {8, 4, 0}) {
    SCOPED_TRACE(len);
    std::string raw(MsgHead::kSize, '\0');
    MsgHead{len, kEcho, len}.Encode(reinterpret_cast<uint8_t*>(raw.data()));
    ASSERT_TRUE(c.SendRaw(raw));
    std::optional<Message> m = c.Recv();
    ASSERT_TRUE(m.has_value());
    EchoInfo e = ParseEcho(m->body);
    EXPECT_TRUE(e.nullBody);
    EXPECT_EQ(e.bodyLen, 0u);
  }
}

TEST_F(LocalServerTest, LargestMessageIsReadWhole) {
  std::string body(65527, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + 3);
  MsgClient c = Connect();
  ASSERT_TRUE(c.Send(kEcho, 5, body));
  std::optional<Message> m = c.Recv();
  ASSERT_TRUE(m.has_value());
  EchoInfo e = ParseEcho(m->body);
  EXPECT_EQ(e.bodyLen, 65527u);
  EXPECT_EQ(e.digest, Fnv(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

TEST_F(LocalServerTest, UnregisteredOpcodeClosesBeforeTheBody) {
  MsgClient c = Connect();
  uint64_t id = Identify(c).first;
  // The head announces a body that never comes: the server must not wait for it.
  std::string raw(MsgHead::kSize, '\0');
  MsgHead{200, kUnknown, 1}.Encode(reinterpret_cast<uint8_t*>(raw.data()));
  ASSERT_TRUE(c.SendRaw(raw));
  EXPECT_TRUE(c.WaitPeerClose());
  EXPECT_TRUE(WaitClosed(id));
}

TEST_F(LocalServerTest, RelayCommandsAreReadWholeAndUnanswered) {
  MsgClient c = Connect();
  std::string batch = MsgClient::Frame(0x1009, 1, std::string(300, 'r')) +
                      MsgClient::Frame(0x1008, 2) + MsgClient::Frame(kEcho, 3, "after");
  ASSERT_TRUE(c.SendRaw(batch));
  std::optional<Message> m = c.Recv();
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->head.seq, 3u);  // nothing came before it
  EXPECT_EQ(ParseEcho(m->body).bodyLen, 5u);
  EXPECT_NE(LogText().find("Type(4105) not registe."), std::string::npos);
  EXPECT_NE(LogText().find("Type(4104) not registe."), std::string::npos);
}

TEST_F(LocalServerTest, ReplyIsSentOnlyWithAPositiveLength) {
  MsgClient c = Connect();
  ASSERT_TRUE(c.Send(kBadLen, 1, std::string(1, '\0')));
  ASSERT_TRUE(c.Send(kBadLen, 2, std::string(1, '\1')));
  ASSERT_TRUE(c.Send(kEcho, 3));
  std::optional<Message> m = c.Recv();
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->head.opcode, kEcho);
  EXPECT_EQ(m->head.seq, 3u);
  EXPECT_EQ(LogText().find("Write return message error."), std::string::npos);
}

TEST_F(LocalServerTest, ReplyStoredBeforeAnErrorIsSent) {
  MsgClient c = Connect();
  ASSERT_TRUE(c.Send(kThrow, 1));
  ASSERT_TRUE(c.Send(kFail, 2));
  std::optional<Message> m1 = c.Recv();
  std::optional<Message> m2 = c.Recv();
  ASSERT_TRUE(m1 && m2);
  EXPECT_EQ(m1->body, "half");
  EXPECT_EQ(m2->body, "error");
  EXPECT_NE(LogText().find("Do request exception."), std::string::npos);
}

TEST_F(LocalServerTest, TrayRequestFromLoopbackIsServed) {
  MsgClient c = Connect();
  ASSERT_TRUE(c.Send(kTray, 4));
  std::optional<Message> m = c.Recv();
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->head.opcode, kTray);
  EXPECT_EQ(static_cast<Origin>(m->body.at(8)), Origin::Loopback);
}

TEST_F(LocalServerTest, TrayRequestFromTheLanIsClosedUnanswered) {
  OS_SetOriginClassifier(AlwaysLan);
  MsgClient device = Connect();
  auto [id, origin] = Identify(device);  // device requests are served
  EXPECT_EQ(origin, Origin::Lan);
  ASSERT_TRUE(device.Send(kTray, 2));
  EXPECT_TRUE(device.WaitPeerClose());
  EXPECT_TRUE(WaitClosed(id));
}

TEST_F(LocalServerTest, CloseHookRunsOnceOnEveryClosePath) {
  MsgClient eof = Connect();
  MsgClient reset = Connect();
  MsgClient refused = Connect();
  MsgClient atStop = Connect();
  uint64_t eofId = Identify(eof).first;
  uint64_t resetId = Identify(reset).first;
  uint64_t refusedId = Identify(refused).first;
  uint64_t stopId = Identify(atStop).first;
  // Only the connection accepted from here on times out.
  OS_SetLocalIdleTimeout(300);
  MsgClient idle = Connect();
  uint64_t idleId = Identify(idle).first;
  EXPECT_EQ(std::set<uint64_t>({eofId, resetId, refusedId, idleId, stopId}).size(), 5u);

  eof.Close();
  reset.Reset();
  ASSERT_TRUE(refused.Send(kUnknown, 1));
  EXPECT_TRUE(WaitClosed(eofId));
  EXPECT_TRUE(WaitClosed(resetId));
  EXPECT_TRUE(WaitClosed(refusedId));
  EXPECT_TRUE(WaitClosed(idleId));  // silent for longer than the idle time-out
  EXPECT_TRUE(idle.WaitPeerClose());

  // The last one keeps talking, so only the stop closes it.
  ASSERT_TRUE(atStop.Send(kEcho, 2));
  ASSERT_TRUE(atStop.Recv().has_value());
  EXPECT_EQ(CloseCount(stopId), 0);
  Stop();
  EXPECT_EQ(CloseCount(stopId), 1);
  EXPECT_TRUE(atStop.WaitPeerClose());
  for (uint64_t id : {eofId, resetId, refusedId, idleId}) EXPECT_EQ(CloseCount(id), 1) << id;
}

TEST_F(LocalServerTest, PeerResetDuringALargeReplyLeavesTheServerRunning) {
  for (bool halfClosed : {false, true}) {
    SCOPED_TRACE(halfClosed ? "end of stream, then reset" : "reset");
    MsgClient c = Connect();
    uint64_t id = Identify(c).first;
    ASSERT_TRUE(c.Send(kBig, 1));
    char some[4096];
    ASSERT_GT(::recv(c.fd(), some, sizeof some, 0), 0);  // the write is under way
    if (halfClosed) {
      // While the loop is held up in a handler, the peer ends its side and then
      // resets: the next write meets a half-closed connection and fails with EPIPE,
      // which would raise SIGPIPE.
      ASSERT_TRUE(c.Send(kSlow, 2));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      ::shutdown(c.fd(), SHUT_WR);
    }
    c.Reset();
    EXPECT_TRUE(WaitClosed(id, 5000));
  }
  RoundTrip();
}

TEST_F(LocalServerTest, AnswersQueuedBeforeTheCloseStillReachThePeer) {
  // A peer that ends its sending side right after its requests, or follows them with a
  // request that closes the connection, still gets every answer queued before: 16 MiB
  // that cannot have gone out yet, and the echo after them.
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused opcode" : "end of stream");
    MsgClient c = Connect();
    uint64_t id = Identify(c).first;
    std::string batch = MsgClient::Frame(kBig, 1) + MsgClient::Frame(kEcho, 2, "last");
    if (refused) batch += MsgClient::Frame(kUnknown, 3);
    ASSERT_TRUE(c.SendRaw(batch));
    if (!refused) {
      ASSERT_EQ(::shutdown(c.fd(), SHUT_WR), 0);
    }
    timeval limit{10, 0};  // a server that never closes fails the test, not the run
    ASSERT_EQ(::setsockopt(c.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    std::string got;
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(c.fd(), buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    const size_t echoSize = MsgHead::kSize + 14;
    ASSERT_EQ(got.size(), (16u << 20) + echoSize);
    MsgHead echo = MsgHead::Decode(reinterpret_cast<const uint8_t*>(got.data()) + (16u << 20));
    EXPECT_EQ(echo.opcode, kEcho);
    EXPECT_EQ(echo.seq, 2u);
    EXPECT_TRUE(WaitClosed(id));
  }
}

TEST_F(LocalServerTest, ServerRestartsInTheSameProcess) {
  uint16_t first = m_port;
  MsgClient open = Connect();
  Identify(open);
  Stop();
  EXPECT_EQ(OS_LocalServerState(), LocalServerState::Pending);
  EXPECT_NE(LogText().find("[INFO] exit local server.\n"), std::string::npos);
  MsgClient refused;
  EXPECT_FALSE(refused.Connect(first, 500));

  Start();
  RoundTrip();
}

TEST_F(LocalServerTest, ConnInfoRefusesForeignBufferevents) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  event_base* base = event_base_new();
  bufferevent* bev = bufferevent_socket_new(base, fds[0], BEV_OPT_CLOSE_ON_FREE);
  uint64_t id = 42;
  Origin origin = Origin::Udt;
  EXPECT_FALSE(OS_GetConnInfo(bev, &id, &origin));
  EXPECT_FALSE(OS_GetConnInfo(nullptr, &id, &origin));
  EXPECT_EQ(id, 42u);
  EXPECT_EQ(origin, Origin::Udt);
  bufferevent_free(bev);
  event_base_free(base);
  ::close(fds[1]);
}

// Streamed output: a writer that sends `count` messages of 1,000 body bytes after the
// handler's own reply, numbered 1 to count.
constexpr uint16_t kStream = 0x0108;
std::atomic<int> g_writerCancels{0};
std::atomic<int> g_writersAlive{0};
std::atomic<size_t> g_largestRoom{0};

class CountingWriter : public ConnWriter {
 public:
  explicit CountingWriter(uint32_t count) : m_count(count) { ++g_writersAlive; }
  ~CountingWriter() override { --g_writersAlive; }
  Status Refill(bufferevent* conn, size_t room) override {
    if (room > g_largestRoom) g_largestRoom = room;
    std::string body(1000, 's');
    for (size_t sent = 0; sent < room && m_next <= m_count; sent += body.size() + 8) {
      std::string frame = MsgClient::Frame(kStream, m_next++, body);
      bufferevent_write(conn, frame.data(), frame.size());
    }
    return m_next > m_count ? Status::Done : Status::More;
  }
  void Cancel() override { ++g_writerCancels; }

 private:
  uint32_t m_count;
  uint32_t m_next = 1;
};

int Stream(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
           uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t*) {
  uint32_t count = bodyLen >= 4 ? wire::GetU32(body) : 0;
  Reply(head, "before", reply, replyLen);
  return OS_AttachConnWriter(conn, std::make_unique<CountingWriter>(count)) ? 0 : -1;
}

std::string Count(uint32_t n) {
  std::string b(4, '\0');
  wire::PutU32(reinterpret_cast<uint8_t*>(b.data()), n);
  return b;
}

TEST_F(LocalServerTest, StreamedOutputFollowsTheReplyAndHoldsLaterRequests) {
  ASSERT_EQ(OS_RegFunction(Stream, kStream), ERR_OK);
  g_largestRoom = 0;
  MsgClient c = Connect();
  ASSERT_TRUE(c.SendRaw(MsgClient::Frame(kStream, 0, Count(3000)) + MsgClient::Frame(kEcho, 9)));
  std::optional<Message> first = c.Recv();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->body, "before");
  // Meanwhile another connection is served.
  RoundTrip();
  for (uint32_t seq = 1; seq <= 3000; ++seq) {
    std::optional<Message> m = c.Recv();
    ASSERT_TRUE(m.has_value()) << seq;
    ASSERT_EQ(m->head.opcode, kStream);
    ASSERT_EQ(m->head.seq, seq);
  }
  std::optional<Message> echo = c.Recv();
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ(echo->head.opcode, kEcho);
  EXPECT_EQ(echo->head.seq, 9u);
  EXPECT_LE(g_largestRoom.load(), kConnWriterQueueBytes);
  EXPECT_EQ(g_writersAlive.load(), 0);
}

TEST_F(LocalServerTest, WriterIsCancelledWhenItsConnectionCloses) {
  ASSERT_EQ(OS_RegFunction(Stream, kStream), ERR_OK);
  g_writerCancels = 0;
  MsgClient c = Connect();
  uint64_t id = Identify(c).first;
  ASSERT_TRUE(c.Send(kStream, 0, Count(1000000)));
  ASSERT_TRUE(c.Recv().has_value());
  ASSERT_TRUE(c.Recv().has_value());  // streaming
  c.Reset();
  EXPECT_TRUE(WaitClosed(id, 5000));
  EXPECT_EQ(g_writerCancels.load(), 1);
  EXPECT_EQ(g_writersAlive.load(), 0);
  // A writer still streaming at the server's stop is cancelled too.
  MsgClient d = Connect();
  ASSERT_TRUE(d.Send(kStream, 0, Count(1000000)));
  ASSERT_TRUE(d.Recv().has_value());
  Stop();
  EXPECT_EQ(g_writerCancels.load(), 2);
  EXPECT_EQ(g_writersAlive.load(), 0);
  EXPECT_FALSE(OS_AttachConnWriter(nullptr, std::make_unique<CountingWriter>(1)));
}

std::atomic<int> g_echoes{0};

int CountedEcho(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                uint8_t** reply, int32_t* replyLen, int32_t* udt, uint8_t* direct) {
  ++g_echoes;
  return Echo(body, bodyLen, head, conn, reply, replyLen, udt, direct);
}

// While a connection's answers pile up unread, its further requests are not read; they
// are served, in order, once the peer has read enough.
TEST_F(LocalServerTest, RequestsWaitWhileAnswersQueueAboveTheHighWaterMark) {
  constexpr uint16_t kCounted = 0x0109;
  ASSERT_EQ(OS_RegFunction(CountedEcho, kCounted), ERR_OK);
  LocalServerLimits limits = OS_GetLocalServerLimits();
  limits.outputHighBytes = 1u << 20;
  OS_SetLocalServerLimits(limits);
  g_echoes = 0;
  MsgClient c = Connect();
  ASSERT_TRUE(c.SendRaw(MsgClient::Frame(kBig, 1) + MsgClient::Frame(kCounted, 2) +
                        MsgClient::Frame(kCounted, 3)));
  // Other connections are served meanwhile; this one's echoes wait.
  RoundTrip();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(g_echoes.load(), 0);
  // The big answer is 16 MiB of zeros, no message: read it as bytes.
  std::vector<char> sink(1 << 16);
  for (size_t left = 16u << 20; left > 0;) {
    ssize_t n = ::recv(c.fd(), sink.data(), std::min(left, sink.size()), 0);
    ASSERT_GT(n, 0);
    left -= static_cast<size_t>(n);
  }
  for (uint32_t seq : {2u, 3u}) {
    std::optional<Message> m = c.Recv();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->head.seq, seq);
  }
  EXPECT_EQ(g_echoes.load(), 2);
  OS_SetLocalServerLimits(LocalServerLimits{});
}

// A writer that waits for another thread's answer with nothing queued holds its
// connection past the idle limit; a peer that leaves a streamed answer unread does not.
class ParkedWriter : public ConnWriter {
 public:
  Status Refill(bufferevent*, size_t) override { return Status::Wait; }
  void Cancel() override {}
};

int Park(const uint8_t*, uint32_t, const MsgHead*, bufferevent* conn, uint8_t**, int32_t*,
         int32_t*, uint8_t*) {
  return OS_AttachConnWriter(conn, std::make_unique<ParkedWriter>()) ? 0 : -1;
}

TEST_F(LocalServerTest, IdleLimitSparesAWaitingWriterButNotAnUnreadStream) {
  constexpr uint16_t kPark = 0x010A;
  ASSERT_EQ(OS_RegFunction(Park, kPark), ERR_OK);
  ASSERT_EQ(OS_RegFunction(Stream, kStream), ERR_OK);
  LocalServerLimits limits = OS_GetLocalServerLimits();
  limits.idleMs = 300;
  limits.partialMs = 300;
  OS_SetLocalServerLimits(limits);
  MsgClient parked = Connect();
  uint64_t parkedId = Identify(parked).first;
  ASSERT_TRUE(parked.Send(kPark, 1));
  MsgClient unread = Connect();
  uint64_t unreadId = Identify(unread).first;
  int rcv = 4096;
  ::setsockopt(unread.fd(), SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
  ASSERT_TRUE(unread.Send(kStream, 0, Count(1000000)));
  EXPECT_TRUE(WaitClosed(unreadId, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(CloseCount(parkedId), 0);
  EXPECT_NE(LogText().find("nothing arrived and nothing went out for 300 ms"), std::string::npos);
  OS_SetLocalServerLimits(LocalServerLimits{});
}

// Without the fixture: these servers never reach their loop.
class LocalServerStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OS_ResetLocalServerState();
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
  }
  void TearDown() override {
    g_Log.Close();
    OS_ResetLocalServerState();
  }
  support::TempDir m_dir;
};

TEST_F(LocalServerStartTest, PortInUseFails) {
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  socklen_t len = sizeof sin;
  ::getsockname(blocker, reinterpret_cast<sockaddr*>(&sin), &len);
  uint16_t port = ntohs(sin.sin_port);

  g_LocalPort = port;
  OS_RunEvent(nullptr);  // returns at once
  EXPECT_EQ(OS_LocalServerState(), LocalServerState::Failed);
  EXPECT_EQ(g_LocalPort.load(), port);
  std::string log = m_dir.Read("Log.txt");
  EXPECT_NE(log.find("[ERROR] Couldn't create listener.\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Bind port"), std::string::npos);
  ::close(blocker);
}

TEST_F(LocalServerStartTest, StopBeforeTheLoopStartsEndsIt) {
  g_LocalPort = 0;
  OS_StopLocalServer();
  OS_RunEvent(nullptr);  // would run forever if the stop were lost
  EXPECT_EQ(OS_LocalServerState(), LocalServerState::Pending);
  EXPECT_NE(m_dir.Read("Log.txt").find("exit local server."), std::string::npos);
}

TEST(LocalServerOrigin, ClassifiesPeerAddresses) {
  auto v4 = [](const char* text) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    return OS_ClassifyPeer(reinterpret_cast<sockaddr*>(&a), sizeof a);
  };
  auto v6 = [](const char* text) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    return OS_ClassifyPeer(reinterpret_cast<sockaddr*>(&a), sizeof a);
  };
  EXPECT_EQ(v4("127.0.0.1"), Origin::Loopback);
  EXPECT_EQ(v4("127.255.1.2"), Origin::Loopback);
  EXPECT_EQ(v4("192.168.1.20"), Origin::Lan);
  EXPECT_EQ(v4("10.0.0.1"), Origin::Lan);
  EXPECT_EQ(v4("128.0.0.1"), Origin::Lan);
  EXPECT_EQ(v4("0.0.0.0"), Origin::Lan);
  EXPECT_EQ(v6("::1"), Origin::Loopback);
  EXPECT_EQ(v6("::ffff:127.0.0.1"), Origin::Loopback);
  EXPECT_EQ(v6("::ffff:192.168.1.20"), Origin::Lan);
  EXPECT_EQ(v6("fe80::1"), Origin::Lan);
  EXPECT_EQ(OS_ClassifyPeer(nullptr, 0), Origin::Lan);
  sockaddr_in shortAddr{};
  shortAddr.sin_family = AF_INET;
  EXPECT_EQ(OS_ClassifyPeer(reinterpret_cast<sockaddr*>(&shortAddr), 4), Origin::Lan);
}

}  // namespace
