#include "comm/server_exchange.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/opcodes.h"
#include "platform/net.h"
#include "support/fake_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int ListenLoopback(int backlog, uint16_t* port) { return support::ListenTcp(0, backlog, port); }

Bytes ReplyBytes(uint16_t length, uint16_t command, uint16_t result, size_t payload = 0) {
  Bytes b(8 + payload);
  ServerReplyHead{length, 0, command, result}.Encode(b.data());
  for (size_t i = 0; i < payload; ++i) b[8 + i] = static_cast<uint8_t>(0xA0 + i);
  return b;
}

// A loopback server that reads one ServerMsgHead frame per connection, records it and
// then runs the test's script on the connection.
class FakeServer {
 public:
  using Script = std::function<void(int fd, const Bytes& frame, const std::atomic<bool>& stop)>;

  explicit FakeServer(Script script) : m_script(std::move(script)) {
    m_listen = ListenLoopback(16, &m_port);
    m_acceptor = std::thread([this] { AcceptLoop(); });
  }
  ~FakeServer() {
    m_stop = true;
    m_acceptor.join();
    for (auto& t : m_workers) t.join();
    ::close(m_listen);
  }
  uint16_t port() const { return m_port; }
  int accepted() const { return m_accepted; }
  std::vector<Bytes> frames() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }

  // Scripts.
  static Script Answer(Bytes reply) {
    return [reply](int fd, const Bytes&, const std::atomic<bool>&) {
      platform::SendAll(fd, reply.data(), reply.size());
      WaitClose(fd, nullptr);
    };
  }
  static Script Silent() {
    return [](int fd, const Bytes&, const std::atomic<bool>& stop) { WaitClose(fd, &stop); };
  }
  // Waits until the client closes (or the server stops).
  static void WaitClose(int fd, const std::atomic<bool>* stop) {
    for (int i = 0; i < 1000 && (stop == nullptr || !*stop); ++i) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        char c;
        if (::recv(fd, &c, 1, 0) <= 0) return;
      }
    }
  }

 private:
  void AcceptLoop() {
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept(m_listen, nullptr, nullptr);
      if (fd < 0) continue;
      ++m_accepted;
      m_workers.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Serve(int fd) {
    Bytes frame(ServerMsgHead::kSize);
    if (platform::RecvAll(fd, frame.data(), frame.size()) == 0) {
      uint16_t len = wire::GetU16(frame.data());
      if (len > ServerMsgHead::kSize) {
        frame.resize(len);
        platform::RecvAll(fd, frame.data() + ServerMsgHead::kSize, len - ServerMsgHead::kSize);
      }
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back(frame);
      }
      m_script(fd, frame, m_stop);
    }
    ::close(fd);
  }

  Script m_script;
  int m_listen = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_accepted{0};
  std::thread m_acceptor;
  std::vector<std::thread> m_workers;  // touched by the acceptor only, joined after it
  std::mutex m_mutex;
  std::vector<Bytes> m_frames;
};

ServerMsgHead Head(uint16_t command, uint32_t payloadLen, const std::string& id = "00-1A-2B-3C-4D-5E") {
  ServerMsgHead h;
  h.length = static_cast<uint16_t>(ServerMsgHead::kSize + payloadLen);
  h.command = command;
  h.stationId = id;
  return h;
}

ServerAddress At(uint16_t port) { return ServerAddress{port, "127.0.0.1"}; }

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(RequestServer, SendsExactBytesFromACopyOfTheHead) {
  FakeServer server(FakeServer::Answer(ReplyBytes(8, SV_LOG_ON, 0x1000)));
  Bytes payload(132);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  const ServerMsgHead head = Head(SV_LOG_ON, 132);

  for (int round = 0; round < 2; ++round) {  // the same head, reused unchanged
    ServerReplyHead answer;
    Bytes answerPayload{1, 2, 3};
    ASSERT_EQ(RequestServer(head, At(server.port()), payload.data(), 132, &answer, &answerPayload),
              0);
    EXPECT_EQ(answer.length, 8);
    EXPECT_EQ(answer.command, SV_LOG_ON);
    EXPECT_EQ(answer.result, 0x1000);
    EXPECT_TRUE(answerPayload.empty());
  }
  EXPECT_EQ(head.length, 202);
  EXPECT_EQ(head.version, 6);
  EXPECT_EQ(head.command, SV_LOG_ON);

  Bytes expected = {0x00, 0xCA, 0x00, 0x06, 0x10, 0x01};
  std::string id = "00-1A-2B-3C-4D-5E";
  expected.insert(expected.end(), id.begin(), id.end());
  expected.resize(70, 0);
  expected.insert(expected.end(), payload.begin(), payload.end());
  auto frames = server.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], expected);
  EXPECT_EQ(frames[1], expected);
}

