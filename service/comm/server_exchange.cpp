#include "comm/server_exchange.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <sys/socket.h>
#include <unistd.h>

#include "comm/log.h"
#include "platform/net.h"

std::atomic<int> g_P2PUdpSock{-1};

int RequestServer(const ServerMsgHead& head, const ServerAddress& server, const uint8_t* payload,
                  uint32_t payloadLen, ServerReplyHead* answer, std::vector<uint8_t>* answerPayload,
                  int ioTimeoutMs, int connectTimeoutMs) {
  if (answer == nullptr || answerPayload == nullptr) return -1;
  answerPayload->clear();
  if (payloadLen > 0 && payload == nullptr) return -1;
  // A head that announces another length than it carries would leave the server
  // reading the wrong number of bytes.
  if (payloadLen > 0xFFFFu - ServerMsgHead::kSize || head.length != ServerMsgHead::kSize + payloadLen) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "bad server request: length %u, payload %u.", unsigned{head.length},
         payloadLen);
    return -1;
  }

  int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  if (ConnectSocket(&sock, server.port, server.host.c_str(), connectTimeoutMs) != 0) {
    CloseSocket(&sock);
    return -1;
  }
  if (ioTimeoutMs > 0) platform::SetSocketTimeouts(sock, ioTimeoutMs);

  std::vector<uint8_t> frame;
  try {
    frame.resize(ServerMsgHead::kSize + payloadLen);
  } catch (const std::bad_alloc&) {
    CloseSocket(&sock);
    return -1;
  }
  head.Encode(frame.data());
  if (payloadLen > 0) std::memcpy(frame.data() + ServerMsgHead::kSize, payload, payloadLen);
  if (SendAll(&sock, static_cast<uint32_t>(frame.size()), frame.data()) != 0 ||
      RecvReplyHeader(sock, answer) != 0 || answer->length < ServerReplyHead::kSize) {
    CloseSocket(&sock);
    return -1;
  }
  if (answer->length > ServerReplyHead::kSize) {
    uint32_t n = answer->length - ServerReplyHead::kSize;
    int rc = -1;
    try {
      answerPayload->resize(n);
      rc = RecvAll(&sock, n, answerPayload->data());
    } catch (const std::bad_alloc&) {
      rc = -1;
    }
    if (rc != 0) {
      answerPayload->clear();
      CloseSocket(&sock);
      return -1;
    }
  }
  CloseSocket(&sock);
  return 0;
}

int RecvReplyHeader(int sock, ServerReplyHead* head) {
  if (head == nullptr) return -1;
  uint8_t raw[ServerReplyHead::kSize];
  if (RecvAll(&sock, sizeof raw, raw) != 0) return -1;
  *head = ServerReplyHead::Decode(raw);
  return 0;
}

int ConnectSocket(int* sock, uint16_t port, const char* host, int timeoutMs) {
  if (sock == nullptr || *sock < 0 || host == nullptr || port == 65535) return -1;
  uint32_t addr = 0;
  if (platform::ResolveIpv4(host, &addr) != 0) return -1;
  return platform::ConnectFd(*sock, addr, port, timeoutMs) == 0 ? 0 : -1;
}

int SendAll(int* sock, uint32_t len, const void* data) {
  if (sock == nullptr || *sock < 0) return -1;
  if (len == 0) return 0;
  if (data == nullptr) return -1;
  return platform::SendAll(*sock, data, len) == 0 ? 0 : -1;
}

int RecvAll(int* sock, uint32_t len, void* buffer) {
  if (sock == nullptr || *sock < 0) return -1;
  if (len == 0) return 0;
  if (buffer == nullptr) return -1;
  // platform::RecvAll gives 1 for an early end of stream: a failure here.
  return platform::RecvAll(*sock, buffer, len) == 0 ? 0 : -1;
}

int SendToAll(int* sock, uint32_t len, const void* data, const sockaddr_in& addr) {
  if (sock == nullptr || *sock < 0) return -1;
  if (len == 0) return 0;
  if (data == nullptr) return -1;
  const auto* p = static_cast<const uint8_t*>(data);
  size_t left = len;
  while (left > 0) {
    ssize_t n = ::sendto(*sock, p, left, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr),
                         sizeof addr);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

int SendToHost(uint16_t port, const void* data, uint32_t len, const char* host) {
  int sock = g_P2PUdpSock.load();
  if (sock < 0 || data == nullptr || host == nullptr) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (platform::ResolveIpv4(host, &to.sin_addr.s_addr) != 0) return -1;
  return SendToAll(&sock, len, data, to);
}

int CloseSocket(int* sock) {
  if (sock == nullptr || *sock < 0) return -1;
  ::shutdown(*sock, SHUT_RDWR);
  int rc = ::close(*sock);
  *sock = -1;
  return rc;
}

int GetBoundPort(uint16_t* port, int* sock) {
  if (port == nullptr || sock == nullptr || *sock < 0) return -1;
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  int rc = ::getsockname(*sock, reinterpret_cast<sockaddr*>(&sin), &len);
  if (rc != 0) return rc;
  *port = ntohs(sin.sin_port);
  return 0;
}

std::string IpToString(const uint8_t ip[4]) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
  return buf;
}
