// The relay client against a scripted stand-in for the central server's relay: a loopback
// listener that reads the client's frames and writes data frames and 8-byte answers,
// whole or split into pieces.
#include "comm/relay_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm/core.h"
#include "comm/dispatch.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/opcodes.h"
#include "comm/wire.h"
#include "platform/net.h"
#include "support/fake_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kOwnId = "00-11-22-33-44-55";
constexpr const char* kDevice = "phone-1";

// Test opcodes.
constexpr uint16_t kEcho = 0x2002;  // answers {12, op, seq} + the body length it saw
constexpr uint16_t kHuge = 0x2003;  // answers one byte more than a RelayReply can carry
constexpr uint16_t kThumb = OP_REQ_DOWNLOAD_THUMB_NIAL;  // writes its own frame, leaves a reply
constexpr uint16_t kTray = OP_SHOW_LOG_ON_STATUES;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// What the handlers saw, for the tests to look at.
struct Seen {
  MsgHead head;
  Bytes body;
  uint8_t direct = 1;
  bool hadConn = false;
};
std::mutex g_seenMutex;
std::vector<Seen> g_seen;

void Record(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t direct) {
  std::lock_guard<std::mutex> lock(g_seenMutex);
  g_seen.push_back(Seen{*head, Bytes(body, body + bodyLen), direct, conn != nullptr});
}

std::vector<Seen> TakeSeen() {
  std::lock_guard<std::mutex> lock(g_seenMutex);
  return std::exchange(g_seen, {});
}

Bytes Message(uint16_t opcode, uint32_t seq, const Bytes& payload = {}) {
  Bytes m(MsgHead::kSize + payload.size());
  MsgHead{static_cast<uint16_t>(m.size()), opcode, seq}.Encode(m.data());
  std::copy(payload.begin(), payload.end(), m.begin() + MsgHead::kSize);
  return m;
}

int EchoHandler(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t* direct) {
  Record(body, bodyLen, head, conn, *direct);
  *reply = AllocReply(12);
  MsgHead{12, head->opcode, head->seq}.Encode(*reply);
  wire::PutU32(*reply + 8, bodyLen);
  *replyLen = 12;
  return 0;
}

int HugeHandler(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t* direct) {
  Record(body, bodyLen, head, conn, *direct);
  *replyLen = static_cast<int32_t>(kRelayMaxMessage + 1);
  *reply = AllocReply(static_cast<size_t>(*replyLen));
  MsgHead{0, head->opcode, head->seq}.Encode(*reply);
  return 0;
}

int ThumbHandler(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                 uint8_t** reply, int32_t* replyLen, int32_t*, uint8_t* direct) {
  Record(body, bodyLen, head, conn, *direct);
  Bytes own = Message(OP_THUMB_STATUS, head->seq, {0, 0, 0, 0});
  OS_SendRelayMessage(conn, body, own.data(), own.size());
  *reply = AllocReply(12);
  MsgHead{12, 0x7777, head->seq}.Encode(*reply);
  *replyLen = 12;
  return 0;
}

// An SV_INTER_LINE_DATA frame from the server: head with the device's id, 64 bytes that
// the service ignores (filled with 0xAA), then the device's message.
Bytes DataFrame(const std::string& device, const Bytes& message) {
  Bytes f(ServerMsgHead::kSize + kRelayIdSize + message.size(), 0xAA);
  ServerMsgHead{static_cast<uint16_t>(f.size()), 6, SV_INTER_LINE_DATA, device}.Encode(f.data());
  std::copy(message.begin(), message.end(), f.begin() + ServerMsgHead::kSize + kRelayIdSize);
  return f;
}

