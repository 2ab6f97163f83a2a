#include "device/discovery.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "comm/discovery.h"
#include "comm/wire.h"

namespace device {

namespace {

using Clock = std::chrono::steady_clock;

std::string Text(const uint8_t* field, size_t n) { return wire::GetText(field, n); }

}  // namespace

bool ParseDiscoveryReply(const uint8_t* data, size_t len, DiscoveredPc* out) {
  if (len != kBroadcastReplySize || data[0] != 'q' || data[1] != 'z' ||
      wire::GetU16(data + 2) != 6) {
    return false;
  }
  char ip[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, data + 70, ip, sizeof ip);
  out->address = ip;
  out->sysType = wire::GetU16(data + 4);
  out->email = Text(data + 6, 32);
  out->port = wire::GetU16(data + 74);
  out->hostName = Text(data + 78, 128);
  return true;
}

bool Discover(const DiscoverOptions& options, std::vector<DiscoveredPc>* out, std::string* error) {
  out->clear();
  const bool broadcast = options.address.empty();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(options.port);
  if (broadcast) {
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  } else if (::inet_pton(AF_INET, options.address.c_str(), &to.sin_addr) != 1) {
    *error = "bad address " + options.address;
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot open a UDP socket: ") + std::strerror(errno);
    return false;
  }
  int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(broadcast ? options.port : 0);
  if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    *error = std::string("cannot set up the discovery socket: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  uint8_t request[kBroadcastRequestMin] = {'q', 'z', 0, 0, 0, 0};
  wire::PutU16(request + 4, options.type);
  if (::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
      static_cast<ssize_t>(sizeof request)) {
    *error = std::string("cannot send the discovery request: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    uint8_t buf[1024];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                           &fromLen);
    DiscoveredPc pc;
    // Our own broadcast request comes back too; only replies count.
    if (n <= 0 || !ParseDiscoveryReply(buf, static_cast<size_t>(n), &pc)) continue;
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    pc.sender = std::string(ip) + ":" + std::to_string(ntohs(from.sin_port));
    bool seen = std::any_of(out->begin(), out->end(), [&](const DiscoveredPc& p) {
      return p.address == pc.address && p.port == pc.port;
    });
    if (!seen) out->push_back(pc);
    if (options.firstOnly) break;
  }
  ::close(fd);
  return true;
}

}  // namespace device
