#include "comm/p2p_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <udt/udt.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/dispatch.h"
#include "comm/host_identity.h"
#include "comm/log.h"
#include "comm/server_exchange.h"
#include "comm/thread_pool.h"
#include "comm/utils.h"
#include "comm/wire.h"
#include "platform/net.h"

std::mutex g_MutexP2PList;
std::list<P2PPeer> g_P2PList;

namespace {

std::mutex& OptionsLock() {
  static std::mutex m;
  return m;
}

P2PClientOptions& StoredOptions() {
  static P2PClientOptions o;
  return o;
}

// The options of the running client, copied once when it starts.
P2PClientOptions& Opt() {
  static P2PClientOptions o;
  return o;
}

std::atomic<UdtPeerLostHook> s_peerLost{nullptr};
std::atomic<bool> s_active{false};     // a client runs (only one at a time)
std::atomic<uint16_t> s_port{0};       // the UDP socket's bound port
int s_udtFd = -1;                      // the descriptor UDT runs on; UDT closes it
// The rendezvous server's resolved address: bit 48 set when known, then the address in
// network order and the port in host order.
std::atomic<uint64_t> s_server{0};

// Senders other than the receive loop hold it while they use g_P2PUdpSock; the stop
// takes it to mark the socket closed, so no send ever goes to a reused descriptor.
std::mutex s_sockUse;

// The client's work items still running (scheduler, heartbeat, receivers).
std::mutex s_itemsMutex;
std::condition_variable s_itemsCond;
int s_items = 0;

struct ItemGuard {
  ItemGuard() = default;
  ItemGuard(const ItemGuard&) = delete;
  ItemGuard& operator=(const ItemGuard&) = delete;
  ~ItemGuard() {
    std::lock_guard<std::mutex> lock(s_itemsMutex);
    --s_items;
    s_itemsCond.notify_all();
  }
};

int QueueItem(ThreadPoolFn fn, void* arg) {
  {
    std::lock_guard<std::mutex> lock(s_itemsMutex);
    ++s_items;
  }
  int rc = ThreadPool_Add(g_ThreadPool, fn, arg);
  if (rc != 0) {
    std::lock_guard<std::mutex> lock(s_itemsMutex);
    --s_items;
    s_itemsCond.notify_all();
  }
  return rc;
}

bool WaitItems(unsigned ms) {
  std::unique_lock<std::mutex> lock(s_itemsMutex);
  return s_itemsCond.wait_for(lock, std::chrono::milliseconds(ms), [] { return s_items == 0; });
}

std::string AddrText(uint32_t addrNetworkOrder) {
  uint8_t b[4];
  std::memcpy(b, &addrNetworkOrder, 4);
  return IpToString(b);
}

sockaddr_in MakeAddr(uint32_t addrNetworkOrder, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addrNetworkOrder;
  sin.sin_port = htons(port);
  return sin;
}

bool IsFromServer(const sockaddr_in& from) {
  uint64_t s = s_server.load();
  if ((s >> 48) == 0) return false;
  return static_cast<uint32_t>(s >> 16) == from.sin_addr.s_addr &&
         static_cast<uint16_t>(s) == ntohs(from.sin_port);
}

// ---- The UDP socket and UDT.

int InitP2PUdpSock(int* sock) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  platform::SetSocketTimeouts(fd, Opt().socketTimeoutMs);
  sockaddr_in sin = MakeAddr(Opt().bindAddr, 0);
  // SO_REUSEPORT lets UDT's own socket share the port (OpenUdtSocket); without it the
  // two share this one socket.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    ::close(fd);
    return -1;
  }
  *sock = fd;
  return 0;
}