TEST(RequestServer, StationIdIsCutTo63CharactersAndNulPadded) {
  FakeServer server(FakeServer::Answer(ReplyBytes(8, SV_HEART_BEAT, 0)));
  ServerReplyHead answer;
  Bytes answerPayload;
  ASSERT_EQ(RequestServer(Head(SV_HEART_BEAT, 0, std::string(80, 'X')), At(server.port()), nullptr,
                          0, &answer, &answerPayload),
            0);
  auto frames = server.frames();
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(frames[0].size(), 70u);
  EXPECT_EQ(std::string(frames[0].begin() + 6, frames[0].begin() + 69), std::string(63, 'X'));
  EXPECT_EQ(frames[0][69], 0);
}

struct AnswerCase {
  const char* name;
  Bytes reply;  // sent, then the server waits for the client to close
  bool closeAfter;
  int rc;
  size_t payloadLen;
};

TEST(RequestServer, AnswerShapes) {
  const AnswerCase cases[] = {
      {"head only", ReplyBytes(8, SV_SET_SV_INFO, 0), false, 0, 0},
      {"head with payload", ReplyBytes(20, SV_SET_SV_INFO, 7, 12), false, 0, 12},
      {"payload cut short by a close", ReplyBytes(20, SV_SET_SV_INFO, 0, 4), true, -1, 0},
      {"length below 8", ReplyBytes(4, SV_SET_SV_INFO, 0), false, -1, 0},
      {"length 0", ReplyBytes(0, SV_SET_SV_INFO, 0), false, -1, 0},
      {"partial head then close", Bytes{0x00, 0x08, 0x00, 0x06, 0x10}, true, -1, 0},
      {"close without an answer", Bytes{}, true, -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes reply = c.reply;
    bool closeAfter = c.closeAfter;
    FakeServer server([reply, closeAfter](int fd, const Bytes&, const std::atomic<bool>&) {
      if (!reply.empty()) platform::SendAll(fd, reply.data(), reply.size());
      if (!closeAfter) FakeServer::WaitClose(fd, nullptr);
    });
    ServerReplyHead answer;
    Bytes answerPayload;
    auto t0 = Clock::now();
    int rc = RequestServer(Head(SV_SET_SV_INFO, 0), At(server.port()), nullptr, 0, &answer,
                           &answerPayload, 10000, 10000);
    EXPECT_EQ(rc, c.rc);
    EXPECT_LT(ElapsedMs(t0), 5000);  // a close is seen at once, never waited out
    EXPECT_EQ(answerPayload.size(), c.payloadLen);
    if (rc == 0 && c.payloadLen > 0) {
      EXPECT_EQ(answer.result, 7);
      EXPECT_EQ(answerPayload[0], 0xA0);
      EXPECT_EQ(answerPayload[11], 0xAB);
    }
  }
}

TEST(RequestServer, SilentServerFailsAfterTheReceiveTimeout) {
  FakeServer server(FakeServer::Silent());
  ServerReplyHead answer;
  Bytes answerPayload;
  auto t0 = Clock::now();
  EXPECT_EQ(RequestServer(Head(SV_LOG_ON, 0), At(server.port()), nullptr, 0, &answer,
                          &answerPayload, 200),
            -1);
  long ms = ElapsedMs(t0);
  EXPECT_GE(ms, 180);
  EXPECT_LT(ms, 3000);
}

TEST(RequestServer, RefusedConnectFails) {
  uint16_t port = 0;
  int fd = ListenLoopback(1, &port);
  ::close(fd);  // nothing listens there any more
  ServerReplyHead answer;
  Bytes answerPayload;
  auto t0 = Clock::now();
  EXPECT_EQ(RequestServer(Head(SV_LOG_ON, 0), At(port), nullptr, 0, &answer, &answerPayload), -1);
  EXPECT_LT(ElapsedMs(t0), 4000);  // refused at once, not after the 5 s connect deadline
}

TEST(RequestServer, ConnectIsBoundedByItsTimeout) {
  // A listener that never accepts, with its queue filled: further SYNs go unanswered.
  uint16_t port = 0;
  int fd = ListenLoopback(0, &port);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) fillers.push_back(platform::ConnectTcp("127.0.0.1", port, 100));
  ServerReplyHead answer;
  Bytes answerPayload;
  auto t0 = Clock::now();
  EXPECT_EQ(RequestServer(Head(SV_LOG_ON, 0), At(port), nullptr, 0, &answer, &answerPayload, 5000,
                          200),
            -1);
  long ms = ElapsedMs(t0);
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 2000);
  for (int f : fillers) platform::CloseSocket(f);
  ::close(fd);
}

