// Peer-to-peer transport. The service keeps one UDP socket open and announces itself on
// it to the rendezvous server every 10 s. The rendezvous server and devices punch holes
// through the routers with small P2PMsgHead messages on that socket; once a hole is
// open, the service connects to the device with UDT in rendezvous mode over the same
// socket. Every UDT message from a device is one MsgHead message that goes to Dispatch
// (Origin::Udt); the reply goes back as one UDT message.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>

#include <netinet/in.h>

// ---- P2PMsgHead opcodes and message sizes.
inline constexpr uint16_t P2P_HOLE_PUNCH = 3;
inline constexpr uint16_t P2P_HOLE_ACK = 4;
inline constexpr uint16_t P2P_HEART_BEAT = 5;
// The constant second field of every P2PMsgHead. UDT's own packets never carry it
// there, which is how the two kinds of datagram on the shared socket are told apart.
inline constexpr uint16_t kP2PHeadConstant = 6;

inline constexpr size_t kP2PHeartBeatSize = 150;
inline constexpr size_t kHolePunchMsgSize = 32;    // the least a punch has
inline constexpr size_t kHoleAckMsgSize = 20;      // the least an acknowledgement has
inline constexpr size_t kHolePunchReplySize = 20;
inline constexpr size_t kP2PDatagramMax = 2048;    // the most the receive loop reads
inline constexpr size_t kUdtMsgMax = 2048;         // the most one UDT message carries
inline constexpr int kPunchRepeat = 3;             // each punch message goes out this often

// The 26 bytes after the head of a hole punch. Addresses stay in network order, the
// 16-bit fields are in host order; bytes 20 to 31 are passed on as received.
struct HolePunchMsg {
  uint16_t from = 0;  // non-zero: sent by the rendezvous server; 0: sent by a device
  uint32_t addr1 = 0;
  uint16_t port1 = 0;
  uint32_t addr2 = 0;
  uint16_t port2 = 0;
  uint8_t passOn[12] = {};

  // msg is the whole message, at least 32 bytes.
  static HolePunchMsg Decode(const uint8_t* msg);
  // Writes bytes 6 to 31 of a message.
  void EncodeBody(uint8_t* msg) const;
};

// True when the datagram starts with a P2PMsgHead: at least 6 bytes with the constant 6.
bool IsP2PMessage(const uint8_t* data, size_t len);

// The 150-byte heartbeat: head {150, 6, 5}, 16 zeros, the host name (at most 31 bytes,
// cut on a character boundary), the 6 station id bytes and 26 zeros, the e-mail (at most
// 31 bytes), 32 zeros.
void BuildP2PHeartBeat(uint8_t out[kP2PHeartBeatSize], const std::string& hostName,
                       const uint8_t stationId[6], const std::string& email);
// The 32-byte punch the service passes on when the rendezvous server's punch came:
// {32, 6, 3}, from 0, address 2 and port 2, address 1 and port 1, bytes 20 to 31 of in.
void BuildForwardedPunch(uint8_t out[kHolePunchMsgSize], const HolePunchMsg& in);
// The 20-byte answer to a device's punch: {20, 6, 3}, from 0, address 2 and port 2 of the
// punch, its address 1, and the punch's UDP source port as the service saw it.
void BuildHolePunchReply(uint8_t out[kHolePunchReplySize], const HolePunchMsg& in,
                         uint16_t observedPort);

// Turns A to Z into a to z in place.
void ToLowerAscii(std::string& text);
// The station id text ("00-1A-2B-3C-4D-5E", any separator, either case, at most 31
// characters read) as 6 bytes: each pair of hexadecimal digits is one byte, one
// character is skipped after each pair. Stops at the end of the text; bytes not reached
// stay 0, and a character that is not a hexadecimal digit counts as 0. False when the
// text held fewer than 12 characters' worth of pairs.
bool MacTextToBytes(const std::string& text, uint8_t out[6]);

// One entry of the peer list.
struct P2PPeer {
  bool started = false;   // a receiver has been queued for it
  uint32_t addr = 0;      // the device's IPv4 address, network order
  uint16_t port = 0;      // the device's UDP port, host order
  int32_t udtSock = -1;   // the rendezvous UDT socket connected to the device
};

// The peer list and its lock. The lock is never destroyed, so a work item that still
// runs while the client stops never takes a dead lock.
extern std::mutex g_MutexP2PList;
extern std::list<P2PPeer> g_P2PList;

// The client's intervals, bounds and outside calls, with the service's values by
// default. Tests shorten the intervals and replace the calls.
struct P2PClientOptions {
  unsigned heartBeatIntervalMs = 10000;  // between two heartbeats
  unsigned resolveRetryMs = 30000;       // after the rendezvous host did not resolve
  int pollTimeoutMs = 5000;              // the receive loop looks at the stop flag this often
  int socketTimeoutMs = 5000;            // send and receive time-outs of the UDP socket
  int udtConnectTimeoutMs = 6000;        // a rendezvous connect gives up after this
  int udtLingerSec = 2;                  // a closing peer socket waits this long for unsent data
  unsigned schedulerIntervalMs = 10;     // how often new peers get their receiver
  unsigned peekBackoffUs = 1000;         // pause after leaving a datagram to UDT
  size_t maxPeers = 64;                  // peers connected at once
  unsigned stopWaitMs = 8000;            // how long the stop waits for its work items
  // Punches that claim to come from the rendezvous server are acted on only when they
  // come from its address and port (otherwise anyone could make the service send
  // punches to any address).
  bool serverPunchesOnlyFromServer = true;
  uint32_t bindAddr = INADDR_ANY;  // network order; the port is always the system's choice

  // The rendezvous server (empty: GetP2PServerInfo).
  std::function<void(std::string& host, uint16_t& port)> serverInfo;
  // The account's e-mail, read for every heartbeat (empty: GetUsernfo).
  std::function<std::string()> email;
  // The host name (empty: GetHostName). It is UTF-8 already and goes out unconverted.
  std::function<std::string()> hostName;
  // True while the service is logged on; punches and acknowledgements are ignored
  // otherwise (empty: g_LogOnRtn == 0).
  std::function<bool()> loggedOn;
};

// Called with the UDT socket of a lost peer (its connection failed, or the client
// stops), before the socket is closed, so that every transfer of that peer ends. Runs
// on the peer's receiver or on the stopping client's thread. The transfer table
// installs TransCloseUdtSocket; null removes the hook.
using UdtPeerLostHook = void (*)(int32_t udtSock);
void OS_SetUdtPeerLostHook(UdtPeerLostHook hook);

// Any thread. StartP2PClient reads them when it starts.
void SetP2PClientOptions(const P2PClientOptions& options);
P2PClientOptions GetP2PClientOptions();

// Work item queued by the start-up: sets up the UDP socket and UDT, queues the peer
// scheduler and the heartbeat, then runs the receive loop until g_StopFlag. At the
// stop it waits (bounded) for its work items, closes every peer, the UDT sockets and
// the UDP socket. A set-up failure ends the client for the life of the service. The
// argument is not used.
void StartP2PClient(void* arg);

// The UDP socket's bound port while the client runs, else 0.
uint16_t P2PClientPort();
// The number of listed peers.
size_t P2PPeerCount();
