// The rendezvous server's own messages to and from devices. They use the P2PMsgHead
// framing of the PC's messages (length, the constant 6, the opcode) with opcodes of
// their own; the PC never sees them.
//
//   P2P_CONNECT_REQ (device to server), 38 bytes: head {38, 6, 6}, then the station id
//     of the PC to reach as in the PC's heartbeat (6 raw bytes, 26 zeros).
//   P2P_CONNECT_INFO (server to device), 20 bytes: head {20, 6, 7}, result (0 the PC was
//     punched, 1 no such PC heard from lately), the PC's address and port, and the
//     device's address and port, as the server saw them.
//
// Addresses are in network order, every other field big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "comm/p2p_client.h"
#include "comm/wire.h"

namespace rendezvous {

inline constexpr uint16_t P2P_CONNECT_REQ = 6;
inline constexpr uint16_t P2P_CONNECT_INFO = 7;
inline constexpr size_t kConnectReqSize = 38;
inline constexpr size_t kConnectInfoSize = 20;

inline constexpr uint16_t kInfoFound = 0;
inline constexpr uint16_t kInfoUnknownStation = 1;

struct ConnectInfo {
  uint16_t result = kInfoUnknownStation;
  uint32_t pcAddr = 0;  // network order
  uint16_t pcPort = 0;
  uint32_t deviceAddr = 0;  // network order
  uint16_t devicePort = 0;
};

void BuildConnectReq(uint8_t out[kConnectReqSize], const uint8_t stationId[6]);
void BuildConnectInfo(uint8_t out[kConnectInfoSize], const ConnectInfo& info);
// False unless data is a P2P_CONNECT_INFO of at least 20 bytes.
bool ParseConnectInfo(const uint8_t* data, size_t len, ConnectInfo* info);

// An IPv4 address (network order) and a port as "a.b.c.d:port".
std::string AddrText(uint32_t addr, uint16_t port);
// The opcode of a P2P message (IsP2PMessage), else 0.
uint16_t P2POpcode(const uint8_t* data, size_t len);

}  // namespace rendezvous
