#include "support/fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace support {

int ListenTcp(uint16_t port, int backlog, uint16_t* bound, bool allInterfaces) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(allInterfaces ? INADDR_ANY : INADDR_LOOPBACK);
  sin.sin_port = htons(port);
  socklen_t len = sizeof sin;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    ::close(fd);
    return -1;
  }
  if (bound != nullptr) *bound = ntohs(sin.sin_port);
  return fd;
}

int AcceptWithin(int listenFd, int timeoutMs) {
  pollfd p{listenFd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return -1;
  return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

PortHolder::PortHolder() { m_fd = ListenTcp(0, 4, &m_port, true); }

PortHolder::~PortHolder() {
  if (m_fd >= 0) ::close(m_fd);
}

}  // namespace support
