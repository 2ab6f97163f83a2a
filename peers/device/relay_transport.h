// The device client's way to a PC outside its network: through the central server's
// relay. The transport logs on to the server with the PC's account, names the PC by its
// station id, and then carries the same MsgHead messages as a LAN connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "device/transport.h"

namespace device {

struct RelayTarget {
  std::string host;     // the central server
  uint16_t port = 0;
  std::string email;    // the account the PC logged on with
  std::string hash;     // its password hash
  std::string station;  // the PC's station id
  std::string name = "tirvan-device";  // how this device calls itself
};

// Data bytes of an upload message through the relay: the longest message it carries
// (65,401 bytes) less the 20-byte upload head.
inline constexpr size_t kRelayUploadChunk = 0xFFFF - 134 - 20;

// Connects and logs on, within timeoutMs; null with *error set when the server cannot be
// reached or refuses the device.
std::unique_ptr<Transport> ConnectRelay(const RelayTarget& target, int timeoutMs,
                                        std::string* error);

// "HOST:PORT" into host and port. False when it is not that.
bool ParseHostPort(const std::string& text, std::string* host, uint16_t* port);

}  // namespace device
