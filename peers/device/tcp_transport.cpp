#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "device/transport.h"
#include "platform/net.h"

namespace device {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class TcpTransport : public Transport {
 public:
  TcpTransport(int fd, std::string name) : m_fd(fd), m_name(std::move(name)) {}
  ~TcpTransport() override { Close(); }

  bool SendAll(const void* data, size_t len) override {
    return m_fd >= 0 && platform::SendAll(m_fd, data, len) == 0;
  }

  IoResult RecvAll(void* out, size_t len, int timeoutMs) override {
    auto* p = static_cast<char*>(out);
    int64_t deadline = NowMs() + timeoutMs;
    while (len > 0) {
      if (m_fd < 0) return IoResult::Closed;
      int64_t left = deadline - NowMs();
      if (left <= 0) return IoResult::TimedOut;
      pollfd pfd{m_fd, POLLIN, 0};
      int pr = ::poll(&pfd, 1, static_cast<int>(left));
      if (pr < 0 && errno == EINTR) continue;
      if (pr < 0) return IoResult::Error;
      if (pr == 0) return IoResult::TimedOut;
      ssize_t n = ::recv(m_fd, p, len, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno == ECONNRESET ? IoResult::Closed : IoResult::Error;
      if (n == 0) return IoResult::Closed;
      p += n;
      len -= static_cast<size_t>(n);
    }
    return IoResult::Ok;
  }

  void Close() override {
    platform::CloseSocket(m_fd);
    m_fd = -1;
  }

  std::string Describe() const override { return "tcp " + m_name; }

 private:
  int m_fd;
  std::string m_name;
};

}  // namespace

std::unique_ptr<Transport> ConnectTcp(const std::string& host, uint16_t port, int timeoutMs,
                                      std::string* error) {
  platform::IgnoreSigpipe();
  std::string name = host + ":" + std::to_string(port);
  int fd = platform::ConnectTcp(host, port, timeoutMs);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot connect to " + name + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<TcpTransport>(fd, name);
}

}  // namespace device
