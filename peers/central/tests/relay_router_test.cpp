// The central server's relay: PCs on their relay connection (raw sockets speaking the
// service's frames), devices through the device client library.
#include "central/relay_router.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "central/central_server.h"
#include "central/records.h"
#include "central/relay_device_client.h"
#include "central/relay_protocol.h"
#include "comm/opcodes.h"
#include "comm/server_exchange.h"
#include "platform/net.h"
#include "support/temp_dir.h"

namespace {

using namespace central;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kEmail = "pc@example.com";
constexpr const char* kOtherEmail = "other@example.com";
constexpr const char* kStation = "00-1A-2B-3C-4D-5E";
constexpr const char* kOtherStation = "00-1A-2B-3C-4D-5F";

Bytes Message(uint16_t opcode, uint32_t seq, const Bytes& payload = {}) {
  Bytes m(MsgHead::kSize + payload.size());
  MsgHead{static_cast<uint16_t>(m.size()), opcode, seq}.Encode(m.data());
  std::copy(payload.begin(), payload.end(), m.begin() + MsgHead::kSize);
  return m;
}

// What the server sends a PC: an 8-byte answer or a whole frame.
struct FromServer {
  bool answer = false;
  ServerReplyHead reply;  // when answer
  ServerMsgHead head;     // otherwise
  Bytes body;
};

// A PC's relay connection, spoken by hand.
class FakePc {
 public:
  ~FakePc() { platform::CloseSocket(m_fd); }

  // Connects from source (an address of the loopback range) to the server.
  bool Open(uint16_t port, const std::string& station, const char* source = "127.0.0.1") {
    m_station = station;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return false;
    uint32_t to = 0;
    platform::ResolveIpv4("127.0.0.1", &to);
    return platform::ConnectFd(m_fd, to, port, 1000) == 0;
  }
  bool SendKeepAlive() {
    uint8_t h[70];
    ServerMsgHead{70, 6, SV_INTER_LINE_REQ, m_station}.Encode(h);
    return platform::SendAll(m_fd, h, sizeof h) == 0;
  }
  // Sends a keep-alive and returns the result of its answer (-1: none).
  int Register() {
    if (!SendKeepAlive()) return -1;
    auto a = Next();
    if (!a || !a->answer || a->reply.command != SV_INTER_LINE_REQ) return -1;
    return a->reply.result;
  }
  bool Reply(const std::string& target, const Bytes& msg) {
    Bytes f(134 + msg.size());
    ServerMsgHead{static_cast<uint16_t>(f.size()), 6, SV_INTER_LINE_DATA, m_station}.Encode(
        f.data());
    wire::PutText(f.data() + 70, 64, target);
    std::copy(msg.begin(), msg.end(), f.begin() + 134);
    return platform::SendAll(m_fd, f.data(), f.size()) == 0;
  }
  bool SendRaw(const Bytes& b) { return platform::SendAll(m_fd, b.data(), b.size()) == 0; }

  std::optional<FromServer> Next(int timeoutMs = 2000) {
    uint8_t h[70];
    if (!ReadExact(h, 6, timeoutMs)) return std::nullopt;
    FromServer out;
    uint16_t length = wire::GetU16(h);
    if (length < 70) {
      if (!ReadExact(h + 6, 2, timeoutMs)) return std::nullopt;
      out.answer = true;
      out.reply = ServerReplyHead::Decode(h);
      return out;
    }
    if (!ReadExact(h + 6, 64, timeoutMs)) return std::nullopt;
    out.head = ServerMsgHead::Decode(h);
    out.body.resize(length - 70);
    if (!ReadExact(out.body.data(), out.body.size(), timeoutMs)) return std::nullopt;
    return out;
  }
  // The next data frame, answers read over.
  std::optional<FromServer> NextFrame(int timeoutMs = 2000) {
    for (;;) {
      auto f = Next(timeoutMs);
      if (!f || !f->answer) return f;
    }
  }
  // True when nothing but answers comes within ms.
  bool Quiet(int ms) {
    auto f = NextFrame(ms);
    return !f.has_value();
  }

 private:
  bool ReadExact(uint8_t* out, size_t len, int timeoutMs) {
    return platform::ReadExact(m_fd, out, len,
                               std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(timeoutMs)) == 0;
  }