Bytes Answer(uint16_t command, uint16_t result = 0) {
  Bytes b(ServerReplyHead::kSize);
  ServerReplyHead{8, 6, command, result}.Encode(b.data());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A frame the client sent: its head and body.
struct Sent {
  ServerMsgHead head;
  Bytes raw;  // head and body
};

// One accepted relay connection, seen from the server's side.
class Peer {
 public:
  explicit Peer(int fd) : m_fd(fd) {}
  ~Peer() { platform::CloseSocket(m_fd); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool Send(const Bytes& b) { return platform::SendAll(m_fd, b.data(), b.size()) == 0; }
  // Sends b in pieces of the given sizes (the rest last), pausing between them so that
  // each arrives on its own.
  bool SendInPieces(const Bytes& b, const std::vector<size_t>& pieces, int pauseMs = 15) {
    size_t off = 0;
    for (size_t n : pieces) {
      n = std::min(n, b.size() - off);
      if (platform::SendAll(m_fd, b.data() + off, n) != 0) return false;
      off += n;
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return off == b.size() || platform::SendAll(m_fd, b.data() + off, b.size() - off) == 0;
  }

  // The next frame within timeoutMs; nullopt on a time-out or close.
  std::optional<Sent> Read(int timeoutMs = 2000) {
    Sent s;
    s.raw.resize(ServerMsgHead::kSize);
    if (!ReadExact(s.raw.data(), ServerMsgHead::kSize, timeoutMs)) return std::nullopt;
    s.head = ServerMsgHead::Decode(s.raw.data());
    if (s.head.length < ServerMsgHead::kSize) return std::nullopt;
    s.raw.resize(s.head.length);
    if (!ReadExact(s.raw.data() + ServerMsgHead::kSize, s.head.length - ServerMsgHead::kSize,
                   timeoutMs)) {
      return std::nullopt;
    }
    return s;
  }
  // The next frame that is not a keep-alive.
  std::optional<Sent> ReadReply(int timeoutMs = 2000) {
    for (;;) {
      auto s = Read(timeoutMs);
      if (!s || s->head.command != SV_INTER_LINE_REQ) return s;
    }
  }
  // True when the client closes within timeoutMs (keep-alives are read over).
  bool WaitClose(int timeoutMs) {
    auto start = Clock::now();
    while (MsSince(start) < timeoutMs) {
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        uint8_t buf[512];
        if (::recv(m_fd, buf, sizeof buf, 0) <= 0) return true;
      }
    }
    return false;
  }

 private:
  bool ReadExact(uint8_t* out, size_t len, int timeoutMs) {
    auto start = Clock::now();
    size_t got = 0;
    while (got < len) {
      int left = timeoutMs - static_cast<int>(MsSince(start));
      if (left <= 0) return false;
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) return false;
      ssize_t n = ::recv(m_fd, out + got, len - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }

  int m_fd;
};

// The stand-in's listener on 127.0.0.1; port 0 lets the system choose.
class Listener {
 public:
  explicit Listener(uint16_t port = 0) {
    m_fd = support::ListenTcp(port, 8, &m_port);
  }
  ~Listener() { platform::CloseSocket(m_fd); }
  uint16_t port() const { return m_port; }

  std::unique_ptr<Peer> Accept(int timeoutMs = 2000) {
    int fd = support::AcceptWithin(m_fd, timeoutMs);
    return fd < 0 ? nullptr : std::make_unique<Peer>(fd);
  }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

class RelayClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OS_ClearRegistry();
    OS_ClearStopFlag();
    TakeSeen();
    std::snprintf(g_MacBuf, sizeof g_MacBuf, "%s", kOwnId);
    g_LogOnRtn = 0;
    ASSERT_EQ(OS_RegFunction(EchoHandler, kEcho), 0);
    ASSERT_EQ(OS_RegFunction(HugeHandler, kHuge), 0);
    ASSERT_EQ(OS_RegFunction(ThumbHandler, kThumb), 0);
    ASSERT_EQ(OS_RegFunction(EchoHandler, kTray), 0);
    m_config.host = "127.0.0.1";
    m_config.port = m_listener.port();
    m_config.keepAliveMs = 60000;
    m_config.retryMs = 100;
    m_config.stopCheckMs = 20;
  }
  void TearDown() override {
    StopClient();
    OS_ClearRegistry();
    g_LogOnRtn = ERR_CONNECT_NET;
  }

  void StartClient() {
    m_thread = std::thread([this] { StartRecvInterLine(&m_config); });
  }
  void StopClient() {
    OS_SetStopFlag();
    if (m_thread.joinable()) m_thread.join();
    OS_ClearStopFlag();
  }
  // Starts the client and takes its connection and registration.
  std::unique_ptr<Peer> Connected() {
    StartClient();
    auto peer = m_listener.Accept();
    if (peer == nullptr) return nullptr;
    auto reg = peer->Read();
    if (!reg || reg->head.command != SV_INTER_LINE_REQ) return nullptr;
    return peer;
  }
  // The sequence numbers of the replies that come before the marker (seq 999), which is
  // sent after whatever a case scripted; the marker must come back.
  std::vector<uint32_t> RepliesUpToMarker(Peer& peer) {
    EXPECT_TRUE(peer.Send(DataFrame(kDevice, Message(kEcho, 999))));
    std::vector<uint32_t> seqs;
    for (;;) {
      auto r = peer.ReadReply();
      if (!r) {
        ADD_FAILURE() << "the marker was not answered";
        return seqs;
      }
      uint32_t seq = wire::GetU32(r->raw.data() + kRelayReplyHeadSize + 4);
      if (seq == 999) return seqs;
      seqs.push_back(seq);
    }
  }

  Listener m_listener;
  RelayClientConfig m_config;
  std::thread m_thread;
};

TEST_F(RelayClientTest, RegistersOnConnectAndKeepsAliveOnItsPeriod) {
  m_config.keepAliveMs = 60;
  // Taken before the client exists, so no keep-alive can be sent before start plus its
  // period; the times of reading are late by however long this thread waits, never early.
  auto start = Clock::now();
  StartClient();
  auto peer = m_listener.Accept();
  ASSERT_NE(peer, nullptr);
  // The registration comes on connect, not on the first tick: Connected() reads it
  // within 2 s while the keep-alive period is a minute.
  auto reg = peer->Read();
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->raw.size(), 70u);
  EXPECT_EQ(reg->head.length, 70);
  EXPECT_EQ(reg->head.version, 6);
  EXPECT_EQ(reg->head.command, SV_INTER_LINE_REQ);
  EXPECT_EQ(reg->head.stationId, kOwnId);

  std::vector<int64_t> at;
  while (at.size() < 4) {
    auto k = peer->Read();
    ASSERT_TRUE(k);
    EXPECT_EQ(k->raw, reg->raw);
    at.push_back(MsSince(start));
  }
  // A keep-alive goes once a period, none early (less the event loop's coarse clock).
  for (size_t i = 0; i < at.size(); ++i) {
    EXPECT_GE(at[i], static_cast<int64_t>(i + 1) * 60 - 20) << i;
  }
}

TEST_F(RelayClientTest, ConnectsOnlyWhileLoggedOnAndReconnectsAfterThePause) {
  m_config.retryMs = 250;
  g_LogOnRtn = ERR_CONNECT_NET;
  StartClient();
  EXPECT_EQ(m_listener.Accept(600), nullptr);  // not logged on: no connection

  g_LogOnRtn = 0;
  auto peer = m_listener.Accept(8000);
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(peer->Read());
  EXPECT_TRUE(OS_RelayConnected());

  // A change of the logon state leaves an open connection alone.
  g_LogOnRtn = 0x1001;
  ASSERT_TRUE(peer->Send(DataFrame(kDevice, Message(kEcho, 5))));
  ASSERT_TRUE(peer->ReadReply());

  // The server closes: no new connection while logged off ...
  peer.reset();
  EXPECT_EQ(m_listener.Accept(600), nullptr);
  // ... and the next one a pause after the end once logged on again.
  g_LogOnRtn = 0;
  auto relogged = Clock::now();
  peer = m_listener.Accept(8000);
  ASSERT_NE(peer, nullptr);
  EXPECT_LE(MsSince(relogged), 5000);  // long before a keep-alive period
  auto closedAt = Clock::now();
  peer.reset();
  peer = m_listener.Accept(8000);
  ASSERT_NE(peer, nullptr);
  EXPECT_GE(MsSince(closedAt), 200);
  auto reg = peer->Read();
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->head.command, SV_INTER_LINE_REQ);
}

