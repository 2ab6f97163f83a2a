// The discovery request. StartBroadcastServer runs on its own thread as in the service,
// on a port of loopback, answering to the requester's own address, with the local
// addresses 127.0.0.1 and 127.0.0.2 (the requests go to 127.0.0.3). Each input is one
// datagram to it; then a valid request follows. A datagram that is a request must get one
// reply per local address, the follower as many; each reply must be the one
// BuildBroadcastReply makes for that address.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/core.h"
#include "comm/discovery.h"
#include "fuzz_support.h"

namespace {

const std::vector<std::string> kLocalIps = {"127.0.0.1", "127.0.0.2"};
constexpr uint16_t kServicePort = 15002;
const std::string kEmail = "pc@example.com";
const std::string kHash = "0123456789abcdefghijklmnopqrstuv";  // fills its field

struct Client {
  int fd = -1;
  sockaddr_in server{};
};

std::thread g_discovery;

// At the end of the run discovery stops as the service's does, before the objects its
// thread uses go away.
void StopDiscovery() {
  if (!g_discovery.joinable()) return;
  OS_SetStopFlag();
  g_discovery.join();
}

Client& TheClient() {
  static Client* c = [] {
    fuzz::LogToNull();
    DiscoveryOptions o;
    o.port = 0;
    o.recvTimeoutMs = 200;
    o.replyToSender = true;
    o.localIps = [](std::vector<std::string>& out) {
      out = kLocalIps;
      return 0;
    };
    o.account = [](std::string& email, std::string& psw) {
      email = kEmail;
      psw = kHash;
    };
    o.hostName = [] { return std::string("fuzz-host-\xE4\xB8\xAD"); };
    o.localPort = [] { return kServicePort; };
    SetDiscoveryOptions(o);
    g_discovery = std::thread(StartBroadcastServer, nullptr);
    std::atexit(StopDiscovery);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (DiscoveryPort() == 0) {
      if (std::chrono::steady_clock::now() > until) fuzz::Fail("discovery did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    auto* cl = new Client;
    cl->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (cl->fd < 0 || ::bind(cl->fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
      fuzz::Fail("cannot make the requester's socket");
    }
    // Requests go to 127.0.0.3: while a reply is being sent, the sockets bound to the local
    // addresses would take a request sent to one of those.
    cl->server.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.3", &cl->server.sin_addr);
    cl->server.sin_port = htons(DiscoveryPort());
    return cl;
  }();
  return *c;
}

std::vector<uint8_t> ExpectedReply(const std::string& ip) {
  std::vector<uint8_t> r(kBroadcastReplySize);
  BuildBroadcastReply(r.data(), GetDiscoveryOptions().sysType, kEmail, kHash, kServicePort,
                      "fuzz-host-\xE4\xB8\xAD");
  in_addr a{};
  ::inet_pton(AF_INET, ip.c_str(), &a);
  std::memcpy(r.data() + 70, &a.s_addr, 4);
  return r;
}

// Receives count replies, each one of the expected ones.
void ExpectReplies(int fd, size_t count) {
  uint8_t buf[1024];
  for (size_t i = 0; i < count; ++i) {
    int idle = 0;
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      int ready = ::poll(&p, 1, 1000);
      if (ready < 0 && errno == EINTR) continue;
      if (ready > 0) break;
      if (++idle == 10) fuzz::Fail("a discovery reply is missing");
    }
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n != static_cast<ssize_t>(kBroadcastReplySize)) fuzz::Fail("a reply of the wrong size");
    bool known = false;
    for (const std::string& ip : kLocalIps) {
      std::vector<uint8_t> want = ExpectedReply(ip);
      known = known || std::memcmp(buf, want.data(), want.size()) == 0;
    }
    if (!known) fuzz::Fail("a reply that is none of the expected ones");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Client& c = TheClient();
  std::vector<uint8_t> datagram(data, data + size);
  size_t replies = 0;
  if (size > 0) {
    if (::sendto(c.fd, datagram.data(), datagram.size(), 0,
                 reinterpret_cast<const sockaddr*>(&c.server), sizeof c.server) < 0) {
      return 0;  // too long for a datagram
    }
    // What the server reads of it: at most kBroadcastRecvMax bytes.
    size_t seen = std::min(datagram.size(), kBroadcastRecvMax);
    if (IsBroadcastRequest(datagram.data(), seen)) replies += kLocalIps.size();
  }
  const uint8_t probe[] = {'q', 'z', 0, 6, 0, 4};
  ::sendto(c.fd, probe, sizeof probe, 0, reinterpret_cast<const sockaddr*>(&c.server),
           sizeof c.server);
  ExpectReplies(c.fd, replies + kLocalIps.size());
  return 0;
}