// The descriptor UDT runs on. UDT reads its socket in a loop of its own and would take
// most P2P messages off a socket it shared with the receive loop, so it gets a second
// socket on the same address and port, and a filter in the kernel hands punches and
// acknowledgements (the constant 6, opcode 3 or 4) to the service's socket and every
// other datagram to UDT's. A UDT packet could only pass for one as the middle piece of
// a message longer than two packets sent out of order, which nobody sends to a PC that
// reads 2048 bytes a message; UDT's control packets have 0 where the constant is. Both
// sockets send from the same port, so the routers' holes serve both. Where the system
// cannot do that, UDT gets a duplicate of the service's descriptor and the two share
// the socket. Either way UDT closes its descriptor when its last socket is gone, and
// only the service closes its own.
int OpenUdtSocket(int fd, int* udtFd) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  int u = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int on = 1;
  // In the reuseport group the service's socket is index 0, UDT's index 1.
  sock_filter code[] = {
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 2},  // the constant at payload offset 2 ...
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 4, kP2PHeadConstant},
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 4},  // ... and the opcode at 4
      {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, P2P_HOLE_PUNCH},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, P2P_HOLE_ACK},
      {BPF_RET | BPF_K, 0, 0, 0},  // the service's socket (a datagram too short lands here)
      {BPF_RET | BPF_K, 0, 0, 1},  // UDT's
  };
  sock_fprog prog{static_cast<unsigned short>(std::size(code)), code};
  if (u >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) == 0 &&
      ::setsockopt(u, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
      ::setsockopt(u, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0 &&
      ::bind(u, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0 &&
      ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &prog, sizeof prog) == 0) {
    *udtFd = u;
    return 0;
  }
  if (u >= 0) ::close(u);
  TLOG(MOD_COMMLIB, LOG_WARNING, "p2p socket shared with udt: %s", std::strerror(errno));
  *udtFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return *udtFd >= 0 ? 0 : -1;
}

// A UDT socket in rendezvous mode on the client's UDP socket. The first one creates
// UDT's multiplexer on s_udtFd; later ones share it.
int NewBoundUdtSocket(int* out) {
  UDTSOCKET u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  if (u == UDT::INVALID_SOCK) return -1;
  bool on = true;
  linger lg{};
  lg.l_onoff = Opt().udtLingerSec > 0 ? 1 : 0;
  lg.l_linger = Opt().udtLingerSec;
  if (UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &on, sizeof on) == UDT::ERROR ||
      UDT::setsockopt(u, 0, UDT_LINGER, &lg, sizeof lg) == UDT::ERROR ||
      UDT::bind2(u, s_udtFd) == UDT::ERROR) {
    UDT::close(u);
    return -1;
  }
  *out = u;
  return 0;
}

int BindUdtToUdpSock(int* udtSock) { return NewBoundUdtSocket(udtSock); }

// Connects a new rendezvous UDT socket to the peer. The library's own rendezvous
// connect waits 30 s, so it runs without blocking and is given up here after the
// connect time-out. 0 with the socket, or -1.
int ConnectUdtPeer(int* udtSock, const sockaddr_in& peer) {
  int u = -1;
  if (NewBoundUdtSocket(&u) != 0) return -1;
  bool off = false;
  bool on = true;
  if (UDT::setsockopt(u, 0, UDT_RCVSYN, &off, sizeof off) == UDT::ERROR ||
      UDT::connect(u, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == UDT::ERROR) {
    UDT::close(u);
    return -1;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(Opt().udtConnectTimeoutMs);
  for (;;) {
    UDTSTATUS st = UDT::getsockstate(u);
    if (st == CONNECTED) break;
    if (st != CONNECTING || std::chrono::steady_clock::now() >= deadline ||
        !SleepUnlessStopped(5)) {
      UDT::close(u);
      return -1;
    }
  }
  // Receivers block without a time-out (a receive time-out makes this UDT lose track of
  // messages that have arrived); the stop closes their sockets to end them.
  if (UDT::setsockopt(u, 0, UDT_RCVSYN, &on, sizeof on) == UDT::ERROR) {
    UDT::close(u);
    return -1;
  }
  *udtSock = u;
  return 0;
}

// ---- The peer list.

// Connects to the sender of a punch or acknowledgement and lists it. A sender that is
// already connected is not connected again (a device punches several times).
void ConnectAndList(const sockaddr_in& from, const char* okText, const char* errorText) {
  const uint32_t addr = from.sin_addr.s_addr;
  const uint16_t port = ntohs(from.sin_port);
  {
    std::lock_guard<std::mutex> lock(g_MutexP2PList);
    for (const P2PPeer& p : g_P2PList) {
      if (p.addr == addr && p.port == port && UDT::getsockstate(p.udtSock) == CONNECTED) {
        TLOG(MOD_COMMLIB, LOG_DEBUG, "p2p peer %s:%u already connected.", AddrText(addr).c_str(),
             unsigned{port});
        return;
      }
    }
    if (g_P2PList.size() >= Opt().maxPeers) {
      TLOG(MOD_COMMLIB, LOG_WARNING, "p2p peer list full (%zu), %s:%u not connected.",
           g_P2PList.size(), AddrText(addr).c_str(), unsigned{port});
      return;
    }
  }
  int u = -1;
  if (ConnectUdtPeer(&u, from) != 0) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "%s", errorText);
    return;
  }
  TLOG(MOD_COMMLIB, LOG_DEBUG, "%s", okText);
  bool listed = false;
  try {
    std::lock_guard<std::mutex> lock(g_MutexP2PList);
    if (g_P2PList.size() < Opt().maxPeers) {
      g_P2PList.push_back(P2PPeer{false, addr, port, u});
      listed = true;
    }
  } catch (const std::bad_alloc&) {
  }
  if (!listed) UDT::close(u);
}

