// The peer-to-peer transport as the device program reaches it. UDT and its library live
// in a module of their own (tirvan-device-p2p.so beside the program), loaded the first
// time a command needs it: the library's start-up work then costs the LAN and relay
// commands nothing.
#pragma once

#include <memory>
#include <string>

#include "device/transport.h"
#include "device/udt_transport.h"

namespace device {

// The module's one entry point: a transport for target, or null with *error set (as
// ConnectUdt). The caller owns the transport; the module stays loaded for the process.
using ConnectUdtEntry = Transport* (*)(const P2PTarget* target, int timeoutMs,
                                       std::string* error);
inline constexpr const char* kP2PModuleEntry = "tirvan_device_connect_udt";
inline constexpr const char* kP2PModuleName = "tirvan-device-p2p.so";

// Loads the module from the program's own folder and connects through it; null with
// *error set when the module cannot be loaded or the connection fails.
std::unique_ptr<Transport> ConnectP2P(const P2PTarget& target, int timeoutMs,
                                      std::string* error);

}  // namespace device
