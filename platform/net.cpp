#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
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

static int ConnectWithTimeout(int fd, const sockaddr* sa, socklen_t salen, int timeoutMs) {
  if (timeoutMs <= 0) {
    while (::connect(fd, sa, salen) != 0) {
      if (errno != EINTR) return -1;
    }
    return 0;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(fd, sa, salen);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd pfd{fd, POLLOUT, 0};
    int pr;
    do {
      pr = ::poll(&pfd, 1, timeoutMs);
    } while (pr < 0 && errno == EINTR);
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
  fcntl(fd, F_SETFL, flags);
  return rc;
}

int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return -1;
  sockaddr_in sin{};
  std::memcpy(&sin, res->ai_addr, sizeof sin);
  freeaddrinfo(res);
  sin.sin_port = htons(port);

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (ConnectWithTimeout(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin, timeoutMs) != 0) {
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
