// A scripted loopback peer for the transport's framing tests: it listens on 127.0.0.1 and
// a port the system picks, and runs the script on every connection it accepts, one after
// another, on a thread of its own. Also a few socket helpers for the tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace traytest {

inline std::string Bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

inline std::string Head(uint16_t len, uint16_t opcode, uint32_t number = 0) {
  return Bytes({len >> 8, len & 0xFF, opcode >> 8, opcode & 0xFF, static_cast<int>(number >> 24),
                static_cast<int>((number >> 16) & 0xFF), static_cast<int>((number >> 8) & 0xFF),
                static_cast<int>(number & 0xFF)});
}

inline void SendAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

// Up to len bytes within ms; fewer when the peer closes first.
inline std::string RecvUpTo(int fd, size_t len, int ms) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (out.size() < len) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) break;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, std::min(sizeof buf, len - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// True when the peer closes within ms (sending nothing more).
inline bool PeerCloses(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, ms) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

inline int ConnectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A port nothing listens on (bound, then closed again).
inline uint16_t UnusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

class FakePeer {
 public:
  // script(fd, request bytes read so far is up to the script) runs per connection.
  using Script = std::function<void(int fd)>;

  explicit FakePeer(Script script) : m_script(std::move(script)) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(m_fd, 16);
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~FakePeer() {
    m_stop = true;
    ::shutdown(m_fd, SHUT_RDWR);
    m_thread.join();
    ::close(m_fd);
  }
  uint16_t port() const { return m_port; }
  int accepted() const { return m_accepted.load(); }

 private:
  void Run() {
    while (!m_stop) {
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int c = ::accept(m_fd, nullptr, nullptr);
      if (c < 0) continue;
      ++m_accepted;
      m_script(c);
      ::close(c);
    }
  }

  Script m_script;
  int m_fd = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_accepted{0};
  std::thread m_thread;
};

// A peer that reads the 8-byte request head and then drips reply, one byte every
// intervalMs, until it is all out or the client has gone; *dripped counts the bytes sent.
inline FakePeer::Script DripReply(std::string reply, int intervalMs,
                                  std::atomic<int>* dripped = nullptr) {
  return [reply, intervalMs, dripped](int fd) {
    RecvUpTo(fd, 8, 2000);
    for (char c : reply) {
      // The wait doubles as the check that the client is still there.
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, intervalMs) > 0) {
        char b;
        if (::recv(fd, &b, 1, MSG_DONTWAIT) <= 0) return;
      }
      if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
      if (dripped != nullptr) ++*dripped;
    }
  };
}

// Waits for done within ms, polling.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace traytest
