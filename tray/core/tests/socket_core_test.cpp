// The transport against scripted loopback peers: replies read whole or refused with the
// right result, the queued sender's order and failure kinds, and the listener's
// questions held under tokens of their own and answered on their own connections.
#include "socket_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_peer.h"

namespace {

using traytest::Bytes;
using traytest::FakePeer;
using traytest::Head;
using traytest::WaitFor;

struct Recorder : tray::ISocketConnectCallback {
  std::mutex m;
  std::vector<std::string> frames;
  std::vector<uint32_t> tokens;
  std::vector<std::pair<int, int>> errors;
  bool take = true;

  bool OnData(const uint8_t* frame, size_t len, uint32_t token) override {
    std::lock_guard<std::mutex> lock(m);
    frames.emplace_back(reinterpret_cast<const char*>(frame), len);
    tokens.push_back(token);
    return take;
  }
  void OnError(int code, int kind) override {
    std::lock_guard<std::mutex> lock(m);
    errors.emplace_back(code, kind);
  }
  size_t Frames() {
    std::lock_guard<std::mutex> lock(m);
    return frames.size();
  }
  size_t Errors() {
    std::lock_guard<std::mutex> lock(m);
    return errors.size();
  }
};

tray::SocketCoreOptions ForPort(uint16_t port) {
  tray::SocketCoreOptions o;
  o.requestPort = port;
  o.listenPort = 0;
  o.requestRecvTimeoutMs = 300;
  return o;
}

int Send(tray::CSocketCore& core, const std::string& request, std::string* reply,
         const char* host = "127.0.0.1") {
  std::vector<uint8_t> r;
  int rc = core.SendRequest(host, reinterpret_cast<const uint8_t*>(request.data()),
                            request.size(), &r);
  reply->assign(r.begin(), r.end());
  return rc;
}

// Reads the 8-byte request, then answers with the pieces, pausing between them.
FakePeer::Script Answer(std::vector<std::string> pieces, bool closeEarly = false) {
  return [pieces, closeEarly](int fd) {
    traytest::RecvUpTo(fd, 8, 2000);
    for (const std::string& p : pieces) {
      traytest::SendAll(fd, p);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!closeEarly) traytest::RecvUpTo(fd, 1, 1000);  // hold until the client closes
  };
}

TEST(SocketCoreRequestTest, RepliesAreReadWholeOrGiveTheirResult) {
  const std::string request = Head(8, 0x5001);
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    bool closeEarly;
    int rc;
    std::string reply;
  };
  const std::string payload(300, 'p');
  const std::vector<Case> cases = {
      {"head only", {Head(8, 0x5001)}, false, 0, Head(8, 0x5001)},
      {"split head, payload in three segments",
       {Head(308, 0x5006).substr(0, 3), Head(308, 0x5006).substr(3) + payload.substr(0, 100),
        payload.substr(100, 100), payload.substr(200)},
       false, 0, Head(308, 0x5006) + payload},
      {"silent peer", {}, false, tray::kNoReplyHead, ""},
      {"short head then close", {Head(12, 0x5001).substr(0, 5)}, true, tray::kNoReplyHead, ""},
      {"length below the head", {Head(7, 0x5001)}, false, tray::kNoReplyHead, ""},
      {"short payload then close", {Head(12, 0x5001) + "ab"}, true, tray::kSendFailed, ""},
  };
  for (const Case& c : cases) {
    FakePeer peer(Answer(c.pieces, c.closeEarly));
    tray::CSocketCore core(ForPort(peer.port()));
    std::string reply;
    EXPECT_EQ(Send(core, request, &reply), c.rc) << c.name;
    EXPECT_EQ(reply, c.reply) << c.name;
  }
}

TEST(SocketCoreRequestTest, NoServiceOrNoDottedHostIsNoConnection) {
  FakePeer peer(Answer({Head(8, 0x5001)}));
  tray::CSocketCore core(ForPort(traytest::UnusedPort()));
  std::string reply;
  EXPECT_EQ(Send(core, Head(8, 0x5001), &reply), tray::kNoConnection);
  tray::CSocketCore named(ForPort(peer.port()));
  EXPECT_EQ(Send(named, Head(8, 0x5001), &reply, "localhost"), tray::kNoConnection);
  EXPECT_EQ(Send(named, Head(8, 0x5001), &reply, ""), tray::kNoConnection);
  EXPECT_EQ(peer.accepted(), 0);
}

