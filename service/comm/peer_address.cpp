#include "comm/peer_address.h"

#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "comm/local_server.h"
#include "platform/net.h"

std::string PeerAddressText(const sockaddr* peer, socklen_t len) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (peer != nullptr && peer->sa_family == AF_INET &&
      len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in sin;
    std::memcpy(&sin, peer, sizeof sin);
    inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(sin.sin_port));
  }
  if (peer != nullptr && peer->sa_family == AF_INET6 &&
      len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, peer, sizeof sin6);
    inet_ntop(AF_INET6, &sin6.sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(sin6.sin6_port));
  }
  return text;
}

Origin OS_ClassifyPeer(const sockaddr* peer, socklen_t len) {
  if (peer == nullptr) return Origin::Lan;
  if (peer->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in sin;
    std::memcpy(&sin, peer, sizeof sin);
    return platform::IsLoopbackV4(sin.sin_addr.s_addr) ? Origin::Loopback : Origin::Lan;
  }
  if (peer->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, peer, sizeof sin6);
    if (IN6_IS_ADDR_LOOPBACK(&sin6.sin6_addr)) return Origin::Loopback;
    if (IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr)) {
      uint32_t v4;
      std::memcpy(&v4, sin6.sin6_addr.s6_addr + 12, sizeof v4);
      return platform::IsLoopbackV4(v4) ? Origin::Loopback : Origin::Lan;
    }
  }
  return Origin::Lan;
}