TEST_F(RelayClientTest, RetriesAfterAFailedConnect) {
  // Nothing listens on the port of a listener that is gone, until one is bound there again.
  uint16_t port = 0;
  {
    Listener gone;
    port = gone.port();
  }
  m_config.port = port;
  StartClient();
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  EXPECT_FALSE(OS_RelayConnected());
  Listener back(port);
  ASSERT_EQ(back.port(), port);
  auto peer = back.Accept(1500);
  ASSERT_NE(peer, nullptr);
  auto reg = peer->Read();
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->head.command, SV_INTER_LINE_REQ);
}

TEST_F(RelayClientTest, RelayedRequestSeesThePrefixAndItsReplyIsWrapped) {
  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  // An id that fills its whole field, a message shorter than the frame's body (the extra
  // bytes are not the handler's), and a payload the handler reads at offset 72.
  std::string longId(64, 'd');
  Bytes msg = Message(kEcho, 42, {1, 2, 3, 4, 5});
  Bytes frame = DataFrame(longId, msg);
  frame.insert(frame.end(), {9, 9, 9});
  wire::PutU16(frame.data(), static_cast<uint16_t>(frame.size()));
  ASSERT_TRUE(peer->Send(frame));

  auto r = peer->ReadReply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.length, 146);
  EXPECT_EQ(r->raw.size(), 146u);
  EXPECT_EQ(r->head.version, 6);
  EXPECT_EQ(r->head.command, SV_INTER_LINE_DATA);
  EXPECT_EQ(r->head.stationId, kOwnId);
  EXPECT_EQ(wire::GetText(r->raw.data() + 70, 64), std::string(63, 'd'));
  EXPECT_EQ(r->raw[70 + 63], 0);
  MsgHead rh = MsgHead::Decode(r->raw.data() + kRelayReplyHeadSize);
  EXPECT_EQ(rh.length, 12);
  EXPECT_EQ(rh.opcode, kEcho);
  EXPECT_EQ(rh.seq, 42u);
  EXPECT_EQ(wire::GetU32(r->raw.data() + kRelayReplyHeadSize + 8), 64u + msg.size());

  auto seen = TakeSeen();
  ASSERT_EQ(seen.size(), 1u);
  const Seen& s = seen[0];
  EXPECT_EQ(s.direct, 0);
  EXPECT_TRUE(s.hadConn);
  EXPECT_EQ(s.head.opcode, kEcho);
  EXPECT_EQ(s.head.length, msg.size());
  ASSERT_EQ(s.body.size(), 64u + msg.size());
  EXPECT_EQ(std::string(s.body.begin(), s.body.begin() + 63), std::string(63, 'd'));
  EXPECT_EQ(s.body[63], 0);
  EXPECT_TRUE(std::equal(msg.begin(), msg.end(), s.body.begin() + 64));
  EXPECT_EQ(s.body[kRelayPrefixSize], 1);
}