TEST(RequestServer, RefusesBeforeConnecting) {
  FakeServer server(FakeServer::Answer(ReplyBytes(8, SV_LOG_ON, 0)));
  ServerReplyHead answer;
  Bytes answerPayload;
  Bytes payload(10);
  // Port 65535, a head that does not announce its payload, a missing payload.
  EXPECT_EQ(RequestServer(Head(SV_LOG_ON, 0), At(65535), nullptr, 0, &answer, &answerPayload), -1);
  EXPECT_EQ(RequestServer(Head(SV_LOG_ON, 0), At(server.port()), payload.data(), 10, &answer,
                          &answerPayload),
            -1);
  EXPECT_EQ(RequestServer(Head(SV_LOG_ON, 10), At(server.port()), nullptr, 10, &answer,
                          &answerPayload),
            -1);
  EXPECT_EQ(RequestServer(Head(SV_LOG_ON, 0), ServerAddress{server.port(), ""}, nullptr, 0, &answer,
                          &answerPayload),
            -1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(server.accepted(), 0);
}

TEST(RequestServer, ConcurrentExchangesGetTheirOwnAnswers) {
  // The answer's result repeats the first character of the station id.
  FakeServer server([](int fd, const Bytes& frame, const std::atomic<bool>&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Bytes reply = ReplyBytes(8, SV_HEART_BEAT, frame[6]);
    platform::SendAll(fd, reply.data(), reply.size());
    FakeServer::WaitClose(fd, nullptr);
  });
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      ServerReplyHead answer;
      Bytes answerPayload;
      std::string id(1, static_cast<char>('A' + i));
      if (RequestServer(Head(SV_HEART_BEAT, 0, id), At(server.port()), nullptr, 0, &answer,
                        &answerPayload) == 0 &&
          answer.result == 'A' + i)
        ++good;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, 8);
  EXPECT_EQ(server.accepted(), 8);
}

TEST(SocketHelpers, ClosedSlotsAndZeroLengths) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  int a = fds[0], b = fds[1];
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_EQ(SendAll(&a, 0, nullptr), 0);
  EXPECT_EQ(RecvAll(&a, 0, nullptr), 0);
  EXPECT_EQ(SendAll(&a, 4, nullptr), -1);
  EXPECT_EQ(SendAll(nullptr, 4, buf), -1);
  ASSERT_EQ(SendAll(&a, 4, buf), 0);
  uint8_t in[4] = {};
  ASSERT_EQ(RecvAll(&b, 4, in), 0);
  EXPECT_EQ(in[3], 4);

  // The peer sends 2 of 4 bytes and closes: a failure, not a wait.
  ASSERT_EQ(SendAll(&a, 2, buf), 0);
  EXPECT_EQ(CloseSocket(&a), 0);
  EXPECT_EQ(a, -1);
  EXPECT_EQ(RecvAll(&b, 4, in), -1);

  EXPECT_EQ(CloseSocket(&a), -1);
  EXPECT_EQ(SendAll(&a, 4, buf), -1);
  EXPECT_EQ(RecvAll(&a, 4, in), -1);
  EXPECT_EQ(CloseSocket(&b), 0);
  EXPECT_EQ(CloseSocket(nullptr), -1);
}

TEST(SocketHelpers, ConnectSocketRefusals) {
  int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  int closed = -1;
  EXPECT_EQ(ConnectSocket(&sock, 80, nullptr), -1);
  EXPECT_EQ(ConnectSocket(&sock, 65535, "127.0.0.1"), -1);
  EXPECT_EQ(ConnectSocket(&closed, 80, "127.0.0.1"), -1);
  EXPECT_EQ(ConnectSocket(nullptr, 80, "127.0.0.1"), -1);
  CloseSocket(&sock);

  uint16_t port = 0;
  int listener = ListenLoopback(4, &port);
  sock = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(ConnectSocket(&sock, port, "127.0.0.1", 1000), 0);
  CloseSocket(&sock);
  ::close(listener);
}

TEST(SocketHelpers, BoundPortAndAddressText) {
  uint16_t port = 0;
  int listener = ListenLoopback(4, &port);
  uint16_t got = 0;
  EXPECT_EQ(GetBoundPort(&got, &listener), 0);
  EXPECT_EQ(got, port);
  int closed = -1;
  EXPECT_EQ(GetBoundPort(&got, &closed), -1);
  ::close(listener);

  const uint8_t ip[4] = {192, 168, 1, 20};
  EXPECT_EQ(IpToString(ip), "192.168.1.20");
  const uint8_t edge[4] = {0, 0, 0, 255};
  EXPECT_EQ(IpToString(edge), "0.0.0.255");
}

TEST(SocketHelpers, SendToHostUsesTheP2PSocket) {
  int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  uint16_t rxPort = 0;
  ASSERT_EQ(GetBoundPort(&rxPort, &rx), 0);

  const char msg[] = "hello";
  g_P2PUdpSock = -1;
  EXPECT_EQ(SendToHost(rxPort, msg, 5, "127.0.0.1"), -1);  // socket not open

  g_P2PUdpSock = ::socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EQ(SendToHost(rxPort, nullptr, 5, "127.0.0.1"), -1);
  EXPECT_EQ(SendToHost(rxPort, msg, 5, nullptr), -1);
  EXPECT_EQ(SendToHost(rxPort, msg, 5, "127.0.0.1"), 0);
  char in[16] = {};
  pollfd p{rx, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_EQ(::recv(rx, in, sizeof in, 0), 5);
  EXPECT_STREQ(in, "hello");

  int sock = g_P2PUdpSock.exchange(-1);
  CloseSocket(&sock);
  ::close(rx);
}

}  // namespace
