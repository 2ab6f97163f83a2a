// The relayed-upload poller's reading of the central server's answers. Each input opens a
// relayed upload with a relayed announcement (number: byte 0; size: bytes 1 and 2,
// big-endian; into the share), then plays the central server on a loopback listener: the
// rest of the input is what it answers to the polls of InterLineUpLoadFile, after which it
// ends the connection. Answers are ServerReplyHead {8 + m, 6, command, result} + m bytes,
// m bytes being one device message (upload data or end) when the result is 0. Further
// connections of the poller are refused at once. Nothing may be written outside the
// shares: the root is checked after every input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "app/relay_transfer.h"
#include "app/transfer_table.h"
#include "app/upload.h"
#include "comm/core.h"
#include "comm/host_identity.h"
#include "comm/opcodes.h"
#include "fuzz_support.h"

namespace {

const std::vector<fuzz::HandlerEntry> kTable = {
    {OP_REQ_UP_LOAD_FILE, ReqUpLoadFile},
    {OP_UP_LOAD_FILE, UpLoadFile},
    {OP_OVER_UP_LOAD_FILE, OverUpLoadFile},
};

struct Listener {
  int fd = -1;
  uint16_t port = 0;
};

Listener& TheListener() {
  static Listener* l = [] {
    fuzz::InitRequestTarget(kTable);
    std::snprintf(g_MacBuf, sizeof g_MacBuf, "%s", "02-42-AC-11-00-09");
    auto* s = new Listener;
    s->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (s->fd < 0 || ::bind(s->fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        ::listen(s->fd, 16) != 0 ||
        ::getsockname(s->fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
      fuzz::Fail("cannot listen");
    }
    s->port = ntohs(sin.sin_port);
    return s;
  }();
  return *l;
}

void Reset(int fd) {
  linger lg{1, 0};  // no TIME_WAIT left behind by the thousands of connections
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd);
}

// Refuses every connection waiting on the listener.
void RefuseWaiting(int listenFd) {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    Reset(fd);
  }
}

// The relayed announcement: relay prefix, then the 380-byte record (size, digest, path).
bool Announce(uint8_t seq, uint16_t size) {
  std::vector<uint8_t> body(kRelayPrefixSize + kUpLoadRequestSize, 0);
  std::memcpy(body.data(), "d1:phone", 8);
  MsgHead{static_cast<uint16_t>(MsgHead::kSize + kUpLoadRequestSize), OP_REQ_UP_LOAD_FILE, seq}
      .Encode(body.data() + kRelayIdSize);
  uint8_t* rec = body.data() + kRelayPrefixSize;
  wire::PutU32(rec, size);
  std::memset(rec + 8, 0x5A, 16);
  std::strcpy(reinterpret_cast<char*>(rec + 25), "$DEFAULT$/../Shared/polled.bin");
  MsgHead head{static_cast<uint16_t>(MsgHead::kSize + kUpLoadRequestSize), OP_REQ_UP_LOAD_FILE,
               seq};
  uint8_t* reply = nullptr;
  int32_t replyLen = 0;
  Dispatch(&head, body.data(), static_cast<uint32_t>(body.size()), nullptr, &reply, &replyLen, -1,
           0, Origin::Relay);
  FreeReply(reply);
  return TransCount(TransKind::Upload) > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Listener& l = TheListener();
  if (size < 3) return 0;
  if (!Announce(data[0], static_cast<uint16_t>((data[1] << 8) | data[2]))) {
    fuzz::CheckAndRestoreRoot();
    return 0;
  }
  std::vector<uint8_t> answers(data + 3, data + size);

  RelayTransferConfig config;
  config.host = "127.0.0.1";
  config.port = l.port;
  config.connectTimeoutMs = 1000;
  config.ioTimeoutMs = 1000;
  config.pollCycleMs = 1;
  config.backoffStartMs = 1;
  config.backoffLimitMs = 4;
  std::atomic<bool> ended{false};
  std::thread poller([&] {
    InterLineUpLoadFile(&config);
    ended = true;
  });

  // The first connection gets the answers; it ends when they are all read.
  int conn = -1;
  size_t sent = 0;
  bool writing = true;
  uint8_t buf[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ended.load()) {
    if (std::chrono::steady_clock::now() > deadline) fuzz::Fail("the poller does not end");
    pollfd p[2] = {{l.fd, POLLIN, 0}, {conn, POLLIN, 0}};
    if (conn >= 0 && writing && sent < answers.size()) p[1].events |= POLLOUT;
    int ready = ::poll(p, conn >= 0 ? 2 : 1, 10);
    if (ready < 0 && errno == EINTR) continue;
    if ((p[0].revents & POLLIN) != 0) {
      if (conn < 0 && g_StopFlag.load() == 0) {
        conn = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      } else {
        RefuseWaiting(l.fd);
      }
    }
    if (conn < 0) continue;
    if ((p[1].revents & POLLOUT) != 0) {
      ssize_t n = ::send(conn, answers.data() + sent, answers.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) writing = false;
    }
    if (writing && sent == answers.size()) {
      ::shutdown(conn, SHUT_WR);
      writing = false;
    }
    if ((p[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      ssize_t n = ::recv(conn, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        // The poller has read all it will: it stops.
        OS_SetStopFlag();
        Reset(conn);
        conn = -2;
      }
    }
  }
  poller.join();
  if (conn >= 0) Reset(conn);
  RefuseWaiting(l.fd);
  OS_ClearStopFlag();
  TransTableClear();
  fuzz::CheckAndRestoreRoot();
  return 0;
}
