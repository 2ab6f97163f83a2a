#include "network_probe.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

namespace tray {

bool IsNetworkAlive() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool alive = false;
  for (ifaddrs* i = list; i != nullptr && !alive; i = i->ifa_next) {
    if (i->ifa_addr == nullptr) continue;
    const int family = i->ifa_addr->sa_family;
    const unsigned flags = i->ifa_flags;
    alive = (family == AF_INET || family == AF_INET6) && (flags & IFF_UP) != 0 &&
            (flags & IFF_RUNNING) != 0 && (flags & IFF_LOOPBACK) == 0;
  }
  ::freeifaddrs(list);
  return alive;
}

}  // namespace tray
