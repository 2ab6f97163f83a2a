// The central server's relayed downloads and uploads: a PC's download and poll connections
// spoken by hand, devices through the device client library.
#include "central/transfer_router.h"

#include <gtest/gtest.h>

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
constexpr const char* kStation = "00-1A-2B-3C-4D-5E";
constexpr const char* kOtherStation = "00-1A-2B-3C-4D-5F";

Bytes Message(uint16_t opcode, uint32_t seq, const Bytes& payload = {}) {
  Bytes m(MsgHead::kSize + payload.size());
  MsgHead{static_cast<uint16_t>(m.size()), opcode, seq}.Encode(m.data());
  std::copy(payload.begin(), payload.end(), m.begin() + MsgHead::kSize);
  return m;
}

Bytes Package(uint32_t seq, uint32_t number, size_t n, uint8_t fill) {
  Bytes p(12 + n, fill);
  wire::PutU32(p.data(), number);
  std::memset(p.data() + 4, 0, 8);
  return Message(OP_DOWN_LOAD_DATA, seq, p);
}

struct Answer {
  ServerReplyHead head;
  Bytes payload;
};

// One of the PC's own connections to the server: a relayed download's or the poller's.
class PcLink {
 public:
  ~PcLink() { platform::CloseSocket(m_fd); }
  bool Open(uint16_t port) {
    m_fd = platform::ConnectTcp("127.0.0.1", port, 1000);
    return m_fd >= 0;
  }
  bool Send(uint16_t command, const std::string& station, const Bytes& body) {
    Bytes f(70 + body.size());
    ServerMsgHead{static_cast<uint16_t>(f.size()), 6, command, station}.Encode(f.data());
    std::copy(body.begin(), body.end(), f.begin() + 70);
    return platform::SendAll(m_fd, f.data(), f.size()) == 0;
  }
  // A download frame: target id[64] + msg.
  bool SendDownLoad(const std::string& station, const std::string& target, const Bytes& msg) {
    Bytes body(64 + msg.size());
    wire::PutText(body.data(), 64, target);
    std::copy(msg.begin(), msg.end(), body.begin() + 64);
    return Send(SV_INTER_LINE_DOWN_LOAD, station, body);
  }
  std::optional<Answer> Next(int timeoutMs = 2000) {
    uint8_t h[8];
    if (!ReadExact(h, 8, timeoutMs)) return std::nullopt;
    Answer a{ServerReplyHead::Decode(h), {}};
    if (a.head.length > 8) {
      a.payload.resize(a.head.length - 8);
      if (!ReadExact(a.payload.data(), a.payload.size(), timeoutMs)) return std::nullopt;
    }
    return a;
  }
  // Sends a download frame and returns its answer's result (-1: none).
  int DownLoad(const std::string& station, const std::string& target, const Bytes& msg) {
    if (!SendDownLoad(station, target, msg)) return -1;
    auto a = Next();
    return a ? a->head.result : -1;
  }
  std::optional<Answer> Poll(const std::string& station) {
    if (!Send(SV_INTER_LINE_UP_LOAD, station, {})) return std::nullopt;
    return Next();
  }

 private:
  bool ReadExact(uint8_t* out, size_t len, int timeoutMs) {
    return platform::ReadExact(m_fd, out, len,
                               std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(timeoutMs)) == 0;
  }
  int m_fd = -1;
};

class TransferRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AccountStore store;
    std::string error;
    ASSERT_TRUE(store.Open(m_dir.Sub("central.db"), &error)) << error;
    ASSERT_TRUE(store.Add(kEmail, m_hash, &error)) << error;
  }
  void TearDown() override {
    if (m_server) {
      m_server->Stop();
      m_loop.join();
    }
  }
  void StartServer(TransferOptions t = {}) {
    CentralOptions o;
    o.accountDb = m_dir.Sub("central.db");
    o.transfer = t;
    o.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_logMutex);
      m_log.push_back(line);
    };
    m_server = std::make_unique<CentralServer>(std::move(o));
    std::string error;
    ASSERT_TRUE(m_server->Start(&error)) << error;
    m_loop = std::thread([this] { m_server->Run(); });
  }
  int LogOn(const std::string& station) {
    Bytes p(132);
    wire::PutText(p.data(), 32, kEmail);
    wire::PutText(p.data() + 32, 32, m_hash);
    wire::PutText(p.data() + 100, 32, station);
    ServerMsgHead head{static_cast<uint16_t>(70 + p.size()), 6, SV_LOG_ON, station};
    ServerReplyHead answer;
    Bytes payload;
    if (RequestServer(head, ServerAddress{m_server->Port(), "127.0.0.1"}, p.data(),
                      static_cast<uint32_t>(p.size()), &answer, &payload) != 0)
      return -1;
    return answer.result;
  }
  // The PC logged on with its relay connection registered (its keep-alive read over).
  void OnlinePc(PcLink& relay, const std::string& station = kStation) {
    ASSERT_EQ(LogOn(station), 0);
    ASSERT_TRUE(relay.Open(m_server->Port()));
    ASSERT_TRUE(relay.Send(SV_INTER_LINE_REQ, station, {}));
    auto a = relay.Next();
    ASSERT_TRUE(a);
    ASSERT_EQ(a->head.result, RESULT_OK);
  }
  void Device(RelayDeviceClient& d, const std::string& station = kStation) {
    ASSERT_EQ(d.Connect("127.0.0.1", m_server->Port(), DeviceCredentials{kEmail, m_hash, station},
                        2000),
              0);
  }
  // Waits a while for the line: the server logs on its own thread.
  bool Logged(const std::string& part) {
    auto deadline = Clock::now() + std::chrono::seconds(3);
    do {
      {
        std::lock_guard<std::mutex> lock(m_logMutex);
        for (const auto& l : m_log)
          if (l.find(part) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (Clock::now() < deadline);
    return false;
  }
  // Waits until the station's queue holds n messages.
  bool Queued(size_t n, const std::string& station = kStation) {
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (m_server->Transfers().QueuedUploads(station) != n) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  support::TempDir m_dir;
  std::string m_hash = HashPassword("secret");
  std::unique_ptr<CentralServer> m_server;
  std::thread m_loop;
  std::mutex m_logMutex;
  std::vector<std::string> m_log;
};

TEST_F(TransferRouterTest, DownloadPackagesReachTheDeviceTheFrameNames) {
  StartServer();
  PcLink relay, job;
  OnlinePc(relay);
  RelayDeviceClient dev;
  Device(dev);
  ASSERT_TRUE(job.Open(m_server->Port()));

  Bytes p1 = Package(5, 1, 1000, 0xA1);
  Bytes p2 = Package(5, 2, 0, 0);
  Bytes over = Message(OP_DOWN_LOAD_OVER, 5, {'0', 0, 0, 0});
  for (const Bytes& m : {p1, p2, over}) EXPECT_EQ(job.DownLoad(kStation, dev.DeviceId(), m), 0);
  for (const Bytes& m : {p1, p2, over}) {
    auto got = dev.Recv(2000);
    ASSERT_TRUE(got);
    Bytes whole(8 + got->body.size());
    got->head.Encode(whole.data());
    std::copy(got->body.begin(), got->body.end(), whole.begin() + 8);
    EXPECT_EQ(whole, m);
  }
  EXPECT_TRUE(Logged("download station=" + std::string(kStation) + " seq=5 to device " +
                     dev.DeviceId() + " ended '0'"));
  EXPECT_EQ(m_server->Transfers().Totals().packages, 3u);

  struct Case {
    const char* name;
    std::string station, target;
    Bytes msg;
    int result;
  } cases[] = {
      {"device not connected", kStation, "d99:gone", p1, RESULT_NO_DEVICE},
      {"message not whole", kStation, dev.DeviceId(), Bytes(p1.begin(), p1.end() - 1),
       RESULT_BAD_REQUEST},
      {"station not logged on", kOtherStation, dev.DeviceId(), p1, RESULT_NOT_LOGGED_ON},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes msg = c.msg;
    if (c.result == RESULT_BAD_REQUEST) wire::PutU16(msg.data(), static_cast<uint16_t>(p1.size()));
    EXPECT_EQ(job.DownLoad(c.station, c.target, msg), c.result);
  }
  EXPECT_FALSE(dev.Recv(100).has_value());  // none of them reached the device
  EXPECT_FALSE(dev.Closed());
}

TEST_F(TransferRouterTest, AnotherPcCannotReachTheDevice) {
  StartServer();
  PcLink relay, otherRelay, job;
  OnlinePc(relay);
  OnlinePc(otherRelay, kOtherStation);
  RelayDeviceClient dev;
  Device(dev);
  ASSERT_TRUE(job.Open(m_server->Port()));
  EXPECT_EQ(job.DownLoad(kOtherStation, dev.DeviceId(), Package(1, 1, 10, 1)), RESULT_NO_DEVICE);
  EXPECT_FALSE(dev.Recv(100).has_value());
}

TEST_F(TransferRouterTest, AFullDeviceBufferIsAnswered4116UntilTheDeviceReads) {
  TransferOptions t;
  t.maxDownloadBacklog = 4096;
  StartServer(t);
  PcLink relay, job;
  OnlinePc(relay);
  RelayDeviceClient dev;
  Device(dev);
  ASSERT_TRUE(job.Open(m_server->Port()));

  // The device reads nothing: once the kernel's buffers and the server's 4 KiB are
  // full, the package is refused with 4116, again and again, and the device stays.
  uint32_t number = 0;
  int result = 0;
  Bytes refused;
  for (int i = 0; i < 100000 && result == 0; ++i) {
    ++number;
    Bytes p = Package(1, number, 1000, static_cast<uint8_t>(number));
    result = job.DownLoad(kStation, dev.DeviceId(), p);
    if (result != 0) refused = p;
  }
  ASSERT_EQ(result, RESULT_CASH_FULL);
  EXPECT_EQ(job.DownLoad(kStation, dev.DeviceId(), refused), RESULT_CASH_FULL);
  EXPECT_GE(m_server->Transfers().Totals().full, 2u);

  // Once the device has read, the same frame goes through, and every package arrives
  // once and in order.
  uint32_t expect = 1;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  bool accepted = false;
  while (!accepted && Clock::now() < deadline) {
    while (auto m = dev.Recv(5)) {
      ASSERT_EQ(wire::GetU32(m->body.data()), expect);
      ++expect;
    }
    accepted = job.DownLoad(kStation, dev.DeviceId(), refused) == 0;
  }
  ASSERT_TRUE(accepted);
  while (expect <= number) {
    auto m = dev.Recv(2000);
    ASSERT_TRUE(m);
    ASSERT_EQ(wire::GetU32(m->body.data()), expect);
    ++expect;
  }
  EXPECT_FALSE(dev.Closed());
}

TEST_F(TransferRouterTest, UploadMessagesWaitForThePcsPoll) {
  StartServer();
  PcLink relay, poller;
  OnlinePc(relay);
  RelayDeviceClient dev;
  Device(dev);
  ASSERT_TRUE(poller.Open(m_server->Port()));

  auto empty = poller.Poll(kStation);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->head.length, 8);
  EXPECT_EQ(empty->head.command, SV_INTER_LINE_UP_LOAD);
  EXPECT_EQ(empty->head.result, RESULT_NOTHING_WAITING);

  Bytes data = Message(OP_UP_LOAD_FILE, 3, Bytes(12 + 500, 0x33));
  Bytes over = Message(OP_OVER_UP_LOAD_FILE, 3, {0});
  Bytes listing = Message(OP_GET_SHARE_INFO, 4);
  ASSERT_TRUE(dev.Send(data.data(), data.size()));
  ASSERT_TRUE(dev.Send(listing.data(), listing.size()));
  ASSERT_TRUE(dev.Send(over.data(), over.size()));
  ASSERT_TRUE(Queued(2));
  EXPECT_EQ(m_server->Transfers().QueuedUploadBytes(kStation), data.size() + over.size());

  // The listing takes the relay connection (its frame's first 8 bytes read as a head
  // here); the upload messages do not.
  auto relayed = relay.Next();
  ASSERT_TRUE(relayed);
  EXPECT_EQ(relayed->head.length, 70 + 64 + listing.size());

  for (const Bytes& m : {data, over}) {
    auto a = poller.Poll(kStation);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->head.result, RESULT_OK);
    EXPECT_EQ(a->head.length, 8 + m.size());
    EXPECT_EQ(a->payload, m);
  }
  auto after = poller.Poll(kStation);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->head.result, RESULT_NOTHING_WAITING);
  EXPECT_EQ(m_server->Transfers().Totals().fetched, 2u);

  // Another station's poll and one not logged on find nothing of these.
  PcLink stranger;
  ASSERT_TRUE(stranger.Open(m_server->Port()));
  ASSERT_TRUE(dev.Send(data.data(), data.size()));
  ASSERT_TRUE(Queued(1));
  auto refused = stranger.Poll(kOtherStation);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->head.result, RESULT_NOT_LOGGED_ON);
  EXPECT_EQ(m_server->Transfers().QueuedUploads(kStation), 1u);
}

