// The request/answer exchange with the central server and the small blocking socket
// helpers the service uses for TCP and UDP. Every report and account request is one
// exchange on a fresh connection: connect, send a ServerMsgHead and its payload, read
// the ServerReplyHead and its payload, close.
//
// Socket "slots" are pointers to a socket variable: -1 means closed, and CloseSocket
// sets the slot back to -1.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "comm/wire.h"

// Default bounds of one exchange: the connect, and each send or receive call.
inline constexpr int kServerConnectTimeoutMs = 5000;
inline constexpr int kServerIoTimeoutMs = 5000;

// The central server's address (svport and svhost of the configuration).
struct ServerAddress {
  uint16_t port = 0;
  std::string host;
};

// The P2P client's UDP socket, -1 while closed. The P2P client opens and closes it;
// SendToHost sends on it.
extern std::atomic<int> g_P2PUdpSock;

// One exchange with the server on a new connection. head is in host order and must
// announce 70 + payloadLen bytes; it is encoded into a copy, so the caller's head
// stays as it was and can be sent again. On 0, answer holds the answer head in host
// order and answerPayload its length - 8 payload bytes (empty for an 8-byte answer).
// Returns -1 on any failure: a head that does not match the payload, resolution, a
// connect past connectTimeoutMs or refused, a send or receive failing or waiting past
// ioTimeoutMs, an answer length below 8, or a connection closed before the whole
// answer came. 0 as a time-out waits as long as the system does.
int RequestServer(const ServerMsgHead& head, const ServerAddress& server, const uint8_t* payload,
                  uint32_t payloadLen, ServerReplyHead* answer, std::vector<uint8_t>* answerPayload,
                  int ioTimeoutMs = kServerIoTimeoutMs,
                  int connectTimeoutMs = kServerConnectTimeoutMs);

// Reads exactly 8 bytes into head, in host order. 0 or -1.
int RecvReplyHeader(int sock, ServerReplyHead* head);

// Connects the TCP socket in the slot to host:port (a dotted address or a name; the
// first IPv4 address), waiting at most timeoutMs (0: as long as the system does).
// -1 when the slot is null or closed, host is null, port is 65535, the name does not
// resolve or the connect fails; 0 on success.
int ConnectSocket(int* sock, uint16_t port, const char* host,
                  int timeoutMs = kServerConnectTimeoutMs);

// Sends all len bytes. 0 (also for len 0), or -1 on an error, a closed slot or null data.
int SendAll(int* sock, uint32_t len, const void* data);

// Receives exactly len bytes. 0 (also for len 0), or -1 on an error, a closed slot,
// null buffer, a time-out, or a peer that closed before all bytes came.
int RecvAll(int* sock, uint32_t len, void* buffer);

// sendto the address until all len bytes are out. 0 or -1, like SendAll.
int SendToAll(int* sock, uint32_t len, const void* data, const sockaddr_in& addr);

// Resolves host and sends the data to host:port on g_P2PUdpSock. -1 when that socket
// is closed, data is null, host is null or does not resolve, or the send fails.
int SendToHost(uint16_t port, const void* data, uint32_t len, const char* host);

// Shuts both directions down, closes the socket and sets the slot to -1. -1 when the
// slot is null or already -1, else the result of close.
int CloseSocket(int* sock);

// The socket's bound local port in host order. 0, or -1 when the slot is null or
// closed or getsockname fails.
int GetBoundPort(uint16_t* port, int* sock);

// "%u.%u.%u.%u" of the four address bytes in memory order.
std::string IpToString(const uint8_t ip[4]);
