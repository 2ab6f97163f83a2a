// Host identity: the station id (a network interface's MAC address as text) that
// names this PC to the central server, and the PC's local IPv4 addresses.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// One network interface as the identity functions see it.
struct NetInterface {
  std::string name;
  unsigned index = 0;            // kernel interface index
  unsigned flags = 0;            // IFF_* flags
  std::vector<uint8_t> mac;      // hardware address; empty when the interface has none
  std::vector<uint32_t> ipv4;    // IPv4 addresses, network byte order, in system order
  bool isVirtual = false;        // no physical device behind it (bridge, veth, docker ...)
};

// Where the identity functions read the system. Tests install fakes; an empty member
// reads the real system.
struct HostProvider {
  // Fills out with the interfaces in any order. 0, or an error code.
  std::function<int(std::vector<NetInterface>& out)> interfaces;
  // The IPv4 addresses host resolves to, network byte order, resolver order.
  // 0, or -1 when the name does not resolve.
  std::function<int(const std::string& host, std::vector<uint32_t>& out)> resolve;
};

// Replaces the provider; HostProvider{} restores the system's.
void SetHostProvider(const HostProvider& provider);

// The system's interfaces from getifaddrs, sorted by index.
int SystemInterfaces(std::vector<NetInterface>& out);

// The host's IPv4 address as dotted text: the first address the host name resolves
// to, or, when that is a loopback address (127.0.1.1 on Debian), the first IPv4
// address of an interface that is up and not a loopback. 0, or -1 with out empty.
int GetLoaclIp(std::string& out);
// The same address in network byte order. 0, or -1 (out 0) when GetLoaclIp fails.
int GetLocalIpAddr(uint32_t& out);
// Each IPv4 address of the interfaces that are up and running, once, in interface
// order; loopback interfaces, 127.0.0.0/8 and 0.0.0.0 left out. 0, ERR_ALLOC, or the
// enumeration's error code with out empty.
int GetLocalIpList(std::vector<std::string>& out);
// "%02X-%02X-%02X-%02X-%02X-%02X" of every non-loopback interface that has a hardware
// address, in interface order (up or not). 0, ERR_ALLOC or the enumeration's code.
int GetMacList(std::vector<std::string>& out);
// The station id: the MAC text of the first physical interface with a globally
// unique, non-zero address, up or not, so the id stays the same across calls and
// restarts. Failing that, of the first non-loopback interface with a non-zero address,
// physical ones first, then those that are up. Empty when there is none.
std::string GetMacAddr();

// A text that one thread rewrites while others read it: every read is a copy.
class GuardedText {
 public:
  std::string Get() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_text;
  }
  void Set(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_text = text;
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_text;
};

// Station id text; set once by the start-up before other threads run.
extern std::string g_MacAddr;
// The station id, at most 63 characters and NUL-terminated: the id of every ServerMsgHead.
extern char g_MacBuf[64];
// The local IPv4 address; the server heartbeat refreshes it.
extern GuardedText g_LocalIp;