// Each case scripts bytes (whole or in pieces) after which the marker is sent; the
// replies before the marker must carry exactly the listed sequence numbers.
struct FramingCase {
  const char* name;
  Bytes bytes;
  std::vector<size_t> pieces;
  std::vector<uint32_t> replies;
};

std::vector<FramingCase> FramingCases() {
  Bytes one = DataFrame(kDevice, Message(kEcho, 1, {7, 7, 7}));
  Bytes two = DataFrame(kDevice, Message(kEcho, 2));
  std::vector<size_t> byteByByte(one.size(), 1);

  Bytes shortInner = DataFrame(kDevice, Message(kEcho, 3));
  wire::PutU16(shortInner.data() + 70 + 64, 7);
  Bytes longInner = DataFrame(kDevice, Message(kEcho, 4));
  wire::PutU16(longInner.data() + 70 + 64, 9);
  Bytes body71 = DataFrame(kDevice, Message(kEcho, 5));
  body71.resize(70 + 71);
  wire::PutU16(body71.data(), static_cast<uint16_t>(body71.size()));
  Bytes bare = DataFrame(kDevice, Message(kEcho, 6));  // body of 72: a bare inner head

  // A frame of another command whose body looks like a data frame: skipped whole.
  Bytes inside = DataFrame(kDevice, Message(kEcho, 66));
  Bytes other(70 + inside.size());
  ServerMsgHead{static_cast<uint16_t>(other.size()), 6, SV_SET_SV_INFO, "x"}.Encode(other.data());
  std::copy(inside.begin(), inside.end(), other.begin() + 70);

  Bytes big = DataFrame(kDevice, Message(kEcho, 7, Bytes(60000, 0x5A)));
  std::vector<size_t> bigPieces(40, 1500);

  return {
      {"whole frame", one, {}, {1}},
      {"byte by byte", one, byteByByte, {1}},
      {"head split at 3 and 40", one, {3, 37}, {1}},
      {"two frames in one segment", Cat({one, two}), {}, {1, 2}},
      {"second frame's head split", Cat({one, two}), {one.size() + 30}, {1, 2}},
      {"large frame in pieces", big, bigPieces, {7}},
      {"keep-alive answer alone", Answer(SV_INTER_LINE_REQ), {}, {}},
      {"answer and frame in one segment", Cat({Answer(SV_INTER_LINE_REQ), one}), {}, {1}},
      {"answers byte by byte", Cat({Answer(SV_INTER_LINE_DATA, 0x1000),
                                    Answer(SV_INTER_LINE_DOWN_LOAD)}),
       std::vector<size_t>(16, 1), {}},
      {"answer after a frame, same segment", Cat({one, Answer(SV_INTER_LINE_DATA), two}), {},
       {1, 2}},
      {"unknown command skipped whole", Cat({other, two}), {}, {2}},
      {"inner length below 8", Cat({shortInner, two}), {}, {2}},
      {"inner length past the frame", Cat({longInner, two}), {}, {2}},
      {"body of 71 bytes", Cat({body71, two}), {}, {2}},
      {"body of 72 bytes", bare, {}, {6}},
      {"unregistered opcode", Cat({DataFrame(kDevice, Message(7, 8)), two}), {}, {2}},
      {"tray opcode refused", Cat({DataFrame(kDevice, Message(kTray, 9)), two}), {}, {2}},
      {"relay command inside", Cat({DataFrame(kDevice, Message(SV_INTER_LINE_DATA, 10)), two}),
       {}, {2}},
  };
}