TEST_F(TransferRouterTest, AFullQueueHoldsTheDeviceBackWithoutLosingAMessage) {
  TransferOptions t;
  t.maxUploadQueue = 64 << 10;
  StartServer(t);
  PcLink relay, poller;
  OnlinePc(relay);
  RelayDeviceClient dev;
  Device(dev);
  ASSERT_TRUE(poller.Open(m_server->Port()));

  // 8 MiB in 60,000-byte messages, far beyond the queue and the kernel's buffers, then
  // the end, and the device goes at once: what it sent before it went still counts.
  constexpr int kMessages = 140;
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    for (int i = 0; i < kMessages; ++i) {
      Bytes m = Message(OP_UP_LOAD_FILE, 9, Bytes(60000, static_cast<uint8_t>(i)));
      wire::PutU32(m.data() + 8, static_cast<uint32_t>(i));
      if (!dev.Send(m.data(), m.size())) return;
    }
    Bytes over = Message(OP_OVER_UP_LOAD_FILE, 9, {0});
    sent = dev.Send(over.data(), over.size());
    dev.Close();
  });
  size_t most = 0;
  int next = 0;
  bool ended = false;
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!ended && Clock::now() < deadline) {
    most = std::max(most, m_server->Transfers().QueuedUploadBytes(kStation));
    auto a = poller.Poll(kStation);
    ASSERT_TRUE(a);
    if (a->head.result != RESULT_OK) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (next == kMessages) {
      EXPECT_EQ(wire::GetU16(a->payload.data() + 2), OP_OVER_UP_LOAD_FILE);
      ended = true;
      continue;
    }
    ASSERT_EQ(a->payload.size(), 60008u);
    ASSERT_EQ(wire::GetU32(a->payload.data() + 8), static_cast<uint32_t>(next));
    ++next;
  }
  sender.join();
  EXPECT_TRUE(sent);
  EXPECT_TRUE(ended);
  EXPECT_EQ(next, kMessages);
  EXPECT_LE(most, t.maxUploadQueue + 60008);
}

