// LAN discovery: the request filter, the 206-byte reply, the choice of interfaces by the
// requester's prefix, the socket set-up and the work item on loopback (replies go to the
// requester instead of the broadcast address; 127.0.0.0/8 stands in for the LAN).
#include "comm/discovery.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comm/core.h"
#include "comm/log.h"
#include "comm/wire.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

uint32_t Ip(const char* text) {
  in_addr a{};
  ::inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

Bytes Request(uint16_t type, size_t size = 6, const char* magic = "qz") {
  Bytes m(std::max<size_t>(size, 6), 0);
  m[0] = static_cast<uint8_t>(magic[0]);
  m[1] = static_cast<uint8_t>(magic[1]);
  wire::PutU16(m.data() + 4, type);
  m.resize(size);
  return m;
}

// A device: a UDP socket on 127.0.0.1 that sends requests and reads replies.
class Device {
 public:
  Device() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &len);
    m_addr = sin;
  }
  ~Device() { ::close(m_fd); }
  const sockaddr_in& addr() const { return m_addr; }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  void Send(uint16_t port, const Bytes& m) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(m_fd, m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  std::optional<Bytes> Recv(int timeoutMs, sockaddr_in* from = nullptr) const {
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes buf(1024);
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    ssize_t n = ::recvfrom(m_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&sin), &len);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    if (from != nullptr) *from = sin;
    return buf;
  }

 private:
  int m_fd = -1;
  sockaddr_in m_addr{};
};

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_Log.Open(m_dir.Sub("Log.txt"), LOG_DEBUG, false));
    OS_ClearStopFlag();
    m_opt.port = 0;
    m_opt.recvTimeoutMs = 100;
    m_opt.replyToSender = true;
    m_opt.localIps = [this](Strings& out) {
      out = m_ips;
      return 0;
    };
    m_opt.account = [](std::string& email, std::string& psw) {
      email = "owner@example.com";
      psw = "0123456789abcdef0123456789abcdef";
    };
    m_opt.hostName = [] { return std::string("study-pc"); };
    m_opt.localPort = [] { return uint16_t{61700}; };
    SetDiscoveryOptions(m_opt);
  }

  void TearDown() override {
    Stop();
    SetDiscoveryOptions(DiscoveryOptions{});
    g_Log.Close();
  }

  void Start() {
    SetDiscoveryOptions(m_opt);
    m_thread = std::thread([] { StartBroadcastServer(nullptr); });
    // The port is published before the socket: wait for both.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((DiscoveryPort() == 0 || g_BroadcastSock.load() < 0) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_NE(DiscoveryPort(), 0);
    ASSERT_GE(g_BroadcastSock.load(), 0);
    m_port = DiscoveryPort();
  }

  void Stop() {
    if (!m_thread.joinable()) return;
    OS_SetStopFlag();
    m_thread.join();
  }

  // The replies to one request: the expected number, waited for up to 10 s, then any
  // more that come within 300 ms.
  std::vector<std::pair<Bytes, sockaddr_in>> Ask(const Bytes& request, size_t expected) const {
    std::vector<std::pair<Bytes, sockaddr_in>> out;
    m_device.Send(m_port, request);
    sockaddr_in from{};
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (out.size() < expected) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      auto m = m_device.Recv(static_cast<int>(left.count()), &from);
      if (!m) break;
      out.emplace_back(*m, from);
    }
    while (auto m = m_device.Recv(300, &from)) out.emplace_back(*m, from);
    return out;
  }

  std::string Log() const { return m_dir.Read("Log.txt"); }

  support::TempDir m_dir;
  DiscoveryOptions m_opt;
  Strings m_ips{"10.0.0.2", "127.0.0.2"};
  Device m_device;
  std::thread m_thread;
  uint16_t m_port = 0;
};

// ---- The records.

TEST(DiscoveryRecords, ReplyLayout) {
  uint8_t r[kBroadcastReplySize];
  BuildBroadcastReply(r, 2, "owner@example.com", "hash", 0xF0F1, "study-pc");
  EXPECT_EQ(r[0], 'q');
  EXPECT_EQ(r[1], 'z');
  EXPECT_EQ(wire::GetU16(r + 2), 6);
  EXPECT_EQ(wire::GetU16(r + 4), 2);
  EXPECT_EQ(wire::GetText(r + 6, 32), "owner@example.com");
  EXPECT_EQ(Bytes(r + 6 + 17, r + 38), Bytes(15, 0));
  EXPECT_EQ(wire::GetText(r + 38, 32), "hash");
  EXPECT_EQ(Bytes(r + 70, r + 74), Bytes(4, 0));  // filled per interface
  EXPECT_EQ(wire::GetU16(r + 74), 0xF0F1);
  EXPECT_EQ(wire::GetU16(r + 76), 0);
  EXPECT_EQ(wire::GetText(r + 78, 128), "study-pc");
}