// Takes the peer out of the list, ends its transfers and closes its socket. The stop may
// have taken it already; then the stop has done both.
void LosePeer(const P2PPeer& peer) {
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(g_MutexP2PList);
    for (auto it = g_P2PList.begin(); it != g_P2PList.end(); ++it) {
      if (it->addr == peer.addr && it->port == peer.port && it->udtSock == peer.udtSock) {
        g_P2PList.erase(it);
        found = true;
        break;
      }
    }
  }
  if (!found) return;
  if (UdtPeerLostHook hook = s_peerLost.load()) hook(peer.udtSock);
  UDT::close(peer.udtSock);
}

// ---- Hole punching.

void P2PHolePunch(const uint8_t* msg, const sockaddr_in& from, int fd) {
  HolePunchMsg punch = HolePunchMsg::Decode(msg);
  TLOG(MOD_COMMLIB, LOG_DEBUG, "recv hole punch msg.");
  if (punch.from != 0) {
    TLOG(MOD_COMMLIB, LOG_DEBUG, "recv p2p hole punch msg from p2p server.");
    if (Opt().serverPunchesOnlyFromServer && !IsFromServer(from)) {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "hole punch from %s:%u is not the p2p server's, ignored.",
           AddrText(from.sin_addr.s_addr).c_str(), unsigned{ntohs(from.sin_port)});
      return;
    }
    uint8_t out[kHolePunchMsgSize];
    BuildForwardedPunch(out, punch);
    // 0.0.0.0 would reach this host itself.
    const bool toPeer = punch.addr1 != 0 && punch.port1 != 0;
    const std::string peerText = AddrText(punch.addr1);
    for (int i = 0; i < kPunchRepeat; ++i) {
      if (toPeer) SendToHost(punch.port1, out, sizeof out, peerText.c_str());
      SendToAll(&fd, sizeof out, out, from);
    }
    return;
  }
  TLOG(MOD_COMMLIB, LOG_DEBUG, "recv p2p hole punch msg from client.");
  uint8_t reply[kHolePunchReplySize];
  BuildHolePunchReply(reply, punch, ntohs(from.sin_port));
  for (int i = 0; i < kPunchRepeat; ++i) SendToAll(&fd, sizeof reply, reply, from);
  ConnectAndList(from, "recv p2p hole punch msg from client, init udt ok.",
                 "recv p2p hole punch msg from client, init udt error.");
}

void P2PHoleACK(const uint8_t* msg, const sockaddr_in& from) {
  const uint16_t ackFrom = wire::GetU16(msg + 6);
  TLOG(MOD_COMMLIB, LOG_DEBUG, "recv ack msg ip %s(%u), port %d",
       AddrText(from.sin_addr.s_addr).c_str(), unsigned{from.sin_addr.s_addr},
       int{ntohs(from.sin_port)});
  if (ackFrom != 0) return;
  ConnectAndList(from, "recv ack, init udt ok.", "recv ack, init udt error.");
}

// ---- Work items.

