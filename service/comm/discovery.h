// LAN discovery: a device on the home network broadcasts a short UDP request to port
// 61617; the service answers with a 206-byte reply, broadcast from each local address
// that shares the requester's first three address parts, with the PC's address on that
// network, the local server's port, the host name and the stored account.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "contract/ports.h"

inline constexpr size_t kBroadcastReplySize = 206;
inline constexpr size_t kBroadcastRequestMin = 6;
inline constexpr size_t kBroadcastRecvMax = 513;

// Discovery's port, time-out and outside calls, with the service's values by default.
struct DiscoveryOptions {
  uint16_t port = BROADPORT;  // listened on; 0 lets the system pick one (DiscoveryPort)
  int recvTimeoutMs = 5000;   // the loop looks at the stop flag this often
  uint16_t sysType = 2;       // the PC's system type at offset 4 of the reply
  // Where replies go: the broadcast address at replyPort, or, with replyToSender, the
  // requester's own address and port (tests, which never broadcast).
  bool replyToSender = false;
  uint16_t replyPort = BROADPORT;
  // The local IPv4 addresses in order (empty: GetLocalIpList).
  std::function<int(std::vector<std::string>& out)> localIps;
  // The stored account (empty: GetUsernfo).
  std::function<void(std::string& email, std::string& psw)> account;
  // The host name (empty: GetHostName); UTF-8 already, sent unconverted.
  std::function<std::string()> hostName;
  // The local server's TCP port (empty: g_LocalPort).
  std::function<uint16_t()> localPort;
};

// Any thread. StartBroadcastServer reads them when it starts; the other functions
// below read them at each call.
void SetDiscoveryOptions(const DiscoveryOptions& options);
DiscoveryOptions GetDiscoveryOptions();

// The listening socket while discovery runs, else -1.
extern std::atomic<int> g_BroadcastSock;
// One socket per local address, bound to that address and discovery's port (-1 when
// its set-up failed). Filled before each reply and emptied after it; used by the
// discovery thread only.
extern std::map<std::string, int> g_IfSockMap;

// A UDP socket with SO_BROADCAST, 5 s send and receive time-outs (timeoutMs) and
// SO_REUSEADDR, bound to address:port (0.0.0.0 for an empty address). 0 with the socket,
// or -1 with *sock -1.
int InitUdpSock(int* sock, const std::string& address, uint16_t port, int timeoutMs = 5000);
// g_IfSockMap := one InitUdpSock per local address, at discovery's bound port.
void OpenInterfaceSockets();
// Shuts down and closes every socket of g_IfSockMap, then empties it.
void CloseInterfaceSockets();

// True for "qz", two bytes, then the type 4 or 5 (big-endian).
bool IsBroadcastRequest(const uint8_t* data, size_t len);
// The reply without the address at offset 70: "qz", 6, sysType, the e-mail and the
// password hash (each cut to 32 bytes, zero-filled, no zero needed when full), the port,
// 0, the host name (cut to 128 bytes on a character boundary).
void BuildBroadcastReply(uint8_t out[kBroadcastReplySize], uint16_t sysType,
                         const std::string& email, const std::string& psw, uint16_t localPort,
                         const std::string& hostName);
// The local addresses whose text before the last "." equals the requester's, in order.
std::vector<std::string> MatchingLocalIps(const std::string& requester,
                                          const std::vector<std::string>& localIps);
// Sends the reply on the socket of every matching local address (as g_IfSockMap holds
// it), each with its own address at offset 70. 0, or -1 after "send broadcast error"
// when a matching socket is -1 or a send did not put out all 206 bytes (the remaining
// addresses are then not tried). sender is the requester's address and port.
int RevAndSendBroadcastData(const std::string& requester, const sockaddr_in& sender);

// Work item queued by the start-up: answers requests until g_StopFlag. The argument is
// not used.
void StartBroadcastServer(void* arg);

// The port discovery listens on while it runs, else 0.
uint16_t DiscoveryPort();
