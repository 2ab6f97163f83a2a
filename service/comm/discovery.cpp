#include "comm/discovery.h"

#include <arpa/inet.h>
#include <event2/util.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/host_identity.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/utils.h"
#include "comm/wire.h"
#include "platform/net.h"

std::atomic<int> g_BroadcastSock{-1};
std::map<std::string, int> g_IfSockMap;

namespace {

std::mutex& OptionsLock() {
  static std::mutex m;
  return m;
}

DiscoveryOptions& StoredOptions() {
  static DiscoveryOptions o;
  return o;
}

std::atomic<uint16_t> s_port{0};

void ShutAndClose(int* sock) {
  if (*sock < 0) return;
  ::shutdown(*sock, SHUT_RDWR);
  ::close(*sock);
  *sock = -1;
}

// The text before the last ".", or false for a text without one.
bool Prefix(const std::string& ip, std::string* out) {
  size_t dot = ip.rfind('.');
  if (dot == std::string::npos) return false;
  *out = ip.substr(0, dot);
  return true;
}

void CopyField(uint8_t* field, size_t n, const std::string& text) {
  std::memcpy(field, text.data(), std::min(n, text.size()));
}

}  // namespace

void SetDiscoveryOptions(const DiscoveryOptions& options) {
  std::lock_guard<std::mutex> lock(OptionsLock());
  StoredOptions() = options;
}

DiscoveryOptions GetDiscoveryOptions() {
  std::lock_guard<std::mutex> lock(OptionsLock());
  return StoredOptions();
}

uint16_t DiscoveryPort() { return s_port.load(); }

int InitUdpSock(int* sock, const std::string& address, uint16_t port, int timeoutMs) {
  *sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (*sock < 0) {
    *sock = -1;
    TLOG(MOD_COMMLIB, LOG_ERROR, "init BROADPORT creat sock error.");
    return -1;
  }
  // Linux wants an int here; a one-byte value is refused.
  int on = 1;
  if (::setsockopt(*sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    int err = errno;
    TLOG(MOD_COMMLIB, LOG_ERROR, "Got an error %d (%s) on init BROADPORT sock.", err,
         evutil_socket_error_to_string(err));
    ShutAndClose(sock);
    return -1;
  }
  timeval tv{};
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  if (::setsockopt(*sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
      ::setsockopt(*sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      ::setsockopt(*sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    ShutAndClose(sock);
    return -1;
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  bool parsed = address.empty() || ::inet_pton(AF_INET, address.c_str(), &sin.sin_addr) == 1;
  if (!parsed || ::bind(*sock, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "init BROADPORT bind %s,%d error", address.c_str(), int{port});
    ShutAndClose(sock);
    return -1;
  }
  return 0;
}

void OpenInterfaceSockets() {
  DiscoveryOptions opt = GetDiscoveryOptions();
  std::vector<std::string> ips;
  if (opt.localIps) {
    opt.localIps(ips);
  } else {
    GetLocalIpList(ips);
  }
  const uint16_t port = s_port.load() != 0 ? s_port.load() : opt.port;
  for (const std::string& ip : ips) {
    if (g_IfSockMap.count(ip) != 0) continue;
    int sock = -1;
    InitUdpSock(&sock, ip, port, opt.recvTimeoutMs);
    g_IfSockMap[ip] = sock;
  }
}

void CloseInterfaceSockets() {
  for (auto& entry : g_IfSockMap) ShutAndClose(&entry.second);
  g_IfSockMap.clear();
}

bool IsBroadcastRequest(const uint8_t* data, size_t len) {
  if (data == nullptr || len < kBroadcastRequestMin) return false;
  if (data[0] != 'q' || data[1] != 'z') return false;
  uint16_t type = wire::GetU16(data + 4);
  return type == 4 || type == 5;
}

void BuildBroadcastReply(uint8_t out[kBroadcastReplySize], uint16_t sysType,
                         const std::string& email, const std::string& psw, uint16_t localPort,
                         const std::string& hostName) {
  std::memset(out, 0, kBroadcastReplySize);
  out[0] = 'q';
  out[1] = 'z';
  wire::PutU16(out + 2, 6);
  wire::PutU16(out + 4, sysType);
  CopyField(out + 6, 32, email);
  CopyField(out + 38, 32, psw);
  wire::PutU16(out + 74, localPort);
  wire::PutU16(out + 76, 0);
  wire::PutTextFull(out + 78, 128, hostName);
}

std::vector<std::string> MatchingLocalIps(const std::string& requester,
                                          const std::vector<std::string>& localIps) {
  std::vector<std::string> out;
  std::string want;
  if (!Prefix(requester, &want)) return out;
  for (const std::string& ip : localIps) {
    std::string have;
    if (Prefix(ip, &have) && have == want) out.push_back(ip);
  }
  return out;
}

int RevAndSendBroadcastData(const std::string& requester, const sockaddr_in& sender) {
  DiscoveryOptions opt = GetDiscoveryOptions();
  std::string email;
  std::string psw;
  if (opt.account) {
    opt.account(email, psw);
  } else {
    GetUsernfo(email, psw);
  }
  std::string host;
  if (opt.hostName) {
    host = opt.hostName();
  } else {
    GetHostName(host);
  }
  const uint16_t localPort = opt.localPort ? opt.localPort() : g_LocalPort.load();
  uint8_t reply[kBroadcastReplySize];
  BuildBroadcastReply(reply, opt.sysType, email, psw, localPort, host);

  std::vector<std::string> ips;
  if (opt.localIps) {
    opt.localIps(ips);
  } else {
    GetLocalIpList(ips);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (opt.replyToSender) {
    to = sender;
  } else {
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    to.sin_port = htons(opt.replyPort);
  }
  for (const std::string& ip : MatchingLocalIps(requester, ips)) {
    auto it = g_IfSockMap.find(ip);
    if (it == g_IfSockMap.end()) continue;
    in_addr local{};
    ::inet_pton(AF_INET, ip.c_str(), &local);
    std::memcpy(reply + 70, &local.s_addr, 4);
    if (it->second < 0) {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "send broadcast error");
      return -1;
    }
    // A datagram goes out whole or not at all: one sendto, and only all 206 bytes count.
    ssize_t n = ::sendto(it->second, reply, sizeof reply, MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n != static_cast<ssize_t>(sizeof reply)) {
      TLOG(MOD_COMMLIB, LOG_DEBUG, "send broadcast error");
      return -1;
    }
  }
  return 0;
}

void StartBroadcastServer(void*) {
  const DiscoveryOptions opt = GetDiscoveryOptions();
  int sock = -1;
  if (InitUdpSock(&sock, "", opt.port, opt.recvTimeoutMs) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "init BROADPORT udp socket error");
    return;
  }
  uint16_t port = 0;
  sockaddr_in bound{};
  socklen_t boundLen = sizeof bound;
  if (::getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &boundLen) == 0) {
    port = ntohs(bound.sin_port);
  }
  s_port.store(port);
  g_BroadcastSock.store(sock);

  uint8_t buf[kBroadcastRecvMax];
  while (g_StopFlag.load() == 0) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < static_cast<ssize_t>(kBroadcastRequestMin) || from.sin_family != AF_INET) continue;
    if (!IsBroadcastRequest(buf, static_cast<size_t>(n))) continue;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    OpenInterfaceSockets();
    RevAndSendBroadcastData(text, from);
    CloseInterfaceSockets();
  }
  g_BroadcastSock.store(-1);
  s_port.store(0);
  ShutAndClose(&sock);
}