TEST(DiscoveryRecords, FieldsAreCutToTheirSize) {
  const std::string e2 = "\xC3\xA9";
  struct Case {
    std::string email, psw, host;
    std::string wantEmail, wantPsw, wantHost;
  } cases[] = {
      // 32 characters fill the field without a zero.
      {std::string(32, 'e'), std::string(40, 'p'), std::string(128, 'h'), std::string(32, 'e'),
       std::string(32, 'p'), std::string(128, 'h')},
      // No account: 64 zero bytes.
      {"", "", "pc", "", "", "pc"},
      // A host name longer than 128 bytes is cut there, never inside a character.
      {"a", "b", std::string(127, 'h') + e2 + "tail", "a", "b", std::string(127, 'h')},
      {"a", "b", std::string(200, 'h'), "a", "b", std::string(128, 'h')},
  };
  for (const Case& c : cases) {
    uint8_t r[kBroadcastReplySize];
    BuildBroadcastReply(r, 2, c.email, c.psw, 1, c.host);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r + 6), c.wantEmail.size()), c.wantEmail);
    EXPECT_EQ(wire::GetText(r + 6, 32), c.wantEmail);
    EXPECT_EQ(wire::GetText(r + 38, 32), c.wantPsw);
    EXPECT_EQ(wire::GetText(r + 78, 128), c.wantHost);
    if (c.email.empty()) {
      EXPECT_EQ(Bytes(r + 6, r + 70), Bytes(64, 0));
    }
  }
}

TEST(DiscoveryRecords, OnlyTypesFourAndFiveAreRequests) {
  EXPECT_TRUE(IsBroadcastRequest(Request(4).data(), 6));
  EXPECT_TRUE(IsBroadcastRequest(Request(5, 513).data(), 513));
  EXPECT_FALSE(IsBroadcastRequest(Request(3).data(), 6));
  EXPECT_FALSE(IsBroadcastRequest(Request(2).data(), 6));  // the service's own reply
  EXPECT_FALSE(IsBroadcastRequest(Request(4, 6, "qq").data(), 6));
  EXPECT_FALSE(IsBroadcastRequest(Request(4).data(), 5));
}