// One receiver per peer: every UDT message is one MsgHead message for Dispatch.
void P2PTransThread(void* arg) {
  ItemGuard guard;
  std::unique_ptr<P2PPeer> job(static_cast<P2PPeer*>(arg));
  const int32_t sock = job->udtSock;
  // Zeroed before every message, so that a handler trusting a head length longer than
  // the message reads zeros, never an older message.
  std::array<char, kUdtMsgMax> buf{};
  while (g_StopFlag.load() == 0) {
    std::memset(buf.data(), 0, buf.size());
    int n = UDT::recvmsg(sock, buf.data(), static_cast<int>(buf.size()));
    if (n == UDT::ERROR) {
      UDT::ERRORINFO& err = UDT::getlasterror();
      const int code = err.getErrorCode();
      TLOG(MOD_COMMLIB, LOG_DEBUG, "======udt recv: errno = %d, errinfo = %s======", code,
           err.getErrorMessage());
      if (code == UDT::ERRORINFO::EASYNCRCV || code == UDT::ERRORINFO::ETIMEOUT) continue;
      LosePeer(*job);
      return;
    }
    if (n < static_cast<int>(MsgHead::kSize)) {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "udt ==== read lens eeror");
      continue;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(buf.data());
    MsgHead head = MsgHead::Decode(bytes);
    if (head.length > kUdtMsgMax) {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "udu datasize more than 2048");
      continue;
    }
    // The body is what both the message and its head hold; 8 bytes or less have none.
    const uint32_t len = std::min<uint32_t>(static_cast<uint32_t>(n), head.length);
    const uint8_t* body = len > MsgHead::kSize ? bytes + MsgHead::kSize : nullptr;
    const uint32_t bodyLen = len > MsgHead::kSize ? len - static_cast<uint32_t>(MsgHead::kSize) : 0;
    uint8_t* reply = nullptr;
    int32_t replyLen = 0;
    Dispatch(&head, body, bodyLen, nullptr, &reply, &replyLen, sock, 1, Origin::Udt);
    if (reply != nullptr && replyLen > 0) {
      if (UDT::sendmsg(sock, reinterpret_cast<const char*>(reply), replyLen, -1, true) ==
          UDT::ERROR) {
        TLOG(MOD_COMMLIB, LOG_DEBUG, "Write return message error");
      }
    }
    FreeReply(reply);
  }
}

// The peer scheduler: a receiver for every new peer. The peers are collected under the
// list's lock and queued outside it, since queueing may wait for a pool worker while an
// ending receiver waits for the lock.
void P2PTrans(void*) {
  ItemGuard guard;
  std::vector<P2PPeer> fresh;
  while (g_StopFlag.load() == 0) {
    fresh.clear();
    {
      std::lock_guard<std::mutex> lock(g_MutexP2PList);
      for (const P2PPeer& p : g_P2PList) {
        if (!p.started) fresh.push_back(p);
      }
    }
    for (const P2PPeer& p : fresh) {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "add udt in thread");
      auto* job = new (std::nothrow) P2PPeer(p);
      const bool queued = job != nullptr && QueueItem(P2PTransThread, job) == 0;
      bool drop = false;
      {
        std::lock_guard<std::mutex> lock(g_MutexP2PList);
        for (auto it = g_P2PList.begin(); it != g_P2PList.end(); ++it) {
          if (it->addr == p.addr && it->port == p.port && it->udtSock == p.udtSock) {
            if (queued) {
              it->started = true;
            } else {
              g_P2PList.erase(it);
              drop = true;
            }
            break;
          }
        }
      }
      if (!queued) {
        delete job;
        if (drop) UDT::close(p.udtSock);
      }
    }
    SleepUnlessStopped(Opt().schedulerIntervalMs);
  }
}