TEST_F(RelayClientTest, FramingCases) {
  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  for (const FramingCase& c : FramingCases()) {
    SCOPED_TRACE(c.name);
    if (c.pieces.empty()) {
      ASSERT_TRUE(peer->Send(c.bytes));
    } else {
      ASSERT_TRUE(peer->SendInPieces(c.bytes, c.pieces, c.pieces.size() > 20 ? 1 : 15));
    }
    EXPECT_EQ(RepliesUpToMarker(*peer), c.replies);
  }
  // The tray handler never ran, and the connection is still the first one.
  for (const Seen& s : TakeSeen()) EXPECT_NE(s.head.opcode, kTray);
  EXPECT_EQ(m_listener.Accept(0), nullptr);
}

TEST_F(RelayClientTest, LargeFrameReachesTheHandlerWhole) {
  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  Bytes payload(65535 - 70 - 64 - 8);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  Bytes frame = DataFrame(kDevice, Message(kEcho, 11, payload));
  ASSERT_EQ(frame.size(), 65535u);
  ASSERT_TRUE(peer->SendInPieces(frame, std::vector<size_t>(20, 3000), 2));
  auto r = peer->ReadReply();
  ASSERT_TRUE(r);
  auto seen = TakeSeen();
  ASSERT_EQ(seen.size(), 1u);
  ASSERT_EQ(seen[0].body.size(), 64u + 8 + payload.size());
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), seen[0].body.begin() + 72));
}

TEST_F(RelayClientTest, OversizeReplyIsNotSent) {
  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(peer->Send(DataFrame(kDevice, Message(kHuge, 1))));
  EXPECT_EQ(RepliesUpToMarker(*peer), std::vector<uint32_t>{});
  EXPECT_EQ(TakeSeen().front().head.opcode, kHuge);
}

TEST_F(RelayClientTest, ThumbnailHandlerWritesItselfAndItsSlotIsNotSent) {
  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(peer->Send(DataFrame(kDevice, Message(kThumb, 21))));
  auto r = peer->ReadReply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.length, 134 + 12);
  EXPECT_EQ(wire::GetText(r->raw.data() + 70, 64), kDevice);
  EXPECT_EQ(MsgHead::Decode(r->raw.data() + kRelayReplyHeadSize).opcode, OP_THUMB_STATUS);
  EXPECT_EQ(RepliesUpToMarker(*peer), std::vector<uint32_t>{});
}

