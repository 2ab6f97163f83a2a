#include "comm/host_identity.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include "comm/errors.h"
#include "comm/log.h"
#include "platform/net.h"

std::string g_MacAddr;
char g_MacBuf[64] = {};
GuardedText g_LocalIp;

namespace {

std::mutex& ProviderLock() {
  static std::mutex m;
  return m;
}

HostProvider& Provider() {
  static HostProvider p;
  return p;
}

// Names of interfaces that never stand for a network card, whatever sysfs says.
bool HasVirtualName(const std::string& name) {
  if (name == "lo") return true;
  static const char* const kPrefixes[] = {"docker", "veth", "br-", "virbr"};
  for (const char* prefix : kPrefixes) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// A physical card has a device link in sysfs; bridges, tunnels and veth pairs do not.
bool IsVirtualInterface(const std::string& name) {
  if (HasVirtualName(name)) return true;
  struct stat st {};
  std::string link = "/sys/class/net/" + name + "/device";
  return ::lstat(link.c_str(), &st) != 0;
}

bool IsLoopbackInterface(const NetInterface& nic) {
  return (nic.flags & IFF_LOOPBACK) != 0 || nic.name == "lo";
}

bool IsUpAndRunning(const NetInterface& nic) {
  return (nic.flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING);
}

int SystemResolve(const std::string& host, std::vector<uint32_t>& out) {
  out.clear();
  // gethostbyname_r keeps the resolver's order and, unlike gethostbyname, shares no
  // buffer with the heartbeat thread.
  std::vector<char> buf(1024);
  hostent entry {};
  hostent* result = nullptr;
  int herr = 0;
  for (;;) {
    int rc = ::gethostbyname_r(host.c_str(), &entry, buf.data(), buf.size(), &result, &herr);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr) return -1;
    break;
  }
  if (result->h_addrtype != AF_INET || result->h_length != 4) return 0;
  for (char** addr = result->h_addr_list; *addr != nullptr; ++addr) {
    uint32_t v = 0;
    std::memcpy(&v, *addr, 4);
    out.push_back(v);
  }
  return 0;
}

HostProvider CurrentProvider() {
  std::lock_guard<std::mutex> lock(ProviderLock());
  HostProvider p = Provider();
  if (!p.interfaces) p.interfaces = SystemInterfaces;
  if (!p.resolve) p.resolve = SystemResolve;
  return p;
}

// The provider's interfaces in index order (the order of equal indexes kept).
int ReadInterfaces(std::vector<NetInterface>& out) {
  out.clear();
  int rc = CurrentProvider().interfaces(out);
  if (rc != 0) {
    out.clear();
    return rc;
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const NetInterface& a, const NetInterface& b) { return a.index < b.index; });
  return 0;
}

std::string AddrText(uint32_t addrNetworkOrder) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a {};
  a.s_addr = addrNetworkOrder;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

// The MAC text of the first six bytes of the address (missing bytes count as 0).
std::string MacText(const std::vector<uint8_t>& mac) {
  uint8_t b[6] = {};
  std::copy_n(mac.begin(), std::min<size_t>(mac.size(), 6), b);
  char text[32];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3],
                b[4], b[5]);
  return text;
}

bool IsZeroMac(const std::vector<uint8_t>& mac) {
  size_t n = std::min<size_t>(mac.size(), 6);
  return std::all_of(mac.begin(), mac.begin() + static_cast<long>(n),
                     [](uint8_t b) { return b == 0; });
}

// Bit 1 of the first byte marks an address the system made up (random or assigned by
// software); such an address may change when the interface is recreated.
bool IsLocallyAdministered(const std::vector<uint8_t>& mac) {
  return !mac.empty() && (mac[0] & 0x02) != 0;
}

// The first IPv4 address, not a loopback one, of an interface that is up: physical
// interfaces before virtual ones.
std::string FirstInterfaceAddress(const std::vector<NetInterface>& nics) {
  for (int pass = 0; pass < 2; ++pass) {
    for (const NetInterface& nic : nics) {
      if (IsLoopbackInterface(nic) || !IsUpAndRunning(nic)) continue;
      if (pass == 0 && nic.isVirtual) continue;
      for (uint32_t addr : nic.ipv4) {
        if (addr != 0 && !platform::IsLoopbackV4(addr)) return AddrText(addr);
      }
    }
  }
  return "";
}

}  // namespace

void SetHostProvider(const HostProvider& provider) {
  std::lock_guard<std::mutex> lock(ProviderLock());
  Provider() = provider;
}

