#include "rendezvous/rendezvous_wire.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

namespace rendezvous {

void BuildConnectReq(uint8_t out[kConnectReqSize], const uint8_t stationId[6]) {
  std::memset(out, 0, kConnectReqSize);
  P2PMsgHead{static_cast<uint16_t>(kConnectReqSize), kP2PHeadConstant, P2P_CONNECT_REQ}.Encode(out);
  std::memcpy(out + 6, stationId, 6);
}

void BuildConnectInfo(uint8_t out[kConnectInfoSize], const ConnectInfo& info) {
  std::memset(out, 0, kConnectInfoSize);
  P2PMsgHead{static_cast<uint16_t>(kConnectInfoSize), kP2PHeadConstant, P2P_CONNECT_INFO}.Encode(out);
  wire::PutU16(out + 6, info.result);
  std::memcpy(out + 8, &info.pcAddr, 4);
  wire::PutU16(out + 12, info.pcPort);
  std::memcpy(out + 14, &info.deviceAddr, 4);
  wire::PutU16(out + 18, info.devicePort);
}

std::string AddrText(uint32_t addr, uint16_t port) {
  char ip[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = addr;
  ::inet_ntop(AF_INET, &a, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(port);
}

bool ParseConnectInfo(const uint8_t* data, size_t len, ConnectInfo* info) {
  if (len < kConnectInfoSize || P2POpcode(data, len) != P2P_CONNECT_INFO) return false;
  info->result = wire::GetU16(data + 6);
  std::memcpy(&info->pcAddr, data + 8, 4);
  info->pcPort = wire::GetU16(data + 12);
  std::memcpy(&info->deviceAddr, data + 14, 4);
  info->devicePort = wire::GetU16(data + 18);
  return true;
}

uint16_t P2POpcode(const uint8_t* data, size_t len) {
  return IsP2PMessage(data, len) ? wire::GetU16(data + 4) : 0;
}

}  // namespace rendezvous
