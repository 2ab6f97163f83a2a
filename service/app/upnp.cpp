#include "app/upnp.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

namespace {

constexpr const char* kDescription = "Tirvan";
constexpr const char* kLease = "0";
constexpr uint16_t kExternalPortBase = 61616;

// miniupnpc behind IgdClient. Discovery and the chosen gateway's URLs live until the
// object goes away.
class MiniupnpcClient : public IgdClient {
 public:
  explicit MiniupnpcClient(std::string rootDescUrl) : m_rootDescUrl(std::move(rootDescUrl)) {
    std::memset(&m_urls, 0, sizeof m_urls);
    std::memset(&m_data, 0, sizeof m_data);
  }
  ~MiniupnpcClient() override {
    if (m_haveUrls) FreeUPNPUrls(&m_urls);
    if (m_devices != nullptr) freeUPNPDevlist(m_devices);
  }
  MiniupnpcClient(const MiniupnpcClient&) = delete;
  MiniupnpcClient& operator=(const MiniupnpcClient&) = delete;

  bool Discover(int delayMs) override {
    // A configured root description stands for the discovered device.
    if (!m_rootDescUrl.empty()) return true;
    // Gateways only: upnpDiscover would also search three other types in turn, each
    // waiting at least a second, so that a network without a gateway held the caller
    // four times as long. A version 2 gateway answers the search for version 1 too.
    static const char* const kTypes[] = {
        "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
        nullptr,
    };
    int error = 0;
    m_devices = upnpDiscoverDevices(kTypes, delayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2,
                                    &error, 0);
    return m_devices != nullptr;
  }

  bool SelectGateway(std::string* lanAddress) override {
    char lan[64] = {0};
    int rc = 0;
    if (!m_rootDescUrl.empty()) {
      rc = UPNP_GetIGDFromUrl(m_rootDescUrl.c_str(), &m_urls, &m_data, lan, sizeof lan);
    } else if (m_devices != nullptr) {
#if MINIUPNPC_API_VERSION >= 18
      char wan[64] = {0};
      rc = UPNP_GetValidIGD(m_devices, &m_urls, &m_data, lan, sizeof lan, wan, sizeof wan);
#else
      rc = UPNP_GetValidIGD(m_devices, &m_urls, &m_data, lan, sizeof lan);
#endif
    }
    // Every non-zero result fills the URLs, also for a gateway that reports itself
    // not connected: try it anyway, the router may still accept the mapping.
    m_haveUrls = true;
    if (rc == 0) return false;
    lan[sizeof lan - 1] = '\0';
    if (lanAddress != nullptr) *lanAddress = lan;
    return true;
  }

  int GetExternalIPAddress(std::string* address) override {
    char ip[64] = {0};
    int rc = UPNP_GetExternalIPAddress(m_urls.controlURL, m_data.first.servicetype, ip);
    ip[sizeof ip - 1] = '\0';
    if (address != nullptr) *address = rc == 0 ? ip : "";
    return rc;
  }

  int AddPortMapping(const UPnPMapping& m) override {
    return UPNP_AddPortMapping(m_urls.controlURL, m_data.first.servicetype, m.externalPort.c_str(),
                               m.internalPort.c_str(), m.internalClient.c_str(),
                               m.description.c_str(), m.protocol.c_str(), nullptr,
                               m.leaseDuration.c_str());
  }

  int GetSpecificPortMappingEntry(const std::string& externalPort, const std::string& protocol,
                                  UPnPMapping* out) override {
    char client[64] = {0};
    char port[16] = {0};
    char desc[96] = {0};
    char enabled[16] = {0};
    char lease[32] = {0};
    int rc = UPNP_GetSpecificPortMappingEntry(m_urls.controlURL, m_data.first.servicetype,
                                              externalPort.c_str(), protocol.c_str(), nullptr,
                                              client, port, desc, enabled, lease);
    if (out != nullptr) {
      *out = UPnPMapping{};
      if (rc == 0) {
        *out = UPnPMapping{externalPort, protocol, client, port, desc, enabled, lease};
      }
    }
    return rc;
  }

  int DeletePortMapping(const std::string& externalPort, const std::string& protocol) override {
    return UPNP_DeletePortMapping(m_urls.controlURL, m_data.first.servicetype,
                                  externalPort.c_str(), protocol.c_str(), nullptr);
  }

 private:
  std::string m_rootDescUrl;
  UPNPDev* m_devices = nullptr;
  UPNPUrls m_urls;
  IGDdatas m_data;
  bool m_haveUrls = false;
};

std::mutex g_upnpConfigMutex;
UPnPOptions g_upnpOptions = UPnPOptionsFromEnvironment();  // guarded by g_upnpConfigMutex
IgdClientFactory g_igdFactory;  // guarded by g_upnpConfigMutex

// One mapping at a time: the delete and the add of two callers must not interleave.
std::mutex g_upnpMapMutex;

const char* ErrorText(int code) {
  const char* text = strupnperror(code);
  return text != nullptr ? text : "UnknownError";
}

}  // namespace

UPnPOptions UPnPOptionsFromEnvironment() {
  UPnPOptions o;
  if (const char* url = std::getenv(kUPnPRootUrlEnv)) o.rootDescUrl = url;
  return o;
}

std::unique_ptr<IgdClient> NewMiniupnpcClient(const UPnPOptions& options) {
  return std::make_unique<MiniupnpcClient>(options.rootDescUrl);
}

