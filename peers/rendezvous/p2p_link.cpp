#include "rendezvous/p2p_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <udt/udt.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "comm/p2p_client.h"
#include "comm/wire.h"
#include "platform/net.h"
#include "rendezvous/rendezvous_wire.h"

namespace rendezvous {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in MakeAddr(uint32_t addr, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addr;
  sin.sin_port = htons(port);
  return sin;
}

// The device's UDP socket: 0 with it and its port, or -1.
int OpenUdp(const std::string& host, int* fd, uint16_t* port, std::string* error) {
  sockaddr_in sin = MakeAddr(0, 0);
  if (::inet_pton(AF_INET, host.c_str(), &sin.sin_addr) != 1) {
    *error = "bad bind address " + host;
    return -1;
  }
  *fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (*fd < 0 || ::bind(*fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    *error = std::string("cannot open a UDP socket: ") + std::strerror(errno);
    if (*fd >= 0) ::close(*fd);
    return -1;
  }
  socklen_t len = sizeof sin;
  ::getsockname(*fd, reinterpret_cast<sockaddr*>(&sin), &len);
  *port = ntohs(sin.sin_port);
  return 0;
}

void SendTo(int fd, const uint8_t* data, size_t len, uint32_t addr, uint16_t port) {
  sockaddr_in to = MakeAddr(addr, port);
  ::sendto(fd, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// One datagram within timeoutMs (0 bytes on a time-out).
ssize_t RecvFrom(int fd, uint8_t* buf, size_t size, int timeoutMs, sockaddr_in* from) {
  pollfd pfd{fd, POLLIN, 0};
  if (::poll(&pfd, 1, timeoutMs) <= 0) return 0;
  socklen_t len = sizeof *from;
  return ::recvfrom(fd, buf, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from), &len);
}

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

P2PLink::~P2PLink() {
  Close();
  if (m_started) UDT::cleanup();
}

std::string P2PLink::Describe() const { return "udt " + AddrText(m_pcAddr, m_pcPort); }

std::unique_ptr<P2PLink> P2PLink::Open(const P2PLinkOptions& options, std::string* error) {
  uint8_t station[6];
  if (!MacTextToBytes(options.stationId, station)) {
    *error = "bad station id " + options.stationId;
    return nullptr;
  }
  uint32_t server = 0;
  if (platform::ResolveIpv4(options.rendezvousHost, &server) != 0) {
    *error = "cannot resolve " + options.rendezvousHost;
    return nullptr;
  }
  int fd = -1;
  uint16_t port = 0;
  if (OpenUdp(options.bindHost, &fd, &port, error) != 0) return nullptr;

  uint8_t req[kConnectReqSize];
  BuildConnectReq(req, station);
  ConnectInfo info;
  bool answered = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.requestTimeoutMs);
  while (!answered && MsLeft(deadline) > 0) {
    SendTo(fd, req, sizeof req, server, options.rendezvousPort);
    const auto next = Clock::now() + std::chrono::milliseconds(options.requestIntervalMs);
    while (!answered && MsLeft(next) > 0) {
      uint8_t buf[kP2PDatagramMax];
      sockaddr_in from{};
      ssize_t n = RecvFrom(fd, buf, sizeof buf, MsLeft(next), &from);
      if (n <= 0 || from.sin_addr.s_addr != server ||
          ntohs(from.sin_port) != options.rendezvousPort) {
        continue;
      }
      answered = ParseConnectInfo(buf, static_cast<size_t>(n), &info);
    }
  }
  if (!answered) {
    ::close(fd);
    *error = "no answer from the rendezvous server " +
             AddrText(server, options.rendezvousPort);
    return nullptr;
  }
  if (info.result != kInfoFound) {
    ::close(fd);
    *error = "station " + options.stationId + " is not online";
    return nullptr;
  }
  return Punch(fd, info.deviceAddr, info.devicePort, info.pcAddr, info.pcPort, options, error);
}

std::unique_ptr<P2PLink> P2PLink::OpenDirect(uint32_t pcAddr, uint16_t pcPort,
                                             const P2PLinkOptions& options, std::string* error) {
  int fd = -1;
  uint16_t port = 0;
  if (OpenUdp(options.bindHost, &fd, &port, error) != 0) return nullptr;
  return Punch(fd, 0, port, pcAddr, pcPort, options, error);
}

std::unique_ptr<P2PLink> P2PLink::Punch(int fd, uint32_t myAddr, uint16_t myPort, uint32_t pcAddr,
                                        uint16_t pcPort, const P2PLinkOptions& options,
                                        std::string* error) {
  const std::string pcText = AddrText(pcAddr, pcPort);
  // A punch from a device: from 0, the device as address 1, the PC as address 2.
  uint8_t punch[kHolePunchMsgSize] = {};
  P2PMsgHead{static_cast<uint16_t>(kHolePunchMsgSize), kP2PHeadConstant, P2P_HOLE_PUNCH}.Encode(punch);
  HolePunchMsg p;
  p.addr1 = myAddr;
  p.port1 = myPort;
  p.addr2 = pcAddr;
  p.port2 = pcPort;
  p.EncodeBody(punch);
  bool answered = false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options.punchTimeoutMs);
  while (!answered && MsLeft(deadline) > 0) {
    SendTo(fd, punch, sizeof punch, pcAddr, pcPort);
    const auto next = Clock::now() + std::chrono::milliseconds(options.punchIntervalMs);
    while (!answered && MsLeft(next) > 0) {
      uint8_t buf[kP2PDatagramMax];
      sockaddr_in from{};
      ssize_t n = RecvFrom(fd, buf, sizeof buf, MsLeft(next), &from);
      // The PC's 20-byte answer; its forwarded punches (32 bytes) and UDT's handshakes,
      // which the PC starts right after answering, are passed over.
      answered = n >= static_cast<ssize_t>(kHolePunchReplySize) &&
                 n < static_cast<ssize_t>(kHolePunchMsgSize) &&
                 P2POpcode(buf, static_cast<size_t>(n)) == P2P_HOLE_PUNCH &&
                 from.sin_addr.s_addr == pcAddr && ntohs(from.sin_port) == pcPort;
    }
  }
  if (!answered) {
    ::close(fd);
    *error = "the PC at " + pcText + " does not answer its punches";
    return nullptr;
  }

  std::unique_ptr<P2PLink> link(new P2PLink);
  link->m_pcAddr = pcAddr;
  link->m_pcPort = pcPort;
  UDT::startup();
  link->m_started = true;
  // UDT closes the descriptor it runs on when the connection is gone, so it gets it
  // for good.
  UDTSOCKET u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  bool on = true;
  bool off = false;
  linger lg{1, 1};
  if (u == UDT::INVALID_SOCK || UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &on, sizeof on) == UDT::ERROR ||
      UDT::setsockopt(u, 0, UDT_LINGER, &lg, sizeof lg) == UDT::ERROR ||
      UDT::bind2(u, fd) == UDT::ERROR) {
    *error = std::string("cannot set up UDT: ") + UDT::getlasterror().getErrorMessage();
    if (u != UDT::INVALID_SOCK) UDT::close(u);
    ::close(fd);
    return nullptr;
  }
  link->m_sock = u;
  sockaddr_in pc = MakeAddr(pcAddr, pcPort);
  if (UDT::setsockopt(u, 0, UDT_RCVSYN, &off, sizeof off) == UDT::ERROR ||
      UDT::connect(u, reinterpret_cast<sockaddr*>(&pc), sizeof pc) == UDT::ERROR) {
    *error = std::string("cannot connect UDT: ") + UDT::getlasterror().getErrorMessage();
    return nullptr;
  }
  const auto connectDeadline = Clock::now() + std::chrono::milliseconds(options.connectTimeoutMs);
  while (UDT::getsockstate(u) != CONNECTED) {
    if (UDT::getsockstate(u) != CONNECTING || MsLeft(connectDeadline) == 0) {
      *error = "no UDT connection with the PC at " + pcText;
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Receiving stays non-blocking: Recv polls, since a receive time-out makes this UDT
  // lose track of messages that have arrived.
  return link;
}

bool P2PLink::Send(const uint8_t* data, size_t len) {
  if (m_sock < 0 || len == 0 || len > kUdtMsgMax) return false;
  return UDT::sendmsg(m_sock, reinterpret_cast<const char*>(data), static_cast<int>(len), -1,
                      true) == static_cast<int>(len);
}

int P2PLink::Recv(std::vector<uint8_t>* out, int timeoutMs) {
  if (m_sock < 0) return -1;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  out->resize(65536);
  for (;;) {
    int n = UDT::recvmsg(m_sock, reinterpret_cast<char*>(out->data()), static_cast<int>(out->size()));
    if (n != UDT::ERROR) {
      out->resize(static_cast<size_t>(n));
      return 1;
    }
    if (UDT::getlasterror().getErrorCode() != UDT::ERRORINFO::EASYNCRCV) break;
    if (Clock::now() >= deadline) {
      out->clear();
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  out->clear();
  return -1;
}

void P2PLink::Close() {
  if (m_sock >= 0) UDT::close(m_sock);
  m_sock = -1;
}

}  // namespace rendezvous