void SendP2PHearBeat(void*) {
  ItemGuard guard;
  std::string host;
  uint16_t port = 0;
  if (Opt().serverInfo) {
    Opt().serverInfo(host, port);
  } else {
    GetP2PServerInfo(host, port);
  }
  std::string name;
  if (Opt().hostName) {
    name = Opt().hostName();
  } else {
    GetHostName(name);
  }
  uint8_t station[6] = {};
  MacTextToBytes(g_MacAddr, station);
  TLOG(MOD_COMMLIB, LOG_INFO, "p2p heart beat started.");

  uint32_t ip = 0;
  while (g_StopFlag.load() == 0) {
    if (platform::ResolveIpv4(host, &ip) == 0) break;
    TLOG(MOD_COMMLIB, LOG_WARNING, "gethostbyname error host %s", host.c_str());
    SleepUnlessStopped(Opt().resolveRetryMs);
  }
  if (g_StopFlag.load() != 0) return;
  s_server.store((uint64_t{1} << 48) | (uint64_t{ip} << 16) | port);
  const sockaddr_in to = MakeAddr(ip, port);

  uint8_t msg[kP2PHeartBeatSize];
  while (g_StopFlag.load() == 0) {
    std::string email;
    if (Opt().email) {
      email = Opt().email();
    } else {
      std::string psw;
      GetUsernfo(email, psw);
    }
    BuildP2PHeartBeat(msg, name, station, email);
    {
      std::lock_guard<std::mutex> lock(s_sockUse);
      const int fd = g_P2PUdpSock.load();
      if (fd >= 0) {
        ::sendto(fd, msg, sizeof msg, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
      }
    }
    SleepUnlessStopped(Opt().heartBeatIntervalMs);
  }
}

// The receive loop. Where UDT shares the socket, a datagram is only peeked at first: P2P
// messages are taken, everything else is left for UDT, which would otherwise lose its
// acknowledgements and data to this loop and stall.
void ReceiveLoop(int fd) {
  std::array<uint8_t, kP2PDatagramMax> buf{};
  while (g_StopFlag.load() == 0) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, Opt().pollTimeoutMs) <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_PEEK,
                           reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) continue;  // UDT took it first
    if (!IsP2PMessage(buf.data(), static_cast<size_t>(n))) {
      std::this_thread::sleep_for(std::chrono::microseconds(Opt().peekBackoffUs));
      continue;
    }
    fromLen = sizeof from;
    n = ::recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                   &fromLen);
    // UDT may have taken the peeked datagram meanwhile; whatever came instead is
    // checked again.
    if (n < 0 || !IsP2PMessage(buf.data(), static_cast<size_t>(n)) || from.sin_family != AF_INET) {
      continue;
    }
    if (Opt().loggedOn ? !Opt().loggedOn() : g_LogOnRtn.load() != 0) continue;
    const uint16_t opcode = wire::GetU16(buf.data() + 4);
    if (opcode == P2P_HOLE_PUNCH) {
      if (n < static_cast<ssize_t>(kHolePunchMsgSize)) {
        TLOG(MOD_COMMLIB, LOG_DEBUG, "hole punch msg lens error: %d", static_cast<int>(n));
      } else {
        P2PHolePunch(buf.data(), from, fd);
      }
    } else if (opcode == P2P_HOLE_ACK) {
      if (n < static_cast<ssize_t>(kHoleAckMsgSize)) {
        TLOG(MOD_COMMLIB, LOG_DEBUG, "ack msg lens error: %d", static_cast<int>(n));
      } else {
        P2PHoleACK(buf.data(), from);
      }
    }
  }
}

// The stop: the scheduler and the heartbeat end at their next look at the flag; every
// peer's socket is closed, which ends its receiver (one still inside a handler sees its
// socket fail); then UDT's carrier and the UDP socket go.
void Shutdown(int fd, int carrier) {
  std::list<P2PPeer> peers;
  {
    std::lock_guard<std::mutex> lock(g_MutexP2PList);
    peers.swap(g_P2PList);
  }
  for (const P2PPeer& p : peers) {
    if (UdtPeerLostHook hook = s_peerLost.load()) hook(p.udtSock);
    UDT::close(p.udtSock);
  }
  if (!WaitItems(Opt().stopWaitMs)) {
    TLOG(MOD_COMMLIB, LOG_WARNING, "p2p client stops with work items still running.");
  }
  UDT::close(carrier);
  {
    std::lock_guard<std::mutex> lock(s_sockUse);
    g_P2PUdpSock.store(-1);
  }
  s_port.store(0);
  s_server.store(0);
  ::close(fd);
}

}  // namespace

// ---- Messages.

HolePunchMsg HolePunchMsg::Decode(const uint8_t* msg) {
  HolePunchMsg m;
  m.from = wire::GetU16(msg + 6);
  std::memcpy(&m.addr1, msg + 8, 4);
  m.port1 = wire::GetU16(msg + 12);
  std::memcpy(&m.addr2, msg + 14, 4);
  m.port2 = wire::GetU16(msg + 18);
  std::memcpy(m.passOn, msg + 20, sizeof m.passOn);
  return m;
}

void HolePunchMsg::EncodeBody(uint8_t* msg) const {
  wire::PutU16(msg + 6, from);
  std::memcpy(msg + 8, &addr1, 4);
  wire::PutU16(msg + 12, port1);
  std::memcpy(msg + 14, &addr2, 4);
  wire::PutU16(msg + 18, port2);
  std::memcpy(msg + 20, passOn, sizeof passOn);
}

bool IsP2PMessage(const uint8_t* data, size_t len) {
  return data != nullptr && len >= P2PMsgHead::kSize && wire::GetU16(data + 2) == kP2PHeadConstant;
}

