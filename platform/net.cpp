#include "platform/net.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

void IgnoreSigpipe() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
}

int SendAll(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int RecvAll(int fd, void* data, size_t len) {
  auto* p = static_cast<char*>(data);
  while (len > 0) {
    ssize_t n = ::recv(fd, p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return 1;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int ReadExact(int fd, void* out, size_t len, std::chrono::steady_clock::time_point deadline) {
  auto* p = static_cast<uint8_t*>(out);
  size_t got = 0;
  while (got < len) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 1;
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) return 1;
    ssize_t n = ::recv(fd, p + got, len - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    got += static_cast<size_t>(n);
  }
  return 0;
}

int ResolveIpv4(const std::string& host, uint32_t* addrNetworkOrder) {
  if (addrNetworkOrder == nullptr || host.empty()) return -1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return -1;
  sockaddr_in sin{};
  std::memcpy(&sin, res->ai_addr, sizeof sin);
  freeaddrinfo(res);
  *addrNetworkOrder = sin.sin_addr.s_addr;
  return 0;
}

int ConnectFd(int fd, uint32_t addrNetworkOrder, uint16_t port, int timeoutMs) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addrNetworkOrder;
  sin.sin_port = htons(port);
  const auto* sa = reinterpret_cast<const sockaddr*>(&sin);
  if (timeoutMs <= 0) {
    while (::connect(fd, sa, sizeof sin) != 0) {
      if (errno != EINTR) return -1;
    }
    return 0;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  int rc = ::connect(fd, sa, sizeof sin);
  if (rc != 0 && errno == EINPROGRESS) {
    // Poll until the deadline; a signal only shortens the next wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd pfd{fd, POLLOUT, 0};
    int pr;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      pr = ::poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
      if (pr >= 0 || errno != EINTR) break;
    }
    if (pr <= 0) {
      if (pr == 0) errno = ETIMEDOUT;
      rc = -1;
    } else {
      int err = 0;
      socklen_t errlen = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errlen);
      if (err != 0) {
        errno = err;
        rc = -1;
      } else {
        rc = 0;
      }
    }
  }
  int saved = errno;
  fcntl(fd, F_SETFL, flags);
  errno = saved;
  return rc;
}

int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs) {
  uint32_t addr = 0;
  if (ResolveIpv4(host, &addr) != 0) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (ConnectFd(fd, addr, port, timeoutMs) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void SetSocketTimeouts(int fd, int timeoutMs) {
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void CloseSocket(int fd) {
  if (fd >= 0) ::close(fd);
}

bool IsLoopbackV4(uint32_t addrNetworkOrder) {
  return (ntohl(addrNetworkOrder) >> 24) == 127;
}

}  // namespace platform
