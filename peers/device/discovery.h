// Finding the PC on the LAN: a device broadcasts a short request to UDP port 61617 and
// every PC answers with a 206-byte reply naming its address, the port of its local
// server, its host name and its account.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "contract/ports.h"

namespace device {

struct DiscoveredPc {
  std::string address;   // the PC's address on this network (offset 70)
  uint16_t port = 0;     // its local server's TCP port
  uint16_t sysType = 0;
  std::string hostName;
  std::string email;     // the account it is logged on with
  std::string sender;    // where the reply came from, "ADDR:PORT"
};

struct DiscoverOptions {
  // Empty: broadcast to 255.255.255.255 at port and read the replies, which are broadcast
  // too, on that port. Otherwise the request goes to this address only and the replies
  // are read on the socket it was sent from.
  std::string address;
  uint16_t port = BROADPORT;
  uint16_t type = 4;      // the requester's type; the PC answers 4 and 5
  int timeoutMs = 2000;   // how long replies are collected
  bool firstOnly = false; // stop at the first reply
};

// Sends one request and collects the replies for timeoutMs, each PC once. False with
// *error set when the request could not be sent.
bool Discover(const DiscoverOptions& options, std::vector<DiscoveredPc>* out, std::string* error);
// A 206-byte reply ("qz", 6, ...); false for anything else.
bool ParseDiscoveryReply(const uint8_t* data, size_t len, DiscoveredPc* out);

}  // namespace device