int SystemInterfaces(std::vector<NetInterface>& out) {
  out.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return errno != 0 ? errno : -1;
  std::map<unsigned, NetInterface> byIndex;
  try {
    for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_name == nullptr || ifa->ifa_addr == nullptr) continue;
      int family = ifa->ifa_addr->sa_family;
      if (family != AF_PACKET && family != AF_INET) continue;
      // An address label such as "eth0:1" belongs to eth0.
      std::string name = ifa->ifa_name;
      std::string base = name.substr(0, name.find(':'));
      unsigned index = 0;
      if (family == AF_PACKET) {
        index = static_cast<unsigned>(reinterpret_cast<sockaddr_ll*>(ifa->ifa_addr)->sll_ifindex);
      } else {
        index = ::if_nametoindex(base.c_str());
      }
      if (index == 0) continue;
      NetInterface& nic = byIndex[index];
      nic.index = index;
      nic.flags = ifa->ifa_flags;
      if (nic.name.empty()) nic.name = base;
      if (family == AF_PACKET) {
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(ifa->ifa_addr);
        size_t len = std::min<size_t>(ll->sll_halen, sizeof ll->sll_addr);
        nic.mac.assign(ll->sll_addr, ll->sll_addr + len);
      } else {
        nic.ipv4.push_back(reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr);
      }
    }
  } catch (const std::bad_alloc&) {
    ::freeifaddrs(list);
    return ERR_ALLOC;
  }
  ::freeifaddrs(list);
  for (auto& [index, nic] : byIndex) {
    nic.isVirtual = IsVirtualInterface(nic.name);
    out.push_back(std::move(nic));
  }
  return 0;
}

int GetLoaclIp(std::string& out) {
  out.clear();
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "get gethostname error return code %d.", errno);
    return -1;
  }
  HostProvider provider = CurrentProvider();
  std::vector<uint32_t> addrs;
  if (provider.resolve(host, addrs) != 0) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "get gethostbyname error.");
    return -1;
  }
  int result = -1;
  if (!addrs.empty()) {
    if (!platform::IsLoopbackV4(addrs.front())) {
      out = AddrText(addrs.front());
    } else {
      // The host name maps to a loopback address (127.0.1.1 in Debian's /etc/hosts),
      // useless to the server, the router and the devices: take an interface's.
      std::vector<NetInterface> nics;
      if (ReadInterfaces(nics) == 0) out = FirstInterfaceAddress(nics);
    }
    if (!out.empty()) result = 0;
  }
  TLOG(MOD_COMMLIB, LOG_DEBUG, "Local ip %s.", out.c_str());
  return result;
}

int GetLocalIpAddr(uint32_t& out) {
  out = 0;
  std::string text;
  if (GetLoaclIp(text) != 0) return -1;
  out = ::inet_addr(text.c_str());
  return 0;
}

int GetLocalIpList(std::vector<std::string>& out) {
  out.clear();
  try {
    std::vector<NetInterface> nics;
    int rc = ReadInterfaces(nics);
    if (rc != 0) return rc;
    for (const NetInterface& nic : nics) {
      if (IsLoopbackInterface(nic) || !IsUpAndRunning(nic)) continue;
      for (uint32_t addr : nic.ipv4) {
        if (addr == 0 || platform::IsLoopbackV4(addr)) continue;
        std::string text = AddrText(addr);
        if (std::find(out.begin(), out.end(), text) == out.end()) out.push_back(text);
      }
    }
  } catch (const std::bad_alloc&) {
    out.clear();
    return ERR_ALLOC;
  }
  return 0;
}

int GetMacList(std::vector<std::string>& out) {
  out.clear();
  try {
    std::vector<NetInterface> nics;
    int rc = ReadInterfaces(nics);
    if (rc != 0) return rc;
    for (const NetInterface& nic : nics) {
      if (IsLoopbackInterface(nic) || nic.mac.empty()) continue;
      out.push_back(MacText(nic.mac));
    }
  } catch (const std::bad_alloc&) {
    out.clear();
    return ERR_ALLOC;
  }
  return 0;
}

std::string GetMacAddr() {
  try {
    std::vector<NetInterface> nics;
    if (ReadInterfaces(nics) != 0) return "";
    // A physical card's factory address wins. Link state is ignored there: an
    // unplugged cable must not change the id.
    const NetInterface* fallback = nullptr;
    auto rank = [](const NetInterface& nic) {
      return (nic.isVirtual ? 2 : 0) + ((nic.flags & IFF_UP) != 0 ? 0 : 1);
    };
    for (const NetInterface& nic : nics) {
      if (IsLoopbackInterface(nic) || nic.mac.empty() || IsZeroMac(nic.mac)) continue;
      if (!nic.isVirtual && !IsLocallyAdministered(nic.mac)) return MacText(nic.mac);
      // No such card (a container, a virtual machine): a card with an assigned address,
      // else an interface that is up, before idle virtual ones with random addresses.
      if (fallback == nullptr || rank(nic) < rank(*fallback)) fallback = &nic;
    }
    return fallback != nullptr ? MacText(fallback->mac) : "";
  } catch (const std::bad_alloc&) {
    return "";
  }
}