TEST(SocketCoreQueueTest, QueuedRequestsGoOutInOrderAndFailuresNameTheirKind) {
  std::mutex m;
  std::vector<std::string> seen;
  // Echoes each request's number back in a reply of 12 bytes.
  FakePeer peer([&](int fd) {
    std::string req = traytest::RecvUpTo(fd, 72, 2000);
    {
      std::lock_guard<std::mutex> lock(m);
      seen.push_back(req);
    }
    traytest::SendAll(fd, Head(12, 0x5002) + req.substr(8, 4));
  });
  tray::CSocketCore core(ForPort(peer.port()));
  Recorder rec;
  core.SetCallback(&rec);
  for (int i = 0; i < 5; ++i) {
    std::string req = Head(72, 0x5002) + std::string(64, static_cast<char>('a' + i));
    ASSERT_EQ(core.PostRequest("127.0.0.1", reinterpret_cast<const uint8_t*>(req.data()),
                               req.size()),
              0);
  }
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() == 5; }));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(rec.frames[i], Head(12, 0x5002) + std::string(4, static_cast<char>('a' + i)));
    EXPECT_EQ(rec.tokens[i], 0u);
  }
  EXPECT_EQ(seen.size(), 5u);

  // Refused before queuing: kind 1 at once, on this thread.
  EXPECT_EQ(core.PostRequest(nullptr, reinterpret_cast<const uint8_t*>("x"), 1), -1);
  ASSERT_EQ(rec.Errors(), 1u);
  EXPECT_EQ(rec.errors[0].second, tray::kErrorConnect);

  // Nothing listens: kind 1; the peer closes without a reply: kind 3.
  tray::CSocketCore none(ForPort(traytest::UnusedPort()));
  Recorder noneRec;
  none.SetCallback(&noneRec);
  std::string req = Head(72, 0x5002, 0x00070000) + std::string(64, 'z');
  none.PostRequest("127.0.0.1", reinterpret_cast<const uint8_t*>(req.data()), req.size());
  ASSERT_TRUE(WaitFor([&] { return noneRec.Errors() == 1; }));
  EXPECT_EQ(noneRec.errors[0], std::make_pair(7, tray::kErrorConnect));

  FakePeer closer([](int fd) { traytest::RecvUpTo(fd, 72, 2000); });
  tray::CSocketCore closing(ForPort(closer.port()));
  Recorder closingRec;
  closing.SetCallback(&closingRec);
  closing.PostRequest("127.0.0.1", reinterpret_cast<const uint8_t*>(req.data()), req.size());
  ASSERT_TRUE(WaitFor([&] { return closingRec.Errors() == 1; }));
  EXPECT_EQ(closingRec.errors[0].second, tray::kErrorReceive);
  EXPECT_EQ(closingRec.Frames(), 0u);
}