TEST_F(TransferRouterTest, ADeviceThatLeavesMidwayTakesItsUnfinishedUploadAlong) {
  StartServer();
  PcLink relay, poller;
  OnlinePc(relay);
  RelayDeviceClient finished, cut;
  Device(finished);
  Device(cut);
  Bytes a1 = Message(OP_UP_LOAD_FILE, 1, Bytes(20, 1));
  Bytes a2 = Message(OP_OVER_UP_LOAD_FILE, 1, {0});
  Bytes b1 = Message(OP_UP_LOAD_FILE, 2, Bytes(20, 2));
  ASSERT_TRUE(finished.Send(a1.data(), a1.size()));
  ASSERT_TRUE(cut.Send(b1.data(), b1.size()));
  ASSERT_TRUE(finished.Send(a2.data(), a2.size()));
  ASSERT_TRUE(Queued(3));
  finished.Close();
  cut.Close();
  ASSERT_TRUE(Queued(2));  // the finished upload stays, the cut one goes
  ASSERT_TRUE(poller.Open(m_server->Port()));
  for (const Bytes& m : {a1, a2}) {
    auto a = poller.Poll(kStation);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->payload, m);
  }
  EXPECT_TRUE(Logged("device left with 1 upload messages unfinished; dropped"));
}

TEST_F(TransferRouterTest, AnswersWaitForTheInjectedDelay) {
  TransferOptions t;
  t.answerDelayMs = 40;
  StartServer(t);
  PcLink relay, link;
  OnlinePc(relay);
  RelayDeviceClient dev;
  Device(dev);
  ASSERT_TRUE(link.Open(m_server->Port()));

  auto started = Clock::now();
  EXPECT_EQ(link.DownLoad(kStation, dev.DeviceId(), Package(1, 1, 10, 1)), 0);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(40));
  started = Clock::now();
  auto a = link.Poll(kStation);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->head.result, RESULT_NOTHING_WAITING);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(40));
  // The package itself went on at once.
  EXPECT_TRUE(dev.Recv(1000).has_value());

  // Answers still due when their connection has gone are dropped.
  {
    PcLink gone;
    ASSERT_TRUE(gone.Open(m_server->Port()));
    ASSERT_TRUE(gone.Send(SV_INTER_LINE_UP_LOAD, kStation, {}));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_TRUE(link.Poll(kStation).has_value());
}

}  // namespace
