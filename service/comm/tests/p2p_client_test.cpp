// The P2P client against scripted UDP peers and a device double that speaks UDT: the
// message layouts, the heartbeat, the punches from the rendezvous server and from
// devices, the UDT receivers with Dispatch, the peer list's bounds and the stop.
#include "comm/p2p_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <udt/udt.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comm/core.h"
#include "comm/dispatch.h"
#include "comm/host_identity.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/server_exchange.h"
#include "comm/thread_pool.h"
#include "comm/wire.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

uint32_t Ip(const char* text) {
  in_addr a{};
  ::inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

Bytes Punch(uint16_t from, uint32_t addr1, uint16_t port1, uint32_t addr2, uint16_t port2,
            size_t size = kHolePunchMsgSize) {
  Bytes m(std::max(size, kHolePunchMsgSize), 0);
  P2PMsgHead{static_cast<uint16_t>(size), kP2PHeadConstant, P2P_HOLE_PUNCH}.Encode(m.data());
  HolePunchMsg p;
  p.from = from;
  p.addr1 = addr1;
  p.port1 = port1;
  p.addr2 = addr2;
  p.port2 = port2;
  for (int i = 0; i < 12; ++i) p.passOn[i] = static_cast<uint8_t>(0xA0 + i);
  p.EncodeBody(m.data());
  m.resize(size);
  return m;
}

// A plain UDP socket on 127.0.0.1 at a port the system picks.
class UdpPeer {
 public:
  UdpPeer() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = Loopback();
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &len);
    m_port = ntohs(sin.sin_port);
  }
  ~UdpPeer() {
    if (m_fd >= 0) ::close(m_fd);
  }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  uint16_t port() const { return m_port; }
  int fd() const { return m_fd; }
  // Hands the descriptor over (to UDT); the peer no longer closes it.
  int Release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }

  void SendTo(uint16_t port, const Bytes& data) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = Loopback();
    to.sin_port = htons(port);
    ::sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  std::optional<Bytes> Recv(int timeoutMs, sockaddr_in* from = nullptr) const {
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes buf(4096);
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    ssize_t n = ::recvfrom(m_fd, buf.data(), buf.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&sin), &len);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    if (from != nullptr) *from = sin;
    return buf;
  }

  // Every datagram that arrives until the socket stays quiet for quietMs.
  std::vector<Bytes> Drain(int quietMs) const {
    std::vector<Bytes> out;
    while (auto m = Recv(quietMs)) out.push_back(*m);
    return out;
  }
  // Every datagram that arrives within ms.
  std::vector<Bytes> CollectFor(int ms) const {
    std::vector<Bytes> out;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count());
      if (auto m = Recv(left)) out.push_back(*m);
    }
    return out;
  }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

// A device as the service meets it: a UDP socket that punches, then a UDT socket in
// rendezvous mode bound to it.
class UdtDevice {
 public:
  UdtDevice() { UDT::startup(); }
  ~UdtDevice() {
    Close();
    UDT::cleanup();
  }
  UdtDevice(const UdtDevice&) = delete;
  UdtDevice& operator=(const UdtDevice&) = delete;

  uint16_t port() const { return m_udp.port(); }

