// The rendezvous server against scripted PCs and devices on loopback, and the program.
#include "rendezvous/rendezvous_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comm/p2p_client.h"
#include "comm/wire.h"
#include "rendezvous/rendezvous_wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace rendezvous;

constexpr uint8_t kStation[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
constexpr uint8_t kOther[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09};

class Udp {
 public:
  Udp() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &len);
    m_port = ntohs(sin.sin_port);
  }
  ~Udp() { ::close(m_fd); }
  Udp(const Udp&) = delete;
  Udp& operator=(const Udp&) = delete;
  uint16_t port() const { return m_port; }

  void SendTo(uint16_t port, const uint8_t* data, size_t len) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(m_fd, data, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  void SendTo(uint16_t port, const Bytes& b) const { SendTo(port, b.data(), b.size()); }
  std::optional<Bytes> Recv(int timeoutMs) const {
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes buf(4096);
    ssize_t n = ::recv(m_fd, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return buf;
  }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

Bytes HeartBeat(const uint8_t station[6], const std::string& host = "study-pc") {
  Bytes m(kP2PHeartBeatSize);
  BuildP2PHeartBeat(m.data(), host, station, "owner@example.com");
  return m;
}

Bytes ConnectReq(const uint8_t station[6]) {
  Bytes m(kConnectReqSize);
  BuildConnectReq(m.data(), station);
  return m;
}

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs = 10000) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class RendezvousTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_opt.pollMs = 20;
    m_opt.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_logMutex);
      m_log += line + "\n";
    };
  }
  // The server's thread logs into this fixture: stop it before the log goes.
  void TearDown() override { m_server.reset(); }
  void Start() {
    m_server = std::make_unique<RendezvousServer>(m_opt);
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
  }
  void Register(const Udp& pc, const uint8_t station[6] = kStation) {
    const uint64_t before = m_server->Counters().heartBeats;
    pc.SendTo(m_server->port(), HeartBeat(station));
    ASSERT_TRUE(WaitFor([&] { return m_server->Counters().heartBeats > before; }));
  }
  // Waits for a line: the server logs on its own thread, after its state has changed.
  bool Logged(const std::string& text) {
    return WaitFor([&] { return Log().find(text) != std::string::npos; });
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log;
  }

  RendezvousOptions m_opt;
  std::unique_ptr<RendezvousServer> m_server;
  std::mutex m_logMutex;
  std::string m_log;
};