// A peer that drips its reply one byte every 0.8 of the receive time-out: each byte comes
// within a time-out of the last, so only one deadline for the whole reply ends the wait.
TEST(SocketCoreRequestTest, ADrippedReplyFailsWithinOneDeadline) {
  using Clock = std::chrono::steady_clock;
  constexpr int kDeadlineMs = 300;
  constexpr int kDripMs = kDeadlineMs * 8 / 10;
  // Generous for a loaded machine, and far below what the drip needs to finish (minutes).
  constexpr auto kWithin = std::chrono::milliseconds(kDeadlineMs + 1500);
  const std::string big = Head(1000, 0x5001) + std::string(992, 'p');
  struct Case {
    const char* name;
    std::string reply;  // what is dripped after the request is read
    std::string atOnce;  // what goes out before the drip starts
    int rc;
  };
  const std::vector<Case> cases = {
      {"dripped head", big, "", tray::kNoReplyHead},
      {"head at once, dripped payload", big.substr(8), big.substr(0, 8), tray::kSendFailed},
  };
  for (const Case& c : cases) {
    std::atomic<int> dripped{0};
    FakePeer::Script drip = traytest::DripReply(c.reply, kDripMs, &dripped);
    FakePeer peer([&](int fd) {
      if (!c.atOnce.empty()) traytest::SendAll(fd, c.atOnce);
      drip(fd);
    });
    tray::SocketCoreOptions o = ForPort(peer.port());
    o.requestRecvTimeoutMs = kDeadlineMs;
    tray::CSocketCore core(o);
    std::string reply;
    const auto start = Clock::now();
    EXPECT_EQ(Send(core, Head(8, 0x5001), &reply), c.rc) << c.name;
    EXPECT_LT(Clock::now() - start, kWithin) << c.name;
    EXPECT_LT(dripped.load(), 8) << c.name;  // the wait ended long before the reply did

    // The queued path has the same deadline: the failure is a receive failure.
    Recorder rec;
    core.SetCallback(&rec);
    const std::string logon = Head(72, 0x5002) + std::string(64, 'a');
    const auto queued = Clock::now();
    ASSERT_EQ(core.PostRequest("127.0.0.1", reinterpret_cast<const uint8_t*>(logon.data()),
                               logon.size()),
              0);
    ASSERT_TRUE(WaitFor([&] { return rec.Errors() == 1; })) << c.name;
    EXPECT_LT(Clock::now() - queued, kWithin) << c.name;
    EXPECT_EQ(rec.errors[0].second, tray::kErrorReceive) << c.name;
    EXPECT_EQ(rec.Frames(), 0u) << c.name;
    core.ClearCallback();
  }
}

// ---- The listener.

std::string Question(uint32_t number, char fill = 'q') {
  return Head(264, 0x500D, number) + std::string(256, fill);
}

class ListenerTest : public ::testing::Test {
 protected:
  void Start(tray::SocketCoreOptions o = ForPort(1)) {
    core = std::make_unique<tray::CSocketCore>(o);
    core->SetCallback(&rec);
    ASSERT_TRUE(core->StartListener());
    ASSERT_NE(core->ListenPort(), 0);
  }
  int Ask(const std::string& bytes) {
    int fd = traytest::ConnectLoopback(core->ListenPort());
    traytest::SendAll(fd, bytes);
    return fd;
  }
  Recorder rec;
  std::unique_ptr<tray::CSocketCore> core;
};

TEST_F(ListenerTest, AnswerCarriesTheQuestionsNumberAndGoesToItsOwnConnection) {
  Start();
  // Two questions with the same number, as two in the same second get from the service.
  int first = Ask(Question(0x50C12A11, 'a'));
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() == 1; }));
  int second = Ask(Question(0x50C12A11, 'b'));
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() == 2; }));
  EXPECT_EQ(rec.frames[0], Question(0x50C12A11, 'a'));
  ASSERT_NE(rec.tokens[0], rec.tokens[1]);
  EXPECT_EQ(core->HeldCount(), 2u);

  // The second is admitted, the first refused: each verdict on its own connection.
  EXPECT_EQ(core->SendPushReply(rec.tokens[1], 0), 0);
  EXPECT_EQ(traytest::RecvUpTo(second, 12, 2000),
            Bytes({0x00, 0x0C, 0x50, 0x0D, 0x50, 0xC1, 0x2A, 0x11, 0, 0, 0, 0}));
  EXPECT_TRUE(traytest::PeerCloses(second, 2000));
  EXPECT_EQ(core->SendPushReply(rec.tokens[0], 1), 0);
  EXPECT_EQ(traytest::RecvUpTo(first, 12, 2000),
            Bytes({0x00, 0x0C, 0x50, 0x0D, 0x50, 0xC1, 0x2A, 0x11, 0, 0, 0, 1}));
  EXPECT_TRUE(traytest::PeerCloses(first, 2000));
  // Answered once only.
  EXPECT_EQ(core->SendPushReply(rec.tokens[0], 1), -1);
  EXPECT_EQ(core->HeldCount(), 0u);
  ::close(first);
  ::close(second);
}