  // Punches the PC (from 0) until its 20-byte answer comes.
  std::optional<Bytes> PunchUntilAnswered(uint16_t pcPort, int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      m_udp.SendTo(pcPort, Punch(0, Loopback(), m_udp.port(), Loopback(), pcPort));
      while (auto m = m_udp.Recv(100)) {
        if (m->size() == kHolePunchReplySize) return m;
      }
    }
    return std::nullopt;
  }

  void SendUdp(uint16_t pcPort, const Bytes& data) const { m_udp.SendTo(pcPort, data); }

  bool Connect(uint16_t pcPort, int timeoutMs = 5000) {
    int fd = m_udp.Release();
    m_sock = UDT::socket(AF_INET, SOCK_DGRAM, 0);
    bool on = true;
    bool off = false;
    linger lg{0, 0};
    UDT::setsockopt(m_sock, 0, UDT_RENDEZVOUS, &on, sizeof on);
    UDT::setsockopt(m_sock, 0, UDT_LINGER, &lg, sizeof lg);
    if (UDT::bind2(m_sock, fd) == UDT::ERROR) return false;
    UDT::setsockopt(m_sock, 0, UDT_RCVSYN, &off, sizeof off);
    sockaddr_in pc{};
    pc.sin_family = AF_INET;
    pc.sin_addr.s_addr = Loopback();
    pc.sin_port = htons(pcPort);
    if (UDT::connect(m_sock, reinterpret_cast<sockaddr*>(&pc), sizeof pc) == UDT::ERROR) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (UDT::getsockstate(m_sock) != CONNECTED) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;  // receiving stays non-blocking; Recv polls
  }

  bool SendRaw(const Bytes& bytes) {
    return UDT::sendmsg(m_sock, reinterpret_cast<const char*>(bytes.data()),
                        static_cast<int>(bytes.size()), -1, true) == static_cast<int>(bytes.size());
  }
  bool Send(uint16_t opcode, uint32_t seq, const std::string& body, uint16_t length = 0) {
    Bytes m(MsgHead::kSize + body.size());
    MsgHead{length != 0 ? length : static_cast<uint16_t>(m.size()), opcode, seq}.Encode(m.data());
    std::memcpy(m.data() + MsgHead::kSize, body.data(), body.size());
    return SendRaw(m);
  }
  // One UDT message within timeoutMs.
  std::optional<Bytes> Recv(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Bytes buf(65536);
    for (;;) {
      int n = UDT::recvmsg(m_sock, reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()));
      if (n != UDT::ERROR) {
        buf.resize(static_cast<size_t>(n));
        return buf;
      }
      if (UDT::getlasterror().getErrorCode() != UDT::ERRORINFO::EASYNCRCV || Clock::now() > deadline) {
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  bool Broken() { return UDT::getsockstate(m_sock) != CONNECTED; }

  void Close() {
    if (m_sock >= 0) UDT::close(m_sock);
    m_sock = -1;
  }

 private:
  UdpPeer m_udp;
  int m_sock = -1;
};

// What the test handler saw.
struct Seen {
  std::mutex mutex;
  int calls = 0;
  bool bodyNull = false;
  uint32_t bodyLen = 0;
  int32_t udtSock = -2;
  uint8_t direct = 9;
};
Seen g_seen;

// Answers opcode 0x0777 with opcode 0x0778, the same number and the body reversed.
int EchoHandler(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent*,
                uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  {
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    ++g_seen.calls;
    g_seen.bodyNull = body == nullptr;
    g_seen.bodyLen = bodyLen;
    g_seen.udtSock = *udtSock;
    g_seen.direct = *direct;
  }
  *replyLen = static_cast<int32_t>(MsgHead::kSize + bodyLen);
  *reply = AllocReply(static_cast<size_t>(*replyLen));
  MsgHead{static_cast<uint16_t>(*replyLen), 0x0778, head->seq}.Encode(*reply);
  for (uint32_t i = 0; i < bodyLen; ++i) (*reply)[MsgHead::kSize + i] = body[bodyLen - 1 - i];
  return 0;
}

int TrayHandler(const uint8_t*, uint32_t, const MsgHead* head, bufferevent*, uint8_t** reply,
                int32_t* replyLen, int32_t*, uint8_t*) {
  *replyLen = 8;
  *reply = AllocReply(8);
  MsgHead{8, head->opcode, head->seq}.Encode(*reply);
  return 0;
}

std::mutex g_lostMutex;
std::vector<int32_t> g_lost;

void RecordLost(int32_t sock) {
  std::lock_guard<std::mutex> lock(g_lostMutex);
  g_lost.push_back(sock);
}

class P2PClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    g_Log.SetRepeatWindow(0);  // the cases count repeated lines
    OS_ClearStopFlag();
    if (g_ThreadPool == nullptr) g_ThreadPool = ThreadPool_Create();
    g_MacAddr = "00-1A-2B-3C-4D-5E";
    m_opt.heartBeatIntervalMs = 100;
    m_opt.pollTimeoutMs = 100;
    m_opt.udtConnectTimeoutMs = 3000;
    m_opt.udtLingerSec = 0;
    m_opt.stopWaitMs = 3000;
    m_opt.bindAddr = Loopback();
    const uint16_t serverPort = m_server.port();
    m_opt.serverInfo = [serverPort](std::string& host, uint16_t& port) {
      host = "127.0.0.1";
      port = serverPort;
    };
    m_opt.email = [] { return std::string("owner@example.com"); };
    m_opt.hostName = [] { return std::string("study-pc"); };
    g_LogOnRtn = 0;
    OS_SetUdtPeerLostHook(RecordLost);
  }

  void TearDown() override {
    Stop();
    g_Log.Close();
    g_Log.SetRepeatWindow(CLog::kDefaultRepeatWindowMs);
  }

  void Start() {
    SetP2PClientOptions(m_opt);
    m_client = std::thread([] { StartP2PClient(nullptr); });
    for (int i = 0; i < 2500 && P2PClientPort() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_NE(P2PClientPort(), 0);
    m_pcPort = P2PClientPort();
  }

  // Waits for the first heartbeat, after which the server's address is known.
  void AwaitHeartBeat() { ASSERT_TRUE(m_server.Recv(2000).has_value()); }

  void Stop() {
    if (!m_client.joinable()) return;
    OS_SetStopFlag();
    m_client.join();
  }

  std::string Log() const { return m_dir.Read("Log.txt"); }
  size_t LogCount(const std::string& text) const {
    std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  template <typename Pred>
  bool WaitFor(Pred pred, int timeoutMs = 3000) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  bool WaitLog(const std::string& text, int timeoutMs = 3000) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      if (LogCount(text) > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // UDT reads the client's socket too and may take any one datagram, so a message
  // whose effect is a log line is sent until the line shows.
  bool SendUntilLogged(const UdpPeer& peer, const Bytes& msg, const std::string& text) const {
    // Up to 10 s in all: a loaded machine may keep the client's thread from the datagram.
    for (int i = 0; i < 100; ++i) {
      peer.SendTo(m_pcPort, msg);
      if (WaitLog(text, 100)) return true;
    }
    return false;
  }

  support::TempDir m_dir;
  P2PClientOptions m_opt;
  UdpPeer m_server;
  std::thread m_client;
  uint16_t m_pcPort = 0;
};

// ---- Message layouts.

TEST(P2PMessages, HeartBeatLayout) {
  const uint8_t station[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  uint8_t m[kP2PHeartBeatSize];
  BuildP2PHeartBeat(m, "study-pc", station, "owner@example.com");
  EXPECT_EQ(wire::GetU16(m), 150);
  EXPECT_EQ(wire::GetU16(m + 2), 6);
  EXPECT_EQ(wire::GetU16(m + 4), P2P_HEART_BEAT);
  EXPECT_EQ(Bytes(m + 6, m + 22), Bytes(16, 0));
  EXPECT_EQ(wire::GetText(m + 22, 32), "study-pc");
  EXPECT_EQ(Bytes(m + 54, m + 60), Bytes(station, station + 6));
  EXPECT_EQ(Bytes(m + 60, m + 86), Bytes(26, 0));
  EXPECT_EQ(wire::GetText(m + 86, 32), "owner@example.com");
  EXPECT_EQ(Bytes(m + 118, m + 150), Bytes(32, 0));
}

TEST(P2PMessages, HeartBeatTextsKeepAZeroAndWholeCharacters) {
  const uint8_t station[6] = {};
  const std::string e2 = "\xC3\xA9";  // a two-byte character
  std::string fits = "a";
  std::string over = "aa";
  for (int i = 0; i < 15; ++i) {
    fits += e2;
    over += e2;
  }
  struct Case {
    std::string name;
    std::string expected;
  } cases[] = {
      {std::string(40, 'n'), std::string(31, 'n')},
      {fits, fits},                               // 31 bytes: fits with its zero
      {over, over.substr(0, 30)},                 // 32 bytes: the last character goes whole
  };
  for (const Case& c : cases) {
    uint8_t m[kP2PHeartBeatSize];
    BuildP2PHeartBeat(m, c.name, station, std::string(40, 'e'));
    EXPECT_EQ(wire::GetText(m + 22, 32), c.expected);
    EXPECT_EQ(m[22 + 31], 0);
    EXPECT_EQ(wire::GetText(m + 86, 32), std::string(31, 'e'));
  }
}

TEST(P2PMessages, ForwardedPunchSwapsThePairsAndEchoesTheRest) {
  Bytes in = Punch(1, Ip("10.0.0.7"), 4000, Ip("192.0.2.9"), 5000);
  HolePunchMsg p = HolePunchMsg::Decode(in.data());
  EXPECT_EQ(p.from, 1);
  EXPECT_EQ(p.port1, 4000);
  uint8_t out[kHolePunchMsgSize];
  BuildForwardedPunch(out, p);
  EXPECT_EQ(wire::GetU16(out), 32);
  EXPECT_EQ(wire::GetU16(out + 2), 6);
  EXPECT_EQ(wire::GetU16(out + 4), P2P_HOLE_PUNCH);
  EXPECT_EQ(wire::GetU16(out + 6), 0);
  EXPECT_EQ(Bytes(out + 8, out + 14), Bytes(in.begin() + 14, in.begin() + 20));
  EXPECT_EQ(Bytes(out + 14, out + 20), Bytes(in.begin() + 8, in.begin() + 14));
  EXPECT_EQ(Bytes(out + 20, out + 32), Bytes(in.begin() + 20, in.end()));

  uint8_t reply[kHolePunchReplySize];
  BuildHolePunchReply(reply, p, 61000);
  EXPECT_EQ(wire::GetU16(reply), 20);
  EXPECT_EQ(wire::GetU16(reply + 4), P2P_HOLE_PUNCH);  // opcode 3, not 4
  EXPECT_EQ(wire::GetU16(reply + 6), 0);
  EXPECT_EQ(Bytes(reply + 8, reply + 14), Bytes(in.begin() + 14, in.begin() + 20));
  EXPECT_EQ(Bytes(reply + 14, reply + 18), Bytes(in.begin() + 8, in.begin() + 12));
  EXPECT_EQ(wire::GetU16(reply + 18), 61000);
}

TEST(P2PMessages, MacTextToBytes) {
  struct Case {
    std::string text;
    bool ok;
    Bytes bytes;
  } cases[] = {
      {"00-1A-2B-3C-4D-5E", true, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}},
      {"0a:bb:cc:dd:ee:ff", true, {0x0a, 0xbb, 0xcc, 0xdd, 0xee, 0xff}},
      {"00-1A-2B", false, {0x00, 0x1a, 0x2b, 0, 0, 0}},  // stops at the end of the text
      {"", false, {0, 0, 0, 0, 0, 0}},
      {"zz-1A-2B-3C-4D-5E", true, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}},
  };
  for (const Case& c : cases) {
    uint8_t out[6];
    EXPECT_EQ(MacTextToBytes(c.text, out), c.ok) << c.text;
    EXPECT_EQ(Bytes(out, out + 6), c.bytes) << c.text;
  }
}

TEST(P2PMessages, OnlyTheConstantSixMarksAP2PMessage) {
  // A UDT control packet: the control bit, a type, then zeros where a P2PMsgHead has 6.
  const uint8_t udtAck[16] = {0x80, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
  const uint8_t punch[6] = {0x00, 0x20, 0x00, 0x06, 0x00, 0x03};
  EXPECT_FALSE(IsP2PMessage(udtAck, sizeof udtAck));
  EXPECT_TRUE(IsP2PMessage(punch, sizeof punch));
  EXPECT_FALSE(IsP2PMessage(punch, 5));
}

// ---- The client on loopback.

TEST_F(P2PClientTest, HeartBeatGoesToTheServerEveryInterval) {
  // Before the client exists: the n-th heartbeat cannot arrive before n intervals after.
  const auto t0 = Clock::now();
  Start();
  sockaddr_in from{};
  auto first = m_server.Recv(2000, &from);
  ASSERT_TRUE(first.has_value());
  ASSERT_EQ(first->size(), kP2PHeartBeatSize);
  EXPECT_EQ(ntohs(from.sin_port), m_pcPort);  // from the P2P socket itself
  const uint8_t station[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  uint8_t expected[kP2PHeartBeatSize];
  BuildP2PHeartBeat(expected, "study-pc", station, "owner@example.com");
  EXPECT_EQ(*first, Bytes(expected, expected + sizeof expected));
  ASSERT_TRUE(m_server.Recv(2000).has_value());
  ASSERT_TRUE(m_server.Recv(2000).has_value());
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(2 * 100 - 20));
  EXPECT_TRUE(WaitLog("p2p client started."));
  EXPECT_TRUE(WaitLog("p2p heart beat started."));
}

TEST_F(P2PClientTest, UnresolvableServerIsRetried) {
  m_opt.serverInfo = [](std::string& host, uint16_t& port) {
    host = "no-such-host.invalid";
    port = 7;
  };
  m_opt.resolveRetryMs = 20;
  Start();
  ASSERT_TRUE(WaitLog("gethostbyname error host no-such-host.invalid"));
  const size_t first = LogCount("gethostbyname error host");
  // Each retry is a fresh lookup, which may take a while on a loaded machine.
  EXPECT_TRUE(WaitFor([&] { return LogCount("gethostbyname error host") > first; }, 10000));
}

TEST_F(P2PClientTest, ServerPunchIsForwardedThreeTimesToThePeerAndTheServer) {
  Start();
  AwaitHeartBeat();
  UdpPeer device;
  const Bytes punch = Punch(1, Loopback(), device.port(), Ip("198.51.100.4"), 4444);
  std::optional<Bytes> got;
  for (int i = 0; i < 50 && !got; ++i) {
    m_server.SendTo(m_pcPort, punch);
    got = device.Recv(50);
  }
  ASSERT_TRUE(got.has_value());
  std::vector<Bytes> atDevice = device.Drain(300);
  atDevice.push_back(*got);
  std::vector<Bytes> atServer;
  for (const Bytes& m : m_server.CollectFor(100)) {
    if (m.size() != kP2PHeartBeatSize) atServer.push_back(m);
  }
  HolePunchMsg p = HolePunchMsg::Decode(punch.data());
  uint8_t expected[kHolePunchMsgSize];
  BuildForwardedPunch(expected, p);
  EXPECT_EQ(atDevice.size() % kPunchRepeat, 0u);
  EXPECT_EQ(atServer.size(), atDevice.size());
  for (const Bytes& m : atDevice) EXPECT_EQ(m, Bytes(expected, expected + sizeof expected));
  for (const Bytes& m : atServer) EXPECT_EQ(m, Bytes(expected, expected + sizeof expected));
  EXPECT_GE(LogCount("recv p2p hole punch msg from p2p server."), 1u);
}

TEST_F(P2PClientTest, EveryP2PMessageReachesTheLoopAlthoughUdtRunsOnThePort) {
  Start();
  AwaitHeartBeat();
  if (LogCount("p2p socket shared with udt") != 0) {
    GTEST_SKIP() << "this system cannot steer datagrams between two sockets of one port";
  }
  UdpPeer device;
  const Bytes punch = Punch(1, Loopback(), device.port(), Ip("198.51.100.4"), 4444);
  for (int i = 0; i < 100; ++i) {
    m_server.SendTo(m_pcPort, punch);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(WaitFor([this] { return LogCount("msg from p2p server.") == 100; }));
}

TEST_F(P2PClientTest, ServerPunchFromAnotherAddressIsIgnored) {
  Start();
  AwaitHeartBeat();
  UdpPeer stranger;
  UdpPeer victim;
  const Bytes punch = Punch(1, Loopback(), victim.port(), Loopback(), stranger.port());
  ASSERT_TRUE(SendUntilLogged(stranger, punch, "is not the p2p server's, ignored."));
  EXPECT_FALSE(victim.Recv(200).has_value());
  EXPECT_FALSE(stranger.Recv(0).has_value());
}

TEST_F(P2PClientTest, ShortPunchesAndAcksAreLoggedWithTheirSize) {
  Start();
  UdpPeer device;
  Bytes shortPunch = Punch(0, Loopback(), 1, Loopback(), 2, 31);
  Bytes shortAck(19, 0);
  P2PMsgHead{19, kP2PHeadConstant, P2P_HOLE_ACK}.Encode(shortAck.data());
  EXPECT_TRUE(SendUntilLogged(device, shortPunch, "hole punch msg lens error: 31"));
  EXPECT_TRUE(SendUntilLogged(device, shortAck, "ack msg lens error: 19"));
  EXPECT_FALSE(device.Recv(100).has_value());
  EXPECT_EQ(LogCount("recv hole punch msg."), 0u);
}

TEST_F(P2PClientTest, UdtLookAlikesAreNeverTakenForPunches) {
  Start();
  UdpPeer device;
  // A punch from a device in every byte but the constant field, as UDT's control
  // packets have it: 0 where a P2PMsgHead has 6.
  Bytes lookAlike = Punch(0, Loopback(), device.port(), Loopback(), m_pcPort);
  lookAlike[0] = 0x80;
  lookAlike[3] = 0x00;
  // A UDT data packet whose sequence number ends in 6: the constant's place holds 6, the
  // opcode's the in-order flag and message number.
  Bytes dataLookAlike = Punch(0, Loopback(), device.port(), Loopback(), m_pcPort);
  dataLookAlike[4] = 0xE0;
  for (int i = 0; i < 30; ++i) {
    device.SendTo(m_pcPort, lookAlike);
    device.SendTo(m_pcPort, dataLookAlike);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_FALSE(device.Recv(300).has_value());
  EXPECT_EQ(LogCount("recv hole punch msg."), 0u);
  // The same bytes with the constant in place are answered.
  Bytes genuine = Punch(0, Loopback(), device.port(), Loopback(), m_pcPort);
  EXPECT_TRUE(SendUntilLogged(device, genuine, "recv p2p hole punch msg from client."));
}

TEST_F(P2PClientTest, DevicePunchIsAnsweredThriceAndASilentDeviceGivenUp) {
  m_opt.udtConnectTimeoutMs = 400;
  Start();
  UdpPeer device;
  const Bytes punch = Punch(0, Loopback(), device.port(), Ip("203.0.113.5"), 777);
  // The connect starts after the first punch has gone, whenever this thread reads the answer.
  const auto punched = Clock::now();
  std::optional<Bytes> first;
  for (int i = 0; i < 50 && !first; ++i) {
    device.SendTo(m_pcPort, punch);
    first = device.Recv(50);
  }
  ASSERT_TRUE(first.has_value());
  const auto answered = Clock::now();
  ASSERT_EQ(first->size(), kHolePunchReplySize);
  uint8_t expected[kHolePunchReplySize];
  BuildHolePunchReply(expected, HolePunchMsg::Decode(punch.data()), device.port());
  EXPECT_EQ(*first, Bytes(expected, expected + sizeof expected));
  // The other two answers come before the connect starts; what follows are UDT's
  // handshakes, which never carry the constant.
  size_t answers = 1;
  while (auto m = device.Recv(100)) {
    if (IsP2PMessage(m->data(), m->size())) {
      EXPECT_EQ(*m, Bytes(expected, expected + sizeof expected));
      ++answers;
    }
  }
  EXPECT_GE(answers, 3u);
  EXPECT_EQ(answers % 3, 0u);
  ASSERT_TRUE(WaitLog("recv p2p hole punch msg from client, init udt error."));
  EXPECT_GE(Clock::now() - punched, std::chrono::milliseconds(400 - 20));
  EXPECT_LT(Clock::now() - answered, std::chrono::milliseconds(3000));
  EXPECT_EQ(P2PPeerCount(), 0u);
}

TEST_F(P2PClientTest, NothingIsActedOnWhileLoggedOffButHeartBeatsGoOn) {
  g_LogOnRtn = 4122;  // the central server was not reached
  Start();
  UdpPeer device;
  const Bytes punch = Punch(0, Loopback(), device.port(), Loopback(), m_pcPort);
  for (int i = 0; i < 20; ++i) {
    device.SendTo(m_pcPort, punch);
    m_server.SendTo(m_pcPort, Punch(1, Loopback(), device.port(), Loopback(), m_pcPort));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(device.Recv(200).has_value());
  EXPECT_EQ(LogCount("recv hole punch msg."), 0u);
  size_t beats = 0;
  for (const Bytes& m : m_server.CollectFor(250)) beats += m.size() == kP2PHeartBeatSize ? 1 : 0;
  EXPECT_GE(beats, 1u);
}

TEST_F(P2PClientTest, UdtRequestsAreDispatchedAndAnswered) {
  OS_ClearRegistry();
  ASSERT_EQ(OS_RegFunction(EchoHandler, 0x0777), 0);
  ASSERT_EQ(OS_RegFunction(TrayHandler, OP_SHOW_GET_SHARE), 0);
  Start();
  UdtDevice device;
  ASSERT_TRUE(device.PunchUntilAnswered(m_pcPort).has_value());
  ASSERT_TRUE(device.Connect(m_pcPort));
  ASSERT_TRUE(WaitLog("recv p2p hole punch msg from client, init udt ok."));
  ASSERT_TRUE(WaitLog("add udt in thread"));
  EXPECT_EQ(P2PPeerCount(), 1u);

  ASSERT_TRUE(device.Send(0x0777, 42, "abc"));
  auto reply = device.Recv(3000);
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->size(), 11u);
  MsgHead head = MsgHead::Decode(reply->data());
  EXPECT_EQ(head.length, 11);
  EXPECT_EQ(head.opcode, 0x0778);
  EXPECT_EQ(head.seq, 42u);
  EXPECT_EQ(std::string(reply->begin() + 8, reply->end()), "cba");
  {
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    EXPECT_EQ(g_seen.direct, 1);
    EXPECT_GE(g_seen.udtSock, 0);
    EXPECT_EQ(g_seen.bodyLen, 3u);
  }

  // A head of 8 bytes has no body.
  ASSERT_TRUE(device.Send(0x0777, 43, ""));
  reply = device.Recv(3000);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->size(), 8u);
  {
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    EXPECT_TRUE(g_seen.bodyNull);
    EXPECT_EQ(g_seen.bodyLen, 0u);
  }

  // Dropped with a log line, the peer staying connected: a head announcing more than
  // 2048 bytes, a message shorter than a head, and a tray request.
  ASSERT_TRUE(device.Send(0x0777, 44, "xyz", 3000));
  ASSERT_TRUE(device.SendRaw(Bytes{1, 2, 3, 4, 5}));
  ASSERT_TRUE(device.Send(OP_SHOW_GET_SHARE, 45, ""));
  EXPECT_TRUE(WaitLog("udu datasize more than 2048"));
  EXPECT_TRUE(WaitLog("udt ==== read lens eeror"));
  EXPECT_TRUE(WaitLog("Type(20486) not registe."));
  ASSERT_TRUE(device.Send(0x0777, 46, "q"));
  reply = device.Recv(3000);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(MsgHead::Decode(reply->data()).seq, 46u);  // nothing came for 44 and 45

  // A head shorter than the message bounds the body.
  ASSERT_TRUE(device.Send(0x0777, 47, "hello", 10));
  reply = device.Recv(3000);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(std::string(reply->begin() + 8, reply->end()), "eh");

  // The device leaves: its transfers end and it is unlisted.
  int32_t sock = -1;
  {
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    sock = g_seen.udtSock;
  }
  device.Close();
  for (int i = 0; i < 1000 && P2PPeerCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(P2PPeerCount(), 0u);
  std::lock_guard<std::mutex> lock(g_lostMutex);
  EXPECT_EQ(g_lost, std::vector<int32_t>{sock});
}

TEST_F(P2PClientTest, AckFromADeviceConnectsIt) {
  Start();
  UdtDevice device;
  Bytes ack(kHoleAckMsgSize, 0);
  P2PMsgHead{20, kP2PHeadConstant, P2P_HOLE_ACK}.Encode(ack.data());
  std::string logged;
  for (int i = 0; i < 100 && logged.empty(); ++i) {
    device.SendUdp(m_pcPort, ack);
    if (WaitLog("recv ack msg ip 127.0.0.1(", 30)) logged = Log();
  }
  ASSERT_FALSE(logged.empty());
  EXPECT_NE(logged.find(", port " + std::to_string(device.port())), std::string::npos);
  ASSERT_TRUE(device.Connect(m_pcPort));
  EXPECT_TRUE(WaitLog("recv ack, init udt ok."));
  EXPECT_FALSE(device.Broken());
  // An acknowledgement with "from" set is only logged.
  EXPECT_EQ(LogCount("recv ack, init udt error."), 0u);
}

TEST_F(P2PClientTest, PeerListIsBounded) {
  m_opt.maxPeers = 1;
  OS_ClearRegistry();
  ASSERT_EQ(OS_RegFunction(EchoHandler, 0x0777), 0);
  Start();
  UdtDevice first;
  ASSERT_TRUE(first.PunchUntilAnswered(m_pcPort).has_value());
  ASSERT_TRUE(first.Connect(m_pcPort));
  ASSERT_TRUE(WaitLog("init udt ok."));
  UdtDevice second;
  ASSERT_TRUE(second.PunchUntilAnswered(m_pcPort).has_value());
  EXPECT_TRUE(WaitLog("p2p peer list full (1)"));
  EXPECT_EQ(P2PPeerCount(), 1u);
  ASSERT_TRUE(first.Send(0x0777, 1, "ok"));
  EXPECT_TRUE(first.Recv(3000).has_value());
}

TEST_F(P2PClientTest, SchedulerAndEndingReceiversNeverWaitOnEachOther) {
  // A pool at its maximum: queueing the second device's receiver waits until a worker
  // parks, which the first device's receiver does only after it took the list's lock.
  static ThreadPool* const previous = g_ThreadPool;  // pools are never freed; keep it reachable
  (void)previous;
  g_ThreadPool = ThreadPool_Create(3);
  OS_ClearRegistry();
  ASSERT_EQ(OS_RegFunction(EchoHandler, 0x0777), 0);
  Start();  // the scheduler and the heartbeat: two workers
  UdtDevice first;
  ASSERT_TRUE(first.PunchUntilAnswered(m_pcPort).has_value());
  ASSERT_TRUE(first.Connect(m_pcPort));
  ASSERT_TRUE(first.Send(0x0777, 1, "a"));
  ASSERT_TRUE(first.Recv(3000).has_value());  // its receiver is the third worker
  UdtDevice second;
  ASSERT_TRUE(second.PunchUntilAnswered(m_pcPort).has_value());
  ASSERT_TRUE(second.Connect(m_pcPort));
  ASSERT_TRUE(WaitLog("add udt in thread"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  first.Close();
  ASSERT_TRUE(second.Send(0x0777, 2, "b"));
  auto reply = second.Recv(5000);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(MsgHead::Decode(reply->data()).seq, 2u);
  for (int i = 0; i < 1000 && P2PPeerCount() != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(P2PPeerCount(), 1u);
}

TEST_F(P2PClientTest, StopClosesPeersAndTheSocket) {
  OS_ClearRegistry();
  ASSERT_EQ(OS_RegFunction(EchoHandler, 0x0777), 0);
  Start();
  UdtDevice device;
  ASSERT_TRUE(device.PunchUntilAnswered(m_pcPort).has_value());
  ASSERT_TRUE(device.Connect(m_pcPort));
  ASSERT_TRUE(device.Send(0x0777, 1, "a"));
  ASSERT_TRUE(device.Recv(3000).has_value());
  const int fd = g_P2PUdpSock.load();
  ASSERT_GE(fd, 0);
  const auto t0 = Clock::now();
  Stop();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(g_P2PUdpSock.load(), -1);
  EXPECT_EQ(P2PClientPort(), 0);
  EXPECT_EQ(P2PPeerCount(), 0u);
  {
    std::lock_guard<std::mutex> lock(g_lostMutex);
    EXPECT_EQ(g_lost.size(), 1u);
  }
  for (int i = 0; i < 600 && !device.Broken(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(device.Broken());
}

TEST_F(P2PClientTest, ReceiveLoopSleepsWhileNothingArrives) {
  m_opt.pollTimeoutMs = 1000;
  m_opt.heartBeatIntervalMs = 10000;
  Start();
  pthread_t loop = m_client.native_handle();
  clockid_t cid;
  ASSERT_EQ(pthread_getcpuclockid(loop, &cid), 0);
  timespec a{};
  timespec b{};
  // Past the loop's start-up work, which a loaded machine may run late.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  clock_gettime(cid, &a);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  clock_gettime(cid, &b);
  const double used = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
  EXPECT_LT(used, 0.05);  // a spinning loop would use the whole half second
}

TEST_F(P2PClientTest, SecondClientDoesNotStart) {
  Start();
  StartP2PClient(nullptr);
  EXPECT_TRUE(WaitLog("p2p client already running."));
  EXPECT_EQ(P2PClientPort(), m_pcPort);
}

}  // namespace