void SetUPnPOptions(const UPnPOptions& options) {
  std::lock_guard<std::mutex> lock(g_upnpConfigMutex);
  g_upnpOptions = options;
}

UPnPOptions GetUPnPOptions() {
  std::lock_guard<std::mutex> lock(g_upnpConfigMutex);
  return g_upnpOptions;
}

void SetIgdClientFactory(IgdClientFactory factory) {
  std::lock_guard<std::mutex> lock(g_upnpConfigMutex);
  g_igdFactory = std::move(factory);
}

const char* UPnPProtoFix(const char* protocol) {
  if (protocol == nullptr) return nullptr;
  auto is = [protocol](const char* name) {
    for (int i = 0; i < 3; ++i) {
      if (std::tolower(static_cast<unsigned char>(protocol[i])) != name[i]) return false;
    }
    return protocol[3] == '\0' || protocol[3] == ' ' || protocol[3] == '\t';
  };
  if (is("tcp")) return "TCP";
  if (is("udp")) return "UDP";
  return nullptr;
}

uint16_t UPnPExternalPort(const std::string& lanAddress) {
  size_t dot = lanAddress.rfind('.');
  std::string last = dot == std::string::npos ? lanAddress : lanAddress.substr(dot + 1);
  // The number as atoi reads it: leading digits, anything else 0.
  unsigned long n = std::strtoul(last.c_str(), nullptr, 10);
  return static_cast<uint16_t>(n + kExternalPortBase);
}

int UPnPRemoveRedirect(const char* protocol, const char* externalPort, IgdClient& igd) {
  if (protocol == nullptr || externalPort == nullptr) {
    std::printf("invalid arguments\n");
    return 1;
  }
  const char* proto = UPnPProtoFix(protocol);
  if (proto == nullptr) {
    std::printf("protocol invalid\n");
    return 2;
  }
  int rc = igd.DeletePortMapping(externalPort, proto);
  std::printf("UPNP_DeletePortMapping() returned : %d\n", rc);
  return 0;
}

int UPnPSetRedirect(IgdClient& igd, const char* internalPort, const char* externalPort,
                    const char* internalClient, const char* protocol) {
  if (internalPort == nullptr || externalPort == nullptr || internalClient == nullptr ||
      protocol == nullptr)
    return 1;
  const char* proto = UPnPProtoFix(protocol);
  if (proto == nullptr) {
    std::printf("invalid protocol\n");
    return 2;
  }
  std::string external;
  igd.GetExternalIPAddress(&external);
  if (!external.empty()) {
    std::printf("ExternalIPAddress = %s\n", external.c_str());
  } else {
    std::printf("GetExternalIPAddress failed.\n");
  }

  UPnPMapping m{externalPort, proto, internalClient, internalPort, kDescription, "1", kLease};
  int rc = igd.AddPortMapping(m);
  int result = 0;
  if (rc != 0) {
    std::printf("AddPortMapping(%s, %s, %s) failed with code %d (%s)\n", externalPort,
                internalPort, internalClient, rc, ErrorText(rc));
    result = 3;
  }

  UPnPMapping back;
  rc = igd.GetSpecificPortMappingEntry(externalPort, proto, &back);
  if (rc != 0) {
    std::printf("GetSpecificPortMappingEntry() failed with code %d (%s)\n", rc, ErrorText(rc));
  }
  if (!back.internalClient.empty()) {
    std::printf("InternalIP:Port = %s:%s\n", back.internalClient.c_str(),
                back.internalPort.c_str());
    std::printf("external %s:%s %s is redirected to internal %s:%s (duration=%s)\n",
                external.c_str(), externalPort, proto, back.internalClient.c_str(),
                back.internalPort.c_str(), back.leaseDuration.c_str());
  }
  return result;
}

int UPnPMapPort(uint16_t internalPort, uint16_t* externalPort, bool tcp) {
  if (externalPort != nullptr) *externalPort = 0;
  if (internalPort == 0) return -1;

  UPnPOptions options;
  IgdClientFactory factory;
  {
    std::lock_guard<std::mutex> lock(g_upnpConfigMutex);
    options = g_upnpOptions;
    factory = g_igdFactory;
  }
  std::lock_guard<std::mutex> serial(g_upnpMapMutex);
  std::unique_ptr<IgdClient> igd = factory ? factory(options) : NewMiniupnpcClient(options);
  if (!igd || !igd->Discover(options.discoverDelayMs)) {
    std::printf("No IGD UPnP Device found on the network !\n");
    return 1;
  }
  std::string lan;
  if (!igd->SelectGateway(&lan)) {
    std::printf("No valid UPNP Internet Gateway Device found.\n");
    return 1;
  }

  uint16_t external = UPnPExternalPort(lan);
  std::string client = lan;
  std::string internal = std::to_string(internalPort);
  const char* proto = tcp ? "TCP" : "UDP";
  if (!tcp) {
    // UDP goes to the LAN's broadcast address, port 12345 on both sides.
    size_t dot = client.rfind('.');
    client = (dot == std::string::npos ? std::string() : client.substr(0, dot + 1)) + "255";
    external = kUPnPUdpPort;
    internal = std::to_string(kUPnPUdpPort);
  }
  std::string externalText = std::to_string(external);
  UPnPRemoveRedirect(proto, externalText.c_str(), *igd);
  int rc = UPnPSetRedirect(*igd, internal.c_str(), externalText.c_str(), client.c_str(), proto);
  if (rc == 0 && externalPort != nullptr) *externalPort = external;
  return 0;
}
