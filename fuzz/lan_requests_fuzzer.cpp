// The device and tray requests as a LAN device or the tray program sends them: the local
// server runs on its own thread with the service's own handler tables (less the two tray
// requests that change the shares) and the transfer table's close hook, with the
// stand-ins of device_stubs.h. Each input is one TCP connection from loopback. Byte 0:
// bit 0 set, the server sees the peer as a LAN device; the rest is the stream the
// connection sends, after which it shuts its sending side down and reads until the server
// closes.
//
// This reaches what only a local connection has: downloads streamed by a connection
// writer, a login waiting for the tray program's verdict, uploads fed by the connection,
// and the close of a connection with transfers still open. Everything the connection
// receives is checked with CheckNoLeak; once it is closed, no transfer, running download
// or waiting login may be left, and the root is checked and restored.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <thread>
#include <vector>

#include "app/device_requests.h"
#include "app/download.h"
#include "app/service_init.h"
#include "app/thumbnail.h"
#include "app/transfer_table.h"
#include "comm/core.h"
#include "comm/local_server.h"
#include "comm/opcodes.h"
#include "device_stubs.h"
#include "fuzz_support.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_peerIsLan{false};

Origin Classify(const sockaddr* peer, socklen_t len) {
  return g_peerIsLan.load() ? Origin::Lan : OS_ClassifyPeer(peer, len);
}

std::vector<fuzz::HandlerEntry> Table() {
  std::vector<fuzz::HandlerEntry> table;
  for (const RegEntry& e : BusinessFunTable()) table.push_back({e.opcode, e.handler});
  for (const RegEntry& e : ShowFunTable()) {
    if (e.opcode == OP_SHOW_SET_SHARE || e.opcode == OP_SHOW_SET_DEF_SHARE) continue;
    table.push_back({e.opcode, e.handler});
  }
  return table;
}

std::thread g_serverThread;

// At the end of the run the server stops as the service's does, before the objects its
// thread uses go away.
void StopServer() {
  if (!g_serverThread.joinable()) return;
  OS_StopLocalServer();
  g_serverThread.join();
}

uint16_t StartServer() {
  static uint16_t port = [] {
    fuzz::InitRequestTarget(Table());
    fuzz::InitDeviceStubs();
    ThumbLimits limits;
    limits.maxPixels = 1u << 20;
    limits.maxThumbBytes = 4u << 20;
    SetThumbLimits(limits);
    TransTableInit();
    OS_SetOriginClassifier(Classify);
    g_LocalPort = 0;
    OS_ResetLocalServerState();
    g_serverThread = std::thread(OS_RunEvent, nullptr);
    std::atexit(StopServer);
    for (auto until = Clock::now() + std::chrono::seconds(10);
         OS_LocalServerState() != LocalServerState::Running;) {
      if (Clock::now() > until) fuzz::Fail("the local server did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return g_LocalPort.load();
  }();
  return port;
}

// Sends stream, shuts the sending side down and reads until the server closes; every
// byte read is checked.
void Exchange(uint16_t port, const uint8_t* data, size_t size) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) fuzz::Fail("socket failed");
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 && errno != EINPROGRESS) {
    fuzz::Fail("connect failed");
  }
  std::vector<uint8_t> tail;  // the end of what came so far, so that a marker split
                              // between two reads is found too
  size_t sent = 0;
  size_t received = 0;
  bool writing = true;
  static uint8_t buf[1 << 16];
  int idleSeconds = 0;
  for (;;) {
    if (writing && sent == size) {
      ::shutdown(fd, SHUT_WR);
      writing = false;
    }
    pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    int ready = ::poll(&p, 1, 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      if (ready == 0 && ++idleSeconds < 20) continue;
      fuzz::Fail("the server neither reads nor closes");
    }
    idleSeconds = 0;
    if (writing && (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) writing = false;
    }
    if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        break;  // reset
      }
      received += static_cast<size_t>(n);
      tail.insert(tail.end(), buf, buf + n);
      fuzz::CheckNoLeak(tail.data(), tail.size());
      if (tail.size() > 64) tail.erase(tail.begin(), tail.end() - 64);
    }
  }
  if (fuzz::Verbose()) std::fprintf(stderr, "sent %zu, received %zu\n", sent, received);
  linger lg{1, 0};  // no TIME_WAIT left behind by the thousands of connections
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint16_t port = StartServer();
  if (size < 1) return 0;
  g_peerIsLan = (data[0] & 1) != 0;
  std::vector<uint8_t> stream(data + 1, data + size);
  Exchange(port, stream.data(), stream.size());

  // The connection is closed: its transfers ended with it.
  for (auto until = Clock::now() + std::chrono::seconds(10); DeviceLoginsPending() != 0;) {
    if (Clock::now() > until) fuzz::Fail("a device login still waits");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (TransSize() != 0) fuzz::Fail("a transfer of a closed connection is left in the table");
  if (GetDownLoadCount() != 0) fuzz::Fail("a download of a closed connection still counts");
  OS_ClearStopFlag();
  fuzz::CheckAndRestoreRoot();
  return 0;
}
