// Port mapping on the home router through UPnP: the local server's TCP port under an
// external port derived from the PC's LAN address, and UDP 12345 towards the LAN's
// broadcast address. Progress goes to standard output; nothing is logged.
//
// The router is reached through an IgdClient. The service's own client drives
// miniupnpc; it finds the gateway by SSDP, or, when a root description URL is
// configured, fetches that description directly (no multicast).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// One port mapping as the gateway holds it. Ports are decimal texts, as on the wire.
struct UPnPMapping {
  std::string externalPort;
  std::string protocol;        // "TCP" or "UDP"
  std::string internalClient;  // the LAN address the port is forwarded to
  std::string internalPort;
  std::string description;
  std::string enabled;         // "1" or "0"
  std::string leaseDuration;   // seconds as text; "0" unlimited
};

// The router as the mapping code sees it. One object serves one mapping attempt:
// Discover, SelectGateway, then the commands; the destructor frees what they got.
class IgdClient {
 public:
  virtual ~IgdClient() = default;
  // Looks for gateways, waiting up to delayMs. false when none answered.
  virtual bool Discover(int delayMs) = 0;
  // Chooses a valid Internet gateway among those found and learns this PC's address on
  // the gateway's LAN. false when there is none.
  virtual bool SelectGateway(std::string* lanAddress) = 0;
  // The commands return 0 or the gateway's error code (a UPnP code such as 714, or a
  // negative code when the exchange itself failed).
  virtual int GetExternalIPAddress(std::string* address) = 0;
  // Adds the mapping with no remote host (any).
  virtual int AddPortMapping(const UPnPMapping& mapping) = 0;
  // Reads the mapping of externalPort/protocol (no remote host) into out.
  virtual int GetSpecificPortMappingEntry(const std::string& externalPort,
                                          const std::string& protocol, UPnPMapping* out) = 0;
  virtual int DeletePortMapping(const std::string& externalPort, const std::string& protocol) = 0;
};

struct UPnPOptions {
  std::string rootDescUrl;     // "" finds the gateway by SSDP; else its root description
  int discoverDelayMs = 1000;  // how long SSDP discovery waits for answers
};

// The environment variable that sets rootDescUrl of a running service (demos and
// end-to-end tests with a gateway of their own). The options start out as
// UPnPOptionsFromEnvironment().
inline constexpr const char* kUPnPRootUrlEnv = "TIRVAN_UPNP_ROOT_URL";
UPnPOptions UPnPOptionsFromEnvironment();

// The miniupnpc client for these options.
std::unique_ptr<IgdClient> NewMiniupnpcClient(const UPnPOptions& options);

using IgdClientFactory = std::function<std::unique_ptr<IgdClient>(const UPnPOptions& options)>;

// Replace the options and the client maker (an empty factory restores miniupnpc).
// Any thread; takes effect at the next UPnPMapPort.
void SetUPnPOptions(const UPnPOptions& options);
UPnPOptions GetUPnPOptions();
void SetIgdClientFactory(IgdClientFactory factory);

// The TCP external port for a LAN address: its last number + 61616, modulo 65536.
uint16_t UPnPExternalPort(const std::string& lanAddress);

// The UDP port mapped towards the LAN's broadcast address.
inline constexpr uint16_t kUPnPUdpPort = 12345;

// Maps the internal port (TCP) or the UDP port 12345 (UDP) on the gateway: deletes an
// existing mapping of the same external port and protocol, adds the new one and reads
// it back. *externalPort (when given) gets the external port only when the gateway
// accepted the mapping, else 0. Returns 0 when a gateway was reached (whether or not it
// accepted the mapping), 1 when none was found, -1 for internal port 0. Calls are
// serialized, so two callers never interleave their delete and add.
int UPnPMapPort(uint16_t internalPort, uint16_t* externalPort, bool tcp);

// Adds the mapping externalPort -> internalClient:internalPort and reads it back.
// 0 added, 1 a missing argument, 2 an invalid protocol, 3 the gateway refused it.
int UPnPSetRedirect(IgdClient& igd, const char* internalPort, const char* externalPort,
                    const char* internalClient, const char* protocol);
// Deletes the mapping of the external port. 1 a missing argument, 2 an invalid
// protocol, else 0 (also when there was no such mapping).
int UPnPRemoveRedirect(const char* protocol, const char* externalPort, IgdClient& igd);

// "TCP" for a text that starts with "tcp" in any case followed by its end or a blank,
// "UDP" likewise, else nullptr.
const char* UPnPProtoFix(const char* protocol);