TEST_F(ListenerTest, OnlyWholeQuestionsOfTheirSizeAreHandedOn) {
  tray::SocketCoreOptions o = ForPort(1);
  o.questionTimeoutMs = 300;
  Start(o);
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"short push", Head(200, 0x500D, 1) + std::string(192, 'x')},
      {"push longer than a question", Head(300, 0x500D, 1) + std::string(292, 'x')},
      {"length below the head", Head(4, 0x500D, 1)},
      {"question cut short", Question(1).substr(0, 100)},
  };
  for (const auto& [name, bytes] : bad) {
    int fd = Ask(bytes);
    EXPECT_TRUE(traytest::PeerCloses(fd, 3000)) << name;
    ::close(fd);
  }
  EXPECT_EQ(rec.Frames(), 0u);
  EXPECT_EQ(core->HeldCount(), 0u);

  // A question in pieces arrives whole.
  int fd = traytest::ConnectLoopback(core->ListenPort());
  const std::string q = Question(9);
  traytest::SendAll(fd, q.substr(0, 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  traytest::SendAll(fd, q.substr(5, 100));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  traytest::SendAll(fd, q.substr(105));
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() == 1; }));
  EXPECT_EQ(rec.frames[0], q);
  ::close(fd);
}

TEST_F(ListenerTest, NotTakenOrWithoutCallbackTheConnectionCloses) {
  Start();
  rec.take = false;
  int fd = Ask(Question(1));
  EXPECT_TRUE(traytest::PeerCloses(fd, 3000));
  EXPECT_EQ(rec.Frames(), 1u);
  ::close(fd);
  core->ClearCallback();
  fd = Ask(Question(2));
  EXPECT_TRUE(traytest::PeerCloses(fd, 3000));
  EXPECT_EQ(rec.Frames(), 1u);
  EXPECT_EQ(core->HeldCount(), 0u);
  ::close(fd);
}

TEST_F(ListenerTest, HeldQuestionsExpireAndConnectionsAreCapped) {
  tray::SocketCoreOptions o = ForPort(1);
  o.heldExpiryMs = 300;
  o.maxConnections = 2;
  Start(o);
  int a = Ask(Question(1));
  int b = Ask(Question(2));
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() == 2; }));
  int c = Ask(Question(3));
  EXPECT_TRUE(traytest::PeerCloses(c, 3000));
  EXPECT_EQ(rec.Frames(), 2u);
  // Expired: closed without an answer; the tokens are no longer held.
  EXPECT_TRUE(traytest::PeerCloses(a, 3000));
  EXPECT_TRUE(traytest::PeerCloses(b, 3000));
  EXPECT_FALSE(core->IsHeld(rec.tokens[0]));
  EXPECT_EQ(core->SendPushReply(rec.tokens[1], 0), -1);
  // Room again.
  int d = Ask(Question(4));
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() == 3; }));
  for (int fd : {a, b, c, d}) ::close(fd);
}

TEST_F(ListenerTest, DestructionClosesHeldConnectionsAndJoinsItsThreads) {
  Start();
  int held = Ask(Question(1));
  ASSERT_TRUE(WaitFor([&] { return rec.Frames() == 1; }));
  int reading = Ask(Question(2).substr(0, 50));  // a connection thread still reading
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  core.reset();
  EXPECT_TRUE(traytest::PeerCloses(held, 2000));
  EXPECT_TRUE(traytest::PeerCloses(reading, 2000));
  ::close(held);
  ::close(reading);
}

TEST_F(ListenerTest, ATakenPortFailsOnlyTheListener) {
  Start();
  tray::SocketCoreOptions o = ForPort(1);
  o.listenPort = core->ListenPort();
  tray::CSocketCore other(o);
  EXPECT_FALSE(other.StartListener());
  EXPECT_EQ(other.ListenPort(), 0);
  FakePeer peer(Answer({Head(8, 0x5001)}));
  other.SetRequestPort(peer.port());
  std::string reply;
  EXPECT_EQ(Send(other, Head(8, 0x5001), &reply), 0);
}

}  // namespace