  int m_fd = -1;
  std::string m_station;
};

class RelayRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AccountStore store;
    std::string error;
    ASSERT_TRUE(store.Open(m_dir.Sub("central.db"), &error)) << error;
    ASSERT_TRUE(store.Add(kEmail, m_hash, &error)) << error;
    ASSERT_TRUE(store.Add(kOtherEmail, m_otherHash, &error)) << error;
  }
  void TearDown() override { StopServer(); }

  CentralOptions Options() {
    CentralOptions o;
    o.accountDb = m_dir.Sub("central.db");
    o.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_logMutex);
      m_log.push_back(line);
    };
    return o;
  }
  void StartServer(CentralOptions o) {
    m_server = std::make_unique<CentralServer>(std::move(o));
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_loop = std::thread([this] { m_server->Run(); });
  }
  void StartServer() { StartServer(Options()); }
  void StopServer() {
    if (!m_server) return;
    m_server->Stop();
    m_loop.join();
    m_server.reset();
  }

  int Exchange(uint16_t command, const Bytes& payload, const std::string& station) {
    ServerMsgHead head{static_cast<uint16_t>(70 + payload.size()), 6, command, station};
    ServerReplyHead answer;
    Bytes answerPayload;
    if (RequestServer(head, ServerAddress{m_server->Port(), "127.0.0.1"}, payload.data(),
                      static_cast<uint32_t>(payload.size()), &answer, &answerPayload) != 0)
      return -1;
    return answer.result;
  }
  int LogOn(const std::string& station, const std::string& email, const std::string& hash) {
    Bytes p(132);
    wire::PutText(p.data(), 32, email);
    wire::PutText(p.data() + 32, 32, hash);
    wire::PutText(p.data() + 100, 32, station);
    return Exchange(SV_LOG_ON, p, station);
  }
  int LogOut(const std::string& station, const std::string& email, const std::string& hash) {
    Bytes p(64);
    wire::PutText(p.data(), 32, email);
    wire::PutText(p.data() + 32, 32, hash);
    return Exchange(SV_LOG_OUT, p, station);
  }
  // A PC of kEmail logged on, with its relay connection registered.
  std::unique_ptr<FakePc> OnlinePc(const std::string& station = kStation,
                                   const std::string& email = kEmail) {
    const std::string& hash = email == kEmail ? m_hash : m_otherHash;
    EXPECT_EQ(LogOn(station, email, hash), 0);
    auto pc = std::make_unique<FakePc>();
    EXPECT_TRUE(pc->Open(m_server->Port(), station));
    EXPECT_EQ(pc->Register(), RESULT_OK);
    return pc;
  }
  int Device(RelayDeviceClient& d, const std::string& station = kStation,
             const std::string& email = kEmail, const std::string& hash = "",
             const std::string& name = "phone") {
    return d.Connect("127.0.0.1", m_server->Port(),
                     DeviceCredentials{email, hash.empty() ? m_hash : hash, station, name}, 2000);
  }
  // Waits up to 5 s for what the server's thread makes true.
  template <typename Pred>
  static bool Eventually(Pred pred) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!pred()) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  // Waits for the line: the server logs on its own thread.
  bool Logged(const std::string& part) {
    return Eventually([&] {
      std::lock_guard<std::mutex> lock(m_logMutex);
      for (const auto& l : m_log)
        if (l.find(part) != std::string::npos) return true;
      return false;
    });
  }
  // Waits until the device's connection ends (whatever was queued read over).
  static bool EndsWithin(RelayDeviceClient& d, int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
      d.Recv(50);
      if (d.Closed()) return true;
    }
    return false;
  }

  support::TempDir m_dir;
  std::string m_hash = HashPassword("secret");
  std::string m_otherHash = HashPassword("other");
  std::unique_ptr<CentralServer> m_server;
  std::thread m_loop;
  std::mutex m_logMutex;
  std::vector<std::string> m_log;
};