TEST_F(RendezvousTest, HeartBeatRegistersThePc) {
  Start();
  Udp pc;
  Register(pc);
  Register(pc);
  auto stations = m_server->Stations();
  ASSERT_EQ(stations.size(), 1u);
  EXPECT_EQ(stations[0].stationId, "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(stations[0].hostName, "study-pc");
  EXPECT_EQ(stations[0].email, "owner@example.com");
  EXPECT_EQ(stations[0].addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(stations[0].port, pc.port());
  EXPECT_EQ(stations[0].heartBeats, 2u);
  EXPECT_TRUE(Logged("station 00-1A-2B-3C-4D-5E (study-pc) at 127.0.0.1:"));
}

TEST_F(RendezvousTest, ConnectRequestTellsTheDeviceAndPunchesThePcThreeTimes) {
  Start();
  Udp pc;
  Udp device;
  Register(pc);
  device.SendTo(m_server->port(), ConnectReq(kStation));
  auto answer = device.Recv(2000);
  ASSERT_TRUE(answer.has_value());
  ConnectInfo info;
  ASSERT_TRUE(ParseConnectInfo(answer->data(), answer->size(), &info));
  EXPECT_EQ(info.result, kInfoFound);
  EXPECT_EQ(info.pcAddr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(info.pcPort, pc.port());
  EXPECT_EQ(info.deviceAddr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(info.devicePort, device.port());

  std::vector<Bytes> punches;
  while (auto m = pc.Recv(200)) punches.push_back(*m);
  ASSERT_EQ(punches.size(), 3u);
  for (const Bytes& p : punches) {
    ASSERT_EQ(p.size(), kHolePunchMsgSize);
    EXPECT_EQ(wire::GetU16(p.data()), 32);
    EXPECT_EQ(wire::GetU16(p.data() + 2), 6);
    EXPECT_EQ(wire::GetU16(p.data() + 4), P2P_HOLE_PUNCH);
    HolePunchMsg h = HolePunchMsg::Decode(p.data());
    EXPECT_NE(h.from, 0);
    EXPECT_EQ(h.addr1, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(h.port1, device.port());
    EXPECT_EQ(h.addr2, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(h.port2, pc.port());
    EXPECT_EQ(wire::GetU32(h.passOn), 1u);  // the session
  }
  // The PC passes the punch on, back to the server too: its confirmation.
  uint8_t fwd[kHolePunchMsgSize];
  BuildForwardedPunch(fwd, HolePunchMsg::Decode(punches[0].data()));
  pc.SendTo(m_server->port(), fwd, sizeof fwd);
  ASSERT_TRUE(WaitFor([&] { return m_server->Counters().confirmations == 1; }));
  EXPECT_EQ(m_server->Stations()[0].confirmations, 1u);
  EXPECT_TRUE(Logged("station 00-1A-2B-3C-4D-5E confirms session 1"));
}

TEST_F(RendezvousTest, UnknownStationIsAnsweredWithoutPunching) {
  Start();
  Udp pc;
  Udp device;
  Register(pc);
  device.SendTo(m_server->port(), ConnectReq(kOther));
  auto answer = device.Recv(2000);
  ASSERT_TRUE(answer.has_value());
  ConnectInfo info;
  ASSERT_TRUE(ParseConnectInfo(answer->data(), answer->size(), &info));
  EXPECT_EQ(info.result, kInfoUnknownStation);
  EXPECT_EQ(info.pcAddr, 0u);
  EXPECT_FALSE(pc.Recv(200).has_value());
  EXPECT_EQ(m_server->Counters().unknownStations, 1u);
}

TEST_F(RendezvousTest, MalformedDatagramsAreIgnored) {
  Start();
  Udp pc;
  Udp device;
  Register(pc);
  const uint8_t noStation[6] = {};
  Bytes shortBeat = HeartBeat(kOther);
  shortBeat.resize(149);
  Bytes shortReq = ConnectReq(kStation);
  shortReq.resize(37);
  Bytes notP2P = ConnectReq(kStation);
  notP2P[3] = 0;  // no constant 6
  Bytes strangerPunch(kHolePunchMsgSize, 0);
  P2PMsgHead{32, kP2PHeadConstant, P2P_HOLE_PUNCH}.Encode(strangerPunch.data());
  const Bytes cases[] = {HeartBeat(noStation), shortBeat, shortReq, notP2P, strangerPunch, Bytes{1}};
  for (const Bytes& c : cases) device.SendTo(m_server->port(), c);
  ASSERT_TRUE(WaitFor([&] { return m_server->Counters().ignored == std::size(cases); }));
  EXPECT_FALSE(device.Recv(100).has_value());
  EXPECT_FALSE(pc.Recv(0).has_value());
  EXPECT_EQ(m_server->Stations().size(), 1u);
  EXPECT_EQ(m_server->Counters().confirmations, 0u);
}

TEST_F(RendezvousTest, QuietPcsAreForgottenAndTheirNumberBounded) {
  // Long enough that the first PC is surely still known when the second one's heartbeat,
  // sent right behind its own, is handled.
  m_opt.stationTtlMs = 1000;
  m_opt.maxStations = 1;
  Start();
  Udp pc;
  Udp other;
  const uint64_t before = m_server->Counters().heartBeats;
  pc.SendTo(m_server->port(), HeartBeat(kStation));
  other.SendTo(m_server->port(), HeartBeat(kOther));
  ASSERT_TRUE(WaitFor([&] { return m_server->Counters().heartBeats == before + 2; }));
  ASSERT_EQ(m_server->Stations().size(), 1u);  // the second did not fit
  EXPECT_EQ(m_server->Stations()[0].stationId, "00-1A-2B-3C-4D-5E");
  EXPECT_TRUE(Logged("station 02-00-00-00-00-09 dropped"));
  ASSERT_TRUE(WaitFor([&] { return m_server->Stations().empty(); }));
  EXPECT_TRUE(Logged("station 00-1A-2B-3C-4D-5E gone quiet"));
  Udp device;
  device.SendTo(m_server->port(), ConnectReq(kStation));
  auto answer = device.Recv(2000);
  ConnectInfo info;
  ASSERT_TRUE(answer && ParseConnectInfo(answer->data(), answer->size(), &info));
  EXPECT_EQ(info.result, kInfoUnknownStation);
  Register(other, kOther);  // room again
  EXPECT_EQ(m_server->Stations().size(), 1u);
}

TEST(RendezvousProgram, ListensAnswersAndStopsOnSigterm) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::execl(TIRVAN_RENDEZVOUS_BIN, TIRVAN_RENDEZVOUS_BIN, "--listen", "127.0.0.1:0", nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* f = ::fdopen(out[0], "r");
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
  unsigned port = 0;
  ASSERT_EQ(std::sscanf(line, "listening on 127.0.0.1:%u", &port), 1) << line;
  Udp pc;
  Udp device;
  pc.SendTo(static_cast<uint16_t>(port), HeartBeat(kStation));
  std::optional<Bytes> answer;
  ConnectInfo info;
  for (int i = 0; i < 50; ++i) {
    device.SendTo(static_cast<uint16_t>(port), ConnectReq(kStation));
    answer = device.Recv(100);
    if (answer && ParseConnectInfo(answer->data(), answer->size(), &info) &&
        info.result == kInfoFound) {
      break;
    }
  }
  EXPECT_EQ(info.result, kInfoFound);
  EXPECT_EQ(info.pcPort, pc.port());
  EXPECT_TRUE(pc.Recv(1000).has_value());
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::fclose(f);
}

}  // namespace
