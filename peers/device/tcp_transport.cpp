#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

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

  // Bytes come out of a large buffer that one recv fills; the socket is polled only when
  // that buffer is empty and the socket has nothing ready, so a download of small
  // packages costs one recv per buffer instead of a poll and a recv per head and body.
  IoResult RecvAll(void* out, size_t len, int timeoutMs) override {
    auto* p = static_cast<uint8_t*>(out);
    size_t have = m_end - m_begin;
    if (have >= len) {
      std::memcpy(p, m_buf.get() + m_begin, len);
      m_begin += len;
      return IoResult::Ok;
    }
    if (have > 0) std::memcpy(p, m_buf.get() + m_begin, have);
    p += have;
    len -= have;
    m_begin = m_end = 0;
    int64_t deadline = -1;
    while (len > 0) {
      if (m_fd < 0) return IoResult::Closed;
      // A remainder as large as the buffer goes straight to the caller.
      const bool direct = len >= kBufSize;
      uint8_t* dst = direct ? p : m_buf.get();
      ssize_t n = ::recv(m_fd, dst, direct ? len : kBufSize, MSG_DONTWAIT);
      if (n > 0) {
        size_t got = static_cast<size_t>(n);
        size_t take = std::min(got, len);
        if (!direct) {
          std::memcpy(p, dst, take);
          m_begin = take;
          m_end = got;
        }
        p += take;
        len -= take;
        continue;
      }
      if (n == 0) return IoResult::Closed;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return errno == ECONNRESET ? IoResult::Closed : IoResult::Error;
      }
      if (deadline < 0) deadline = NowMs() + timeoutMs;
      int64_t left = deadline - NowMs();
      if (left <= 0) return IoResult::TimedOut;
      pollfd pfd{m_fd, POLLIN, 0};
      int pr = ::poll(&pfd, 1, static_cast<int>(left));
      if (pr < 0 && errno == EINTR) continue;
      if (pr < 0) return IoResult::Error;
      if (pr == 0) return IoResult::TimedOut;
    }
    return IoResult::Ok;
  }

  void Close() override {
    platform::CloseSocket(m_fd);
    m_fd = -1;
  }

  std::string Describe() const override { return "tcp " + m_name; }

 private:
  static constexpr size_t kBufSize = 256 * 1024;
  int m_fd;
  std::string m_name;
  std::unique_ptr<uint8_t[]> m_buf = std::make_unique_for_overwrite<uint8_t[]>(kBufSize);
  size_t m_begin = 0;  // the bytes received and not yet taken: m_buf[m_begin, m_end)
  size_t m_end = 0;
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