TEST_F(RelayRouterTest, DeviceMessageReachesItsPcAndTheReplyComesBack) {
  StartServer();
  auto pc = OnlinePc();
  RelayDeviceClient dev;
  ASSERT_EQ(Device(dev, kStation, kEmail, "", "my phone"), 0);
  EXPECT_EQ(dev.DeviceId().rfind("d", 0), 0u);
  EXPECT_NE(dev.DeviceId().find("my phone"), std::string::npos);
  EXPECT_EQ(m_server->Relay().DeviceCount(kStation), 1u);

  Bytes request = Message(OP_GET_SHARE_INFO, 7, {1, 2, 3});
  ASSERT_TRUE(dev.Send(request.data(), request.size()));
  auto f = pc->NextFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->head.length, 70 + 64 + request.size());
  EXPECT_EQ(f->head.version, 6);
  EXPECT_EQ(f->head.command, SV_INTER_LINE_DATA);
  EXPECT_EQ(f->head.stationId, dev.DeviceId());
  EXPECT_TRUE(std::equal(request.begin(), request.end(), f->body.begin() + 64));

  Bytes reply = Message(OP_GET_SHARE_INFO, 7, Bytes(12, 0x42));
  ASSERT_TRUE(pc->Reply(f->head.stationId, reply));
  auto got = dev.Recv(2000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->head.opcode, OP_GET_SHARE_INFO);
  EXPECT_EQ(got->head.seq, 7u);
  EXPECT_EQ(got->body, Bytes(12, 0x42));
}