TEST(DiscoveryRecords, InterfacesAreChosenByTheFirstThreeParts) {
  struct Case {
    std::string requester;
    Strings local;
    Strings want;
  } cases[] = {
      {"192.168.1.23", {"10.0.0.2", "192.168.1.5"}, {"192.168.1.5"}},
      {"192.168.10.7", {"192.168.1.5"}, {}},  // same /16, other third part
      {"192.168.1.23", {"192.168.1.5", "10.0.0.2", "192.168.1.9"}, {"192.168.1.5", "192.168.1.9"}},
      {"192.168.1.2", {"192.168.1.200"}, {"192.168.1.200"}},
      {"192.168.11.2", {"192.168.1.12"}, {}},  // a text compare, not a prefix of characters
      {"nodots", {"192.168.1.5"}, {}},
      {"192.168.1.23", {"nodots"}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchingLocalIps(c.requester, c.local), c.want) << c.requester;
}

// ---- Sockets.

TEST(DiscoverySockets, InitUdpSockSetsItsOptions) {
  support::TempDir dir;
  ASSERT_TRUE(g_Log.Open(dir.Sub("Log.txt"), LOG_DEBUG, false));
  int sock = -1;
  ASSERT_EQ(InitUdpSock(&sock, "127.0.0.1", 0, 5000), 0);
  int value = 0;
  socklen_t len = sizeof value;
  ASSERT_EQ(::getsockopt(sock, SOL_SOCKET, SO_BROADCAST, &value, &len), 0);
  EXPECT_EQ(value, 1);
  ASSERT_EQ(::getsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &value, &len), 0);
  EXPECT_EQ(value, 1);
  timeval tv{};
  len = sizeof tv;
  ASSERT_EQ(::getsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 5);
  ASSERT_EQ(::getsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
  EXPECT_EQ(tv.tv_sec, 5);
  sockaddr_in sin{};
  len = sizeof sin;
  ::getsockname(sock, reinterpret_cast<sockaddr*>(&sin), &len);
  EXPECT_EQ(sin.sin_addr.s_addr, Ip("127.0.0.1"));
  ::close(sock);

  // An address this host does not have, and one that is no address.
  EXPECT_EQ(InitUdpSock(&sock, "192.0.2.1", 4321, 5000), -1);
  EXPECT_EQ(sock, -1);
  EXPECT_EQ(InitUdpSock(&sock, "127.0.0.300", 4321, 5000), -1);
  std::string log = dir.Read("Log.txt");
  EXPECT_NE(log.find("init BROADPORT bind 192.0.2.1,4321 error"), std::string::npos);
  EXPECT_NE(log.find("init BROADPORT bind 127.0.0.300,4321 error"), std::string::npos);
  g_Log.Close();
}

TEST_F(DiscoveryTest, FailedInterfaceSocketEndsTheRequest) {
  // The first matching address got no socket: nothing is sent, not even on the second.
  m_ips = {"127.0.0.300", "127.0.0.2"};
  SetDiscoveryOptions(m_opt);
  OpenInterfaceSockets();
  ASSERT_EQ(g_IfSockMap.size(), 2u);
  EXPECT_EQ(g_IfSockMap["127.0.0.300"], -1);
  EXPECT_GE(g_IfSockMap["127.0.0.2"], 0);
  EXPECT_EQ(RevAndSendBroadcastData("127.0.0.1", m_device.addr()), -1);
  EXPECT_FALSE(m_device.Recv(200).has_value());
  EXPECT_NE(Log().find("send broadcast error"), std::string::npos);
  // The order decides: with the working address first, it answers before the failure.
  m_ips = {"127.0.0.2", "127.0.0.300"};
  SetDiscoveryOptions(m_opt);
  EXPECT_EQ(RevAndSendBroadcastData("127.0.0.1", m_device.addr()), -1);
  EXPECT_TRUE(m_device.Recv(5000).has_value());
  // A requester of another network is sent nothing, which is no failure.
  EXPECT_EQ(RevAndSendBroadcastData("10.9.9.9", m_device.addr()), 0);
  CloseInterfaceSockets();
  EXPECT_TRUE(g_IfSockMap.empty());
}

// ---- The work item.

TEST_F(DiscoveryTest, RequestIsAnsweredFromTheMatchingInterface) {
  Start();
  auto replies = Ask(Request(4, 20), 1);
  ASSERT_EQ(replies.size(), 1u);
  const Bytes& r = replies[0].first;
  ASSERT_EQ(r.size(), kBroadcastReplySize);
  EXPECT_EQ(replies[0].second.sin_addr.s_addr, Ip("127.0.0.2"));  // sent on that interface
  EXPECT_EQ(ntohs(replies[0].second.sin_port), m_port);
  uint8_t expected[kBroadcastReplySize];
  BuildBroadcastReply(expected, 2, "owner@example.com", "0123456789abcdef0123456789abcdef", 61700,
                      "study-pc");
  uint32_t ip = Ip("127.0.0.2");
  std::memcpy(expected + 70, &ip, 4);
  EXPECT_EQ(r, Bytes(expected, expected + sizeof expected));
  EXPECT_EQ(Ask(Request(5, 513), 1).size(), 1u);
}

TEST_F(DiscoveryTest, OtherDatagramsGetNoReplyAndNoLogLine) {
  Start();
  const std::string before = Log();
  EXPECT_TRUE(Ask(Request(3), 0).empty());
  EXPECT_TRUE(Ask(Request(2, kBroadcastReplySize), 0).empty());  // a reply looping back
  EXPECT_TRUE(Ask(Request(4, 6, "zq"), 0).empty());
  EXPECT_TRUE(Ask(Request(4, 5), 0).empty());
  EXPECT_EQ(Log(), before);
  EXPECT_EQ(Ask(Request(4), 1).size(), 1u);  // still listening
}

TEST_F(DiscoveryTest, EachMatchingInterfaceAnswersWithItsAddress) {
  m_ips = {"127.0.0.2", "10.0.0.2", "127.0.0.3"};
  Start();
  auto replies = Ask(Request(4), 2);
  ASSERT_EQ(replies.size(), 2u);
  std::vector<uint32_t> at70;
  for (auto& [r, from] : replies) {
    uint32_t ip = 0;
    std::memcpy(&ip, r.data() + 70, 4);
    EXPECT_EQ(ip, from.sin_addr.s_addr);
    at70.push_back(ip);
  }
  std::sort(at70.begin(), at70.end());
  std::vector<uint32_t> want{Ip("127.0.0.2"), Ip("127.0.0.3")};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(at70, want);
}

TEST_F(DiscoveryTest, RequesterOfAnotherNetworkGetsNothing) {
  m_ips = {"127.0.1.5", "10.0.0.2"};
  Start();
  EXPECT_TRUE(Ask(Request(4), 0).empty());
}

TEST_F(DiscoveryTest, StopEndsTheLoopWithinOneTimeOut) {
  Start();
  EXPECT_GE(g_BroadcastSock.load(), 0);
  const auto t0 = Clock::now();
  Stop();
  // One 100 ms time-out, well short of the default 5 s a forgotten option would leave.
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(3000));
  EXPECT_EQ(g_BroadcastSock.load(), -1);
  EXPECT_EQ(DiscoveryPort(), 0);
}

TEST_F(DiscoveryTest, StartFailsWhenThePortIsTaken) {
  // A socket bound without SO_REUSEADDR keeps the port from anyone else.
  int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  socklen_t len = sizeof sin;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&sin), &len);
  m_opt.port = ntohs(sin.sin_port);
  SetDiscoveryOptions(m_opt);
  const auto t0 = Clock::now();
  StartBroadcastServer(nullptr);  // returns at once
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(3000));
  EXPECT_NE(Log().find("init BROADPORT udp socket error"), std::string::npos);
  EXPECT_EQ(g_BroadcastSock.load(), -1);
  ::close(holder);
}

}  // namespace