void BuildP2PHeartBeat(uint8_t out[kP2PHeartBeatSize], const std::string& hostName,
                       const uint8_t stationId[6], const std::string& email) {
  std::memset(out, 0, kP2PHeartBeatSize);
  P2PMsgHead{static_cast<uint16_t>(kP2PHeartBeatSize), kP2PHeadConstant, P2P_HEART_BEAT}.Encode(out);
  wire::PutText(out + 22, 32, hostName);
  std::memcpy(out + 54, stationId, 6);
  wire::PutText(out + 86, 32, email);
}

void BuildForwardedPunch(uint8_t out[kHolePunchMsgSize], const HolePunchMsg& in) {
  std::memset(out, 0, kHolePunchMsgSize);
  P2PMsgHead{static_cast<uint16_t>(kHolePunchMsgSize), kP2PHeadConstant, P2P_HOLE_PUNCH}.Encode(out);
  HolePunchMsg fwd = in;
  fwd.from = 0;
  fwd.addr1 = in.addr2;
  fwd.port1 = in.port2;
  fwd.addr2 = in.addr1;
  fwd.port2 = in.port1;
  fwd.EncodeBody(out);
}

void BuildHolePunchReply(uint8_t out[kHolePunchReplySize], const HolePunchMsg& in,
                         uint16_t observedPort) {
  std::memset(out, 0, kHolePunchReplySize);
  P2PMsgHead{static_cast<uint16_t>(kHolePunchReplySize), kP2PHeadConstant, P2P_HOLE_PUNCH}.Encode(out);
  wire::PutU16(out + 6, 0);
  std::memcpy(out + 8, &in.addr2, 4);
  wire::PutU16(out + 12, in.port2);
  std::memcpy(out + 14, &in.addr1, 4);
  wire::PutU16(out + 18, observedPort);
}

void ToLowerAscii(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

bool MacTextToBytes(const std::string& text, uint8_t out[6]) {
  std::memset(out, 0, 6);
  std::string t = text.substr(0, 31);
  ToLowerAscii(t);
  auto nibble = [](char c) -> uint8_t {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return 0;
  };
  size_t pos = 0;
  for (int i = 0; i < 6; ++i, pos += 3) {
    if (pos + 1 >= t.size()) return false;
    out[i] = static_cast<uint8_t>((nibble(t[pos]) << 4) | nibble(t[pos + 1]));
  }
  return true;
}

// ---- Options and state.

void SetP2PClientOptions(const P2PClientOptions& options) {
  std::lock_guard<std::mutex> lock(OptionsLock());
  StoredOptions() = options;
}

P2PClientOptions GetP2PClientOptions() {
  std::lock_guard<std::mutex> lock(OptionsLock());
  return StoredOptions();
}

void OS_SetUdtPeerLostHook(UdtPeerLostHook hook) { s_peerLost.store(hook); }

uint16_t P2PClientPort() { return s_port.load(); }

size_t P2PPeerCount() {
  std::lock_guard<std::mutex> lock(g_MutexP2PList);
  return g_P2PList.size();
}

// ---- The work item.

void StartP2PClient(void*) {
  bool idle = false;
  if (!s_active.compare_exchange_strong(idle, true)) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "p2p client already running.");
    return;
  }
  Opt() = GetP2PClientOptions();
  UDT::startup();

  int fd = -1;
  int carrier = -1;
  uint16_t port = 0;
  bool ok = false;
  if (InitP2PUdpSock(&fd) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "init udp socket error");
  } else if (OpenUdtSocket(fd, &s_udtFd) != 0 || BindUdtToUdpSock(&carrier) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "bind udt to udp socket error");
  } else if (GetBoundPort(&port, &fd) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "get udp bind port error");
  } else {
    g_P2PUdpSock.store(fd);
    s_port.store(port);
    if (QueueItem(P2PTrans, nullptr) != 0) {
      TLOG(MOD_COMMLIB, LOG_ERROR, "queue p2p trans error");
    } else {
      QueueItem(SendP2PHearBeat, nullptr);
      ok = true;
    }
  }

  if (ok) {
    TLOG(MOD_COMMLIB, LOG_INFO, "p2p client started.");
    ReceiveLoop(fd);
    Shutdown(fd, carrier);
  } else {
    if (carrier >= 0) {
      UDT::close(carrier);
    } else if (s_udtFd >= 0) {
      ::close(s_udtFd);  // UDT never took it
    }
    {
      std::lock_guard<std::mutex> lock(s_sockUse);
      g_P2PUdpSock.store(-1);
    }
    s_port.store(0);
    if (fd >= 0) ::close(fd);
  }
  s_udtFd = -1;
  UDT::cleanup();
  s_active.store(false);
}
