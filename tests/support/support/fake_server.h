// The listening side of the tests' stand-in servers.
#pragma once

#include <cstdint>

namespace support {

// A listening TCP socket (SO_REUSEADDR, close-on-exec) on 127.0.0.1, or on all
// interfaces for a test that must take a port the service would bind, at port or at one
// the system picks (port 0). Stores the port in *bound; -1 when it cannot listen.
int ListenTcp(uint16_t port, int backlog, uint16_t* bound, bool allInterfaces = false);

// Accepts one connection within timeoutMs (close-on-exec); -1 when none came.
int AcceptWithin(int listenFd, int timeoutMs);

// A listening socket on all interfaces at a port the system picks: that port is taken.
class PortHolder {
 public:
  PortHolder();
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  uint16_t port() const { return m_port; }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

}  // namespace support
