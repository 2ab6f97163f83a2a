#include "platform/net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

// A listening socket on an OS-chosen loopback port.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    ::listen(fd, 4);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
  }
  ~Listener() { ::close(fd); }
};

TEST(Net, SendToClosedPeerFailsInsteadOfKillingTheProcess) {
  platform::IgnoreSigpipe();
  Listener l;
  int c = platform::ConnectTcp("127.0.0.1", l.port, 1000);
  ASSERT_GE(c, 0);
  int s = ::accept(l.fd, nullptr, nullptr);
  ASSERT_GE(s, 0);
  ::close(s);
  char buf[65536] = {};
  int rc = 0;
  for (int i = 0; i < 100 && rc == 0; ++i) rc = platform::SendAll(c, buf, sizeof buf);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET);
  platform::CloseSocket(c);
}

TEST(Net, RecvAllAssemblesAndReportsEnd) {
  Listener l;
  int c = platform::ConnectTcp("localhost", l.port, 1000);
  ASSERT_GE(c, 0);
  int s = ::accept(l.fd, nullptr, nullptr);
  std::thread writer([s] {
    platform::SendAll(s, "abc", 3);
    platform::SendAll(s, "defg", 4);
    ::close(s);
  });
  char got[7];
  EXPECT_EQ(platform::RecvAll(c, got, 7), 0);
  EXPECT_EQ(std::string(got, 7), "abcdefg");
  EXPECT_EQ(platform::RecvAll(c, got, 1), 1);
  writer.join();
  platform::CloseSocket(c);
}

TEST(Net, ConnectToClosedPortFails) {
  uint16_t port;
  {
    Listener l;
    port = l.port;
  }
  EXPECT_EQ(platform::ConnectTcp("127.0.0.1", port, 500), -1);
}

TEST(Net, LoopbackRange) {
  EXPECT_TRUE(platform::IsLoopbackV4(htonl(0x7F000001)));
  EXPECT_TRUE(platform::IsLoopbackV4(htonl(0x7F000101)));
  EXPECT_FALSE(platform::IsLoopbackV4(htonl(0xC0A80001)));
  EXPECT_FALSE(platform::IsLoopbackV4(0));
}

}  // namespace
