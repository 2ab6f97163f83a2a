// The central server's connection framing and records. Each input runs a fresh
// CentralServer (one known account, pc@example.com with the hash of "secret") on loopback
// and feeds it up to three connections, so that a PC's logon and relay connection and a
// device can meet. The input is a sequence of records:
//   connection (mod 3) [1], length [2, big-endian], bytes
// Before the bytes of another connection go out, the target waits briefly for the answer
// of the previous one, so that a logon is in before the relay connection registers. At
// the end every connection closes; the server must then still answer a heartbeat on a new
// connection, and must have closed every connection within its idle time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "central/account_store.h"
#include "central/central_server.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"

namespace {

constexpr int kConnections = 3;
constexpr int kIdleTimeoutMs = 3000;

std::string& AccountDb() {
  static std::string* path = [] {
    std::string dir = fuzz::MakeTempDir("central");
    auto* p = new std::string(dir + "/central.db");
    central::AccountStore store;
    std::string error;
    if (!store.Open(*p, &error) ||
        !store.Add("pc@example.com", central::HashPassword("secret"), &error)) {
      fuzz::Fail("cannot make the account store");
    }
    store.Close();
    return p;
  }();
  return *path;
}

// libFuzzer's timer interrupts blocking calls now and then: every call here retries.
int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin.sin_port = htons(port);
  if (fd < 0) fuzz::Fail("socket failed");
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      std::fprintf(stderr, "connect: %s\n", std::strerror(errno));
      fuzz::Fail("cannot connect to the central server");
    }
    for (;;) {
      pollfd p{fd, POLLOUT, 0};
      int ready = ::poll(&p, 1, 10000);
      if (ready < 0 && errno == EINTR) continue;
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (ready <= 0 || err != 0) {
        std::fprintf(stderr, "connect: %s\n", std::strerror(ready <= 0 ? ETIMEDOUT : err));
        fuzz::Fail("cannot connect to the central server");
      }
      break;
    }
  }
  int flags = 1;
  ::setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &flags, sizeof flags);
  return fd;
}

// Sends all of data; false once the server has closed the connection.
bool SendAll(int fd, const uint8_t* data, size_t len) {
  size_t sent = 0;
  while (sent < len) {
    ssize_t n = ::send(fd, data + sent, len - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 10000) == 0) fuzz::Fail("the central server reads nothing");
      continue;
    }
    return false;
  }
  return true;
}

// Reads what is there on fd; waits up to waitMs for the first byte. False once the
// server has closed the connection.
bool Drain(int fd, int waitMs) {
  uint8_t buf[65536];
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return true;
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
    until = std::chrono::steady_clock::now();  // take the rest without waiting
  }
}

void Close(int fd) {
  linger lg{1, 0};  // no TIME_WAIT left behind by the thousands of connections
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd);
}

// Sends a heartbeat for an unknown station on a new connection and waits for its answer.
bool StillAnswers(uint16_t port) {
  int fd = Connect(port);
  uint8_t frame[ServerMsgHead::kSize];
  ServerMsgHead{ServerMsgHead::kSize, 6, SV_HEART_BEAT, "fuzz-check"}.Encode(frame);
  bool ok = SendAll(fd, frame, sizeof frame);
  uint8_t answer[ServerReplyHead::kSize];
  size_t got = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ok && got < sizeof answer && std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::recv(fd, answer + got, sizeof answer - got, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  Close(fd);
  return got == sizeof answer && ServerReplyHead::Decode(answer).command == SV_HEART_BEAT;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::LogToNull();
  central::CentralOptions o;
  o.accountDb = AccountDb();
  o.idleTimeoutMs = kIdleTimeoutMs;
  o.stateWriteDelayMs = 0;
  // TIRVAN_FUZZ_VERBOSE=1 shows the server's log, for writing seeds.
  static const bool verbose = std::getenv("TIRVAN_FUZZ_VERBOSE") != nullptr;
  o.log = [](const std::string& line) {
    fuzz::TouchAll(reinterpret_cast<const uint8_t*>(line.data()), line.size());
    if (verbose) std::fprintf(stderr, "%s\n", line.c_str());
  };
  auto server = std::make_unique<central::CentralServer>(std::move(o));
  std::string error;
  if (!server->Start(&error)) fuzz::Fail("the central server did not start");
  std::thread loop([&] { server->Run(); });
  uint16_t port = server->Port();

  int fds[kConnections] = {-1, -1, -1};
  bool open[kConnections] = {false, false, false};
  int last = -1;
  fuzz::Reader in(data, size);
  while (!in.Empty()) {
    int c = in.U8() % kConnections;
    std::vector<uint8_t> bytes = in.Bytes(in.U16());
    if (last >= 0 && last != c && open[last]) open[last] = Drain(fds[last], 5);
    if (fds[c] < 0) {
      fds[c] = Connect(port);
      open[c] = true;
    }
    last = c;
    if (!open[c] || bytes.empty()) continue;
    if (!SendAll(fds[c], bytes.data(), bytes.size())) open[c] = false;
  }
  for (int c = 0; c < kConnections; ++c) {
    if (fds[c] >= 0 && open[c]) Drain(fds[c], 2);
  }
  for (int fd : fds) {
    if (fd >= 0) Close(fd);
  }

  if (!StillAnswers(port)) fuzz::Fail("the central server no longer answers");
  // Every connection closes within the idle time, paused ones included.
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIdleTimeoutMs + 5000);
  while (server->ConnectionCount() != 0) {
    if (std::chrono::steady_clock::now() > until) fuzz::Fail("connections left open");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server->Stop();
  loop.join();
  return 0;
}