TEST_F(RelayRouterTest, DeviceLogonRefusals) {
  StartServer();
  auto pc = OnlinePc();
  auto otherPc = OnlinePc(kOtherStation, kOtherEmail);
  const std::string offline = "00-00-00-00-00-01";
  ASSERT_EQ(LogOn(offline, kEmail, m_hash), 0);  // logged on, no relay connection

  struct Case {
    const char* name;
    std::string station, email, hash;
    int result;
  } cases[] = {
      {"wrong hash", kStation, kEmail, m_otherHash, RESULT_WRONG_PASSWORD},
      {"unknown account", kStation, "nobody@example.com", m_hash, RESULT_UNKNOWN_ACCOUNT},
      {"unknown station", "AA-BB", kEmail, m_hash, RESULT_NO_STATION},
      {"another account's PC", kOtherStation, kEmail, m_hash, RESULT_NO_STATION},
      {"the other account on our PC", kStation, kOtherEmail, m_otherHash, RESULT_NO_STATION},
      {"PC without relay", offline, kEmail, m_hash, RESULT_STATION_OFFLINE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RelayDeviceClient d;
    std::string error;
    DeviceCredentials cred{c.email, c.hash, c.station};
    EXPECT_EQ(d.Connect("127.0.0.1", m_server->Port(), cred, 2000, &error), c.result);
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(d.IsOpen());
  }
  EXPECT_EQ(m_server->Relay().DeviceCount(kStation), 0u);
  EXPECT_EQ(m_server->Relay().DeviceCount(kOtherStation), 0u);
  // Neither PC saw anything.
  EXPECT_TRUE(pc->Quiet(100));
  EXPECT_TRUE(otherPc->Quiet(100));
}

TEST_F(RelayRouterTest, MalformedDeviceTrafficClosesTheDevice) {
  StartServer();
  auto pc = OnlinePc();
  auto frame = [](uint16_t command, const Bytes& payload) {
    Bytes f(70 + payload.size());
    ServerMsgHead{static_cast<uint16_t>(f.size()), 6, command, "raw"}.Encode(f.data());
    std::copy(payload.begin(), payload.end(), f.begin() + 70);
    return f;
  };
  Bytes logon(DeviceLogonRecord::kSize);
  wire::PutText(logon.data(), 32, kEmail);
  wire::PutText(logon.data() + 32, 32, m_hash);
  wire::PutText(logon.data() + 64, 64, kStation);
  Bytes says20 = Message(OP_GET_SHARE_INFO, 1, Bytes(4));
  wire::PutU16(says20.data(), 20);

  struct Case {
    const char* name;
    bool logOnFirst;
    Bytes bytes;
  } cases[] = {
      {"logon record of the wrong size", false, frame(SV_DEVICE_LOGON, Bytes(100))},
      {"data before logon", false, frame(SV_DEVICE_DATA, Message(OP_GET_SHARE_INFO, 1))},
      {"message length not its frame's", true, frame(SV_DEVICE_DATA, says20)},
      {"message shorter than a head", true, frame(SV_DEVICE_DATA, Bytes(5))},
      {"second logon", true, frame(SV_DEVICE_LOGON, logon)},
      {"a PC's keep-alive", true, frame(SV_INTER_LINE_REQ, {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = platform::ConnectTcp("127.0.0.1", m_server->Port(), 1000);
    ASSERT_GE(fd, 0);
    platform::SetSocketTimeouts(fd, 2000);
    if (c.logOnFirst) {
      Bytes f = frame(SV_DEVICE_LOGON, logon);
      ASSERT_EQ(platform::SendAll(fd, f.data(), f.size()), 0);
      uint8_t answer[72];
      ASSERT_EQ(platform::RecvAll(fd, answer, sizeof answer), 0);
      EXPECT_EQ(ServerReplyHead::Decode(answer).result, RESULT_OK);
    }
    ASSERT_EQ(platform::SendAll(fd, c.bytes.data(), c.bytes.size()), 0);
    // Whatever the server still says, it then closes; the device is forgotten.
    uint8_t buf[64];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
    }
    EXPECT_EQ(n, 0) << "the server closes";
    platform::CloseSocket(fd);
  }
  Eventually([&] { return m_server->Relay().DeviceCount(kStation) == 0; });
  EXPECT_EQ(m_server->Relay().DeviceCount(kStation), 0u);
  // Nothing malformed reached the PC.
  EXPECT_TRUE(pc->Quiet(100));
}

TEST_F(RelayRouterTest, KeepAliveRegistersOnlyALoggedOnStationFromItsLogOnAddress) {
  StartServer();
  // The relay connection may come before the logon's answer.
  FakePc early;
  ASSERT_TRUE(early.Open(m_server->Port(), kStation));
  EXPECT_EQ(early.Register(), RESULT_NOT_LOGGED_ON);
  RelayDeviceClient tooSoon;
  EXPECT_EQ(Device(tooSoon), RESULT_NO_STATION);

  ASSERT_EQ(LogOn(kStation, kEmail, m_hash), 0);
  // The same station id from another address does not take the PC's devices.
  FakePc elsewhere;
  ASSERT_TRUE(elsewhere.Open(m_server->Port(), kStation, "127.0.0.2"));
  EXPECT_EQ(elsewhere.Register(), RESULT_NOT_LOGGED_ON);

  // The first device after the logon takes the connection that waited, without waiting
  // for its next keep-alive.
  RelayDeviceClient dev;
  ASSERT_EQ(Device(dev), 0);
  ASSERT_TRUE(dev.Send(Message(OP_GET_SHARE_INFO, 3).data(), 8));
  auto f = early.NextFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->head.stationId, dev.DeviceId());
  EXPECT_TRUE(elsewhere.Quiet(100));
  EXPECT_EQ(early.Register(), RESULT_OK);
  EXPECT_EQ(elsewhere.Register(), RESULT_NOT_LOGGED_ON);
}

TEST_F(RelayRouterTest, RepliesGoToTheDeviceTheyName) {
  StartServer();
  auto pc = OnlinePc();
  RelayDeviceClient a, b;
  ASSERT_EQ(Device(a, kStation, kEmail, "", "same"), 0);
  ASSERT_EQ(Device(b, kStation, kEmail, "", "same"), 0);
  EXPECT_NE(a.DeviceId(), b.DeviceId());

  ASSERT_TRUE(a.Send(Message(OP_GET_ALL_SUB_FILE, 1).data(), 8));
  ASSERT_TRUE(b.Send(Message(OP_GET_ALL_SUB_FILE, 2).data(), 8));
  // Two connections: either may come first. Each frame is headed with its own device.
  for (int i = 0; i < 2; ++i) {
    auto f = pc->NextFrame();
    ASSERT_TRUE(f);
    uint32_t seq = MsgHead::Decode(f->body.data() + 64).seq;
    EXPECT_EQ(f->head.stationId, seq == 1 ? a.DeviceId() : b.DeviceId());
  }

  // Answered in the other order; each device gets only its own.
  ASSERT_TRUE(pc->Reply(b.DeviceId(), Message(OP_GET_ALL_SUB_FILE, 2)));
  ASSERT_TRUE(pc->Reply(a.DeviceId(), Message(OP_GET_ALL_SUB_FILE, 1)));
  auto ra = a.Recv(2000);
  auto rb = b.Recv(2000);
  ASSERT_TRUE(ra && rb);
  EXPECT_EQ(ra->head.seq, 1u);
  EXPECT_EQ(rb->head.seq, 2u);
  EXPECT_FALSE(a.Recv(100));
  EXPECT_FALSE(b.Recv(100));

  // A reply to a device that is not there is answered as such; one that is not a whole
  // message is refused.
  ASSERT_TRUE(pc->Reply("d999:gone", Message(OP_GET_ALL_SUB_FILE, 3)));
  auto answer = pc->Next();
  ASSERT_TRUE(answer && answer->answer);
  EXPECT_EQ(answer->reply.command, SV_INTER_LINE_DATA);
  EXPECT_EQ(answer->reply.result, RESULT_NO_DEVICE);
  Bytes broken = Message(OP_GET_ALL_SUB_FILE, 4, {1, 2});
  wire::PutU16(broken.data(), 30);
  ASSERT_TRUE(pc->Reply(a.DeviceId(), broken));
  answer = pc->Next();
  ASSERT_TRUE(answer && answer->answer);
  EXPECT_EQ(answer->reply.result, RESULT_BAD_REQUEST);
  EXPECT_FALSE(a.Recv(100));

  // The device that leaves is forgotten; the other stays.
  a.Close();
  Eventually([&] { return m_server->Relay().DeviceCount(kStation) == 1; });
  EXPECT_EQ(m_server->Relay().DeviceCount(kStation), 1u);
}

TEST_F(RelayRouterTest, SlowDeviceIsClosedWithoutHoldingUpThePc) {
  CentralOptions o = Options();
  o.relay.maxDeviceBacklog = 256 * 1024;
  StartServer(o);
  auto pc = OnlinePc();
  RelayDeviceClient slow, quick;
  ASSERT_EQ(Device(slow, kStation, kEmail, "", "slow"), 0);
  ASSERT_EQ(Device(quick, kStation, kEmail, "", "quick"), 0);

  // The slow device reads nothing while the PC keeps answering it.
  Bytes big = Message(OP_DOWN_LOAD_DATA, 1, Bytes(60000, 0x11));
  for (int i = 0; i < 1000 && m_server->Relay().DeviceCount(kStation) == 2; ++i) {
    ASSERT_TRUE(pc->Reply(slow.DeviceId(), big));
    if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(m_server->Relay().DeviceCount(kStation), 1u);
  EXPECT_TRUE(Logged("too slow"));

  // The PC's connection still carries the other device both ways.
  ASSERT_TRUE(quick.Send(Message(OP_GET_SHARE_INFO, 5).data(), 8));
  std::optional<FromServer> f;
  do {
    f = pc->Next();
  } while (f && f->answer);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->head.stationId, quick.DeviceId());
  ASSERT_TRUE(pc->Reply(quick.DeviceId(), Message(OP_GET_SHARE_INFO, 5)));
  // Behind whatever the server still has to read and drop of the slow device's answers.
  auto r = quick.Recv(10000);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head.seq, 5u);
  EXPECT_TRUE(EndsWithin(slow, 5000));
}

TEST_F(RelayRouterTest, DeviceLosesThePcWhenItsAccountNoLongerHoldsIt) {
  StartServer();
  auto pc = OnlinePc();
  RelayDeviceClient dev;
  ASSERT_EQ(Device(dev), 0);
  ASSERT_EQ(LogOut(kStation, kEmail, m_hash), 0);
  ASSERT_TRUE(dev.Send(Message(OP_GET_SHARE_INFO, 1).data(), 8));
  EXPECT_TRUE(EndsWithin(dev, 2000));
  EXPECT_TRUE(pc->Quiet(100));

  // The PC logs on with another account: the first account's devices cannot come back.
  ASSERT_EQ(LogOn(kStation, kOtherEmail, m_otherHash), 0);
  EXPECT_EQ(pc->Register(), RESULT_OK);
  RelayDeviceClient again;
  EXPECT_EQ(Device(again), RESULT_NO_STATION);
}

TEST_F(RelayRouterTest, NewRelayConnectionReplacesTheOldOne) {
  StartServer();
  auto first = OnlinePc();
  RelayDeviceClient dev;
  ASSERT_EQ(Device(dev), 0);
  auto second = std::make_unique<FakePc>();
  ASSERT_TRUE(second->Open(m_server->Port(), kStation));
  ASSERT_EQ(second->Register(), RESULT_OK);
  EXPECT_FALSE(first->Next(2000).has_value());  // closed by the server

  // The device carries on through the new connection.
  ASSERT_TRUE(dev.Send(Message(OP_GET_SHARE_INFO, 9).data(), 8));
  auto f = second->NextFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->head.stationId, dev.DeviceId());

  // A message while the PC has no relay connection ends the device.
  second.reset();
  ASSERT_TRUE(Eventually([&] { return !m_server->Relay().HasRelay(kStation); }));
  ASSERT_TRUE(dev.Send(Message(OP_GET_SHARE_INFO, 10).data(), 8));
  EXPECT_TRUE(EndsWithin(dev, 2000));
}

}  // namespace
