// The relay client's frame reader. Each input is what the central server sends on one
// relay connection: the target plays the server on a loopback listener, runs
// OS_RunEventClient against it, sends the input and reads what the client answers until
// the client closes.
//
// The handlers are stand-ins that check what the reader hands them (the relay prefix with
// the sender's id, the device's head, the body length, the direct flag) and answer
// predictably: an echo, an answer too long for the relay, and messages the handler sends
// itself on the relay connection (as the thumbnail handler does). A model of the reader
// computes the client's answer, byte for byte; anything else is a finding.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/core.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/opcodes.h"
#include "comm/relay_client.h"
#include "fuzz_support.h"

namespace {

constexpr const char* kOwnId = "02-42-AC-11-00-09";
constexpr uint16_t kEcho = 0x0201;
constexpr uint16_t kTooLong = 0x0202;  // an answer of kRelayMaxMessage + 1 bytes, never sent
constexpr uint16_t kSelfSend = OP_REQ_DOWNLOAD_THUMB_NIAL;  // sends two messages itself

void Check(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
           const int32_t* udtSock, const uint8_t* direct) {
  if (*direct != 0 || *udtSock != -1) fuzz::Fail("relayed message not marked as relayed");
  if (conn == nullptr) fuzz::Fail("relayed message without its connection");
  if (body == nullptr || bodyLen < kRelayPrefixSize) fuzz::Fail("relayed body without its prefix");
  if (bodyLen != kRelayIdSize + head->length) fuzz::Fail("relayed body length is not 64 + head");
  if (body[kRelayIdSize - 1] != 0) fuzz::Fail("sender id not terminated");
  MsgHead inner = MsgHead::Decode(body + kRelayIdSize);
  if (inner.length != head->length || inner.opcode != head->opcode || inner.seq != head->seq) {
    fuzz::Fail("the prefix's head differs from the head dispatched");
  }
  fuzz::TouchAll(body, bodyLen);
}

// The device's message of a relayed body (its head and payload).
void EchoMessage(const uint8_t* body, const MsgHead* head, std::vector<uint8_t>* out) {
  out->assign(body + kRelayIdSize, body + kRelayIdSize + head->length);
  wire::PutU16(out->data() + 2, static_cast<uint16_t>(head->opcode | 0x8000));
}

int Echo(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
         uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  Check(body, bodyLen, head, conn, udtSock, direct);
  std::vector<uint8_t> msg;
  EchoMessage(body, head, &msg);
  uint8_t* r = AllocReply(msg.size());
  if (r == nullptr) return ERR_ALLOC;
  std::memcpy(r, msg.data(), msg.size());
  *reply = r;
  *replyLen = static_cast<int32_t>(msg.size());
  return ERR_OK;
}

int TooLong(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  Check(body, bodyLen, head, conn, udtSock, direct);
  uint8_t* r = AllocReply(kRelayMaxMessage + 1);
  if (r == nullptr) return ERR_ALLOC;
  *reply = r;
  *replyLen = static_cast<int32_t>(kRelayMaxMessage + 1);
  return ERR_OK;
}

// Sends the echo and an 8-byte head itself, and leaves a reply that must stay unsent.
int SelfSend(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
             uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct) {
  Check(body, bodyLen, head, conn, udtSock, direct);
  std::vector<uint8_t> msg;
  EchoMessage(body, head, &msg);
  if (OS_SendRelayMessage(conn, body, msg.data(), msg.size()) != 0) fuzz::Fail("relay send failed");
  uint8_t end[MsgHead::kSize];
  MsgHead{MsgHead::kSize, OP_THUMB_STATUS, head->seq}.Encode(end);
  if (OS_SendRelayMessage(conn, body, end, sizeof end) != 0) fuzz::Fail("relay send failed");
  uint8_t* r = AllocReply(MsgHead::kSize);
  if (r == nullptr) return ERR_ALLOC;
  *reply = r;
  *replyLen = static_cast<int32_t>(MsgHead::kSize);
  return ERR_OK;
}

void AppendRelayReply(const uint8_t* target, const std::vector<uint8_t>& msg,
                      std::vector<uint8_t>* out) {
  std::vector<uint8_t> frame;
  if (!BuildRelayReply(kOwnId, target, msg.data(), msg.size(), &frame)) fuzz::Fail("model");
  out->insert(out->end(), frame.begin(), frame.end());
}

// What the client must send for input: the keep-alive, then the answers of the relayed
// messages. closed: the client ends before the end of the input (an unreadable head).
struct Expected {
  std::vector<uint8_t> bytes;
  bool closed = false;
};

bool AnswerCommand(uint16_t c) {
  return c == SV_INTER_LINE_REQ || c == SV_INTER_LINE_DATA || c == SV_INTER_LINE_DOWN_LOAD;
}

Expected Model(const uint8_t* data, size_t size) {
  Expected e;
  e.bytes.resize(ServerMsgHead::kSize);
  ServerMsgHead{ServerMsgHead::kSize, 6, SV_INTER_LINE_REQ, kOwnId}.Encode(e.bytes.data());
  size_t pos = 0;
  while (size - pos >= 6) {
    const uint8_t* p = data + pos;
    size_t avail = size - pos;
    uint16_t length = wire::GetU16(p);
    uint16_t command = wire::GetU16(p + 4);
    if (length < ServerMsgHead::kSize) {
      if (!AnswerCommand(command)) {
        e.closed = true;
        return e;
      }
      if (avail < ServerReplyHead::kSize) return e;
      pos += ServerReplyHead::kSize;
      continue;
    }
    if (avail < length) return e;
    pos += length;
    if (command != SV_INTER_LINE_DATA) continue;
    size_t bodyLen = length - ServerMsgHead::kSize;
    if (bodyLen < kRelayPrefixSize) continue;
    uint8_t target[kRelayIdSize];
    std::memcpy(target, p + 6, kRelayIdSize);
    target[kRelayIdSize - 1] = 0;
    const uint8_t* body = p + ServerMsgHead::kSize;
    MsgHead inner = MsgHead::Decode(body + kRelayIdSize);
    if (inner.length < MsgHead::kSize || inner.length > bodyLen - kRelayIdSize) continue;
    std::vector<uint8_t> msg(body + kRelayIdSize, body + kRelayIdSize + inner.length);
    wire::PutU16(msg.data() + 2, static_cast<uint16_t>(inner.opcode | 0x8000));
    if (inner.opcode == kEcho) {
      AppendRelayReply(target, msg, &e.bytes);
    } else if (inner.opcode == kSelfSend) {
      AppendRelayReply(target, msg, &e.bytes);
      std::vector<uint8_t> end(MsgHead::kSize);
      MsgHead{MsgHead::kSize, OP_THUMB_STATUS, inner.seq}.Encode(end.data());
      AppendRelayReply(target, end, &e.bytes);
    }
  }
  return e;
}

struct Listener {
  int fd = -1;
  uint16_t port = 0;
};

Listener& TheListener() {
  static Listener* l = [] {
    fuzz::LogToNull();
    std::snprintf(g_MacBuf, sizeof g_MacBuf, "%s", kOwnId);
    OS_RegFunction(Echo, kEcho);
    OS_RegFunction(TooLong, kTooLong);
    OS_RegFunction(SelfSend, kSelfSend);
    auto* s = new Listener;
    s->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (s->fd < 0 || ::bind(s->fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
        ::listen(s->fd, 8) != 0 ||
        ::getsockname(s->fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
      fuzz::Fail("cannot listen");
    }
    s->port = ntohs(sin.sin_port);
    return s;
  }();
  return *l;
}

// Polls one descriptor, retrying when libFuzzer's timer interrupts; false after seconds.
bool Wait(int fd, short events, short* revents, int seconds) {
  for (int idle = 0; idle < seconds;) {
    pollfd p{fd, events, 0};
    int ready = ::poll(&p, 1, 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0) {
      *revents = p.revents;
      return true;
    }
    ++idle;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Listener& l = TheListener();
  std::vector<uint8_t> input(data, data + size);
  Expected want = Model(input.data(), input.size());

  RelayClientConfig config;
  config.keepAliveMs = 3600000;
  config.connectTimeoutMs = 10000;
  config.stopCheckMs = 1000;
  std::thread client([&] { OS_RunEventClient("127.0.0.1", l.port, config); });

  short ev = 0;
  if (!Wait(l.fd, POLLIN, &ev, 10)) fuzz::Fail("the relay client did not connect");
  int fd = -1;
  while (fd < 0) {
    fd = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0 && errno != EINTR) fuzz::Fail("accept failed");
  }

  // Sends the input while reading; once the expected answer is in, shuts the sending side
  // down and reads on until the client closes, so that anything beyond it is seen too.
  std::vector<uint8_t> got;
  size_t sent = 0;
  bool writing = true;
  static uint8_t buf[1 << 16];
  size_t expect = want.closed ? 0 : want.bytes.size();
  for (;;) {
    if (writing && sent == input.size() && got.size() >= expect) {
      ::shutdown(fd, SHUT_WR);
      writing = false;
    }
    short events = static_cast<short>(POLLIN | (writing && sent < input.size() ? POLLOUT : 0));
    if (!Wait(fd, events, &ev, 10)) {
      std::fprintf(stderr, "sent %zu of %zu, received %zu of %zu\n", sent, input.size(),
                   got.size(), expect);
      fuzz::Fail("the relay client neither reads nor answers");
    }
    if (writing && sent < input.size() && (ev & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t n = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) writing = false;
    }
    if ((ev & (POLLIN | POLLERR | POLLHUP)) != 0) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        break;
      }
      got.insert(got.end(), buf, buf + n);
    }
  }
  linger lg{1, 0};  // no TIME_WAIT left behind by the thousands of connections
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd);
  client.join();

  bool ok = want.closed ? got.size() <= want.bytes.size() &&
                              std::equal(got.begin(), got.end(), want.bytes.begin())
                        : got == want.bytes;
  if (!ok) {
    std::fprintf(stderr, "answer of %zu bytes, expected %zu%s\n", got.size(), want.bytes.size(),
                 want.closed ? " at most" : "");
    fuzz::Fail("the relay client's answer differs from the model");
  }
  return 0;
}
