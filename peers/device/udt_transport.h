// The device client's peer-to-peer way to a PC: through the rendezvous server, a punched
// UDP hole and a UDT connection in rendezvous mode, carrying the same MsgHead messages as
// a LAN connection, one message per UDT message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "device/transport.h"

namespace rendezvous {
class P2PLink;
}

namespace device {

// The longest message the PC reads from UDT. An upload's data message carries at most
// kUdtMaxMessage - 20 = 2,028 data bytes; the transport refuses longer messages.
inline constexpr size_t kUdtMaxMessage = 2048;

struct P2PTarget {
  std::string host;     // the rendezvous server
  uint16_t port = 0;
  std::string station;  // the PC's station id
};

// Asks the rendezvous server for the PC, punches it and connects; the steps together
// take at most about timeoutMs plus the UDT connect's 6 s. Null with *error set.
std::unique_ptr<Transport> ConnectUdt(const P2PTarget& target, int timeoutMs, std::string* error);
// A transport over a link that is already open.
std::unique_ptr<Transport> UdtTransportOver(std::unique_ptr<rendezvous::P2PLink> link);

}  // namespace device
