// Whether this PC has a network: an interface other than loopback that is up and running
// and holds an IPv4 or IPv6 address.
#pragma once

namespace tray {

bool IsNetworkAlive();

}  // namespace tray