TEST_F(RelayClientTest, OtherThreadsWriteOnlyOnTheOpenConnection) {
  uint8_t target[64] = {};
  std::memcpy(target, "tablet", 6);
  Bytes msg = Message(OP_DOWN_LOAD_DATA, 3, {1, 2});
  EXPECT_EQ(OS_SendRelayMessage(nullptr, target, msg.data(), msg.size()), -1);  // none open

  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  int rc = -2;
  std::thread([&] { rc = OS_SendRelayMessage(nullptr, target, msg.data(), msg.size()); }).join();
  EXPECT_EQ(rc, 0);
  auto r = peer->ReadReply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.length, 134 + msg.size());
  EXPECT_EQ(r->head.stationId, kOwnId);
  EXPECT_EQ(wire::GetText(r->raw.data() + 70, 64), "tablet");
  EXPECT_TRUE(std::equal(msg.begin(), msg.end(), r->raw.begin() + kRelayReplyHeadSize));

  // A connection pointer that is not the open relay connection is refused.
  auto* stale = reinterpret_cast<bufferevent*>(&rc);
  EXPECT_EQ(OS_WriteRelayFrame(stale, msg.data(), msg.size()), -1);
  Bytes tooLong(kRelayMaxMessage + 1);
  EXPECT_EQ(OS_SendRelayMessage(nullptr, target, tooLong.data(), tooLong.size()), -1);

  peer.reset();
  auto until = Clock::now() + std::chrono::seconds(5);
  while (OS_RelayConnected() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(OS_RelayConnected());
  EXPECT_EQ(OS_SendRelayMessage(nullptr, target, msg.data(), msg.size()), -1);
}

TEST_F(RelayClientTest, BacklogTowardsTheServerIsBounded) {
  m_config.maxPendingOutput = 100000;
  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  uint8_t target[64] = {'t'};
  Bytes msg(900);
  // The socket takes what it can; the bound applies to what waits behind it, so towards a
  // server that never reads, frames are refused once the backlog is full.
  int sent = 0;
  bool refused = false;
  while (sent < 60000 && !refused) {
    if (OS_SendRelayMessage(nullptr, target, msg.data(), msg.size()) == 0) ++sent;
    else refused = true;
  }
  EXPECT_TRUE(refused);
  EXPECT_GE(sent, 100000 / 1034);
}

TEST_F(RelayClientTest, UnreadableHeadClosesTheConnection) {
  m_config.retryMs = 50;
  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  Bytes junk(8);
  ServerReplyHead{10, 6, 0x2222, 0}.Encode(junk.data());
  ASSERT_TRUE(peer->Send(junk));
  EXPECT_TRUE(peer->WaitClose(2000));
  auto again = m_listener.Accept(2000);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->Read());
}

TEST_F(RelayClientTest, StopFlagEndsAnOpenConnection) {
  auto peer = Connected();
  ASSERT_NE(peer, nullptr);
  auto start = Clock::now();
  OS_SetStopFlag();
  m_thread.join();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(peer->WaitClose(1000));
  EXPECT_FALSE(OS_RelayConnected());
}

TEST(RelayReplyTest, EnvelopeLayoutAndLengthBound) {
  uint8_t target[64];
  std::memset(target, 'x', sizeof target);  // no zero: 63 bytes are taken
  Bytes msg = Message(kEcho, 1);
  Bytes out;
  ASSERT_TRUE(BuildRelayReply("pc", target, msg.data(), msg.size(), &out));
  ASSERT_EQ(out.size(), 142u);
  ServerMsgHead h = ServerMsgHead::Decode(out.data());
  EXPECT_EQ(h.length, 142);
  EXPECT_EQ(h.command, SV_INTER_LINE_DATA);
  EXPECT_EQ(h.stationId, "pc");
  EXPECT_EQ(wire::GetText(out.data() + 70, 64), std::string(63, 'x'));

  Bytes max(kRelayMaxMessage);
  EXPECT_TRUE(BuildRelayReply("pc", target, max.data(), max.size(), &out));
  EXPECT_EQ(wire::GetU16(out.data()), 0xFFFF);
  max.push_back(0);
  EXPECT_FALSE(BuildRelayReply("pc", target, max.data(), max.size(), &out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
