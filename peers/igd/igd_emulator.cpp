#include "igd/igd_emulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/net.h"

namespace igd {

namespace {

constexpr size_t kMaxHeader = 16 * 1024;
constexpr size_t kMaxBody = 64 * 1024;

constexpr const char* kControlPath = "/ctl/IPConn";
constexpr const char* kCommonControlPath = "/ctl/CmnIfCfg";

std::string RootDescription() {
  return std::string(
      "<?xml version=\"1.0\"?>\r\n"
      "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
      "<specVersion><major>1</major><minor>0</minor></specVersion>"
      "<device>"
      "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
      "<friendlyName>Tirvan test gateway</friendlyName>"
      "<manufacturer>Tirvan</manufacturer>"
      "<modelName>tirvan-igd</modelName>"
      "<UDN>uuid:7c1d8f0e-2b4a-4c55-9e61-0a1b2c3d4e5f</UDN>"
      "<serviceList><service>"
      "<serviceType>urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType>"
      "<serviceId>urn:upnp-org:serviceId:L3Forwarding1</serviceId>"
      "<controlURL>/ctl/L3F</controlURL><eventSubURL>/evt/L3F</eventSubURL>"
      "<SCPDURL>/L3F.xml</SCPDURL>"
      "</service></serviceList>"
      "<deviceList><device>"
      "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
      "<friendlyName>WANDevice</friendlyName>"
      "<UDN>uuid:7c1d8f0e-2b4a-4c55-9e61-0a1b2c3d4e60</UDN>"
      "<serviceList><service>"
      "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
      "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>"
      "<controlURL>") + kCommonControlPath + "</controlURL>"
      "<eventSubURL>/evt/CmnIfCfg</eventSubURL><SCPDURL>/WANCfg.xml</SCPDURL>"
      "</service></serviceList>"
      "<deviceList><device>"
      "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
      "<friendlyName>WANConnectionDevice</friendlyName>"
      "<UDN>uuid:7c1d8f0e-2b4a-4c55-9e61-0a1b2c3d4e61</UDN>"
      "<serviceList><service>"
      "<serviceType>" + Emulator::kServiceType + "</serviceType>"
      "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
      "<controlURL>" + kControlPath + "</controlURL>"
      "<eventSubURL>/evt/IPConn</eventSubURL><SCPDURL>/WANIPCn.xml</SCPDURL>"
      "</service></serviceList>"
      "</device></deviceList>"
      "</device></deviceList>"
      "</device></root>\r\n";
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string XmlUnescape(const std::string& text) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool done = false;
    if (text[i] == '&') {
      for (const auto& [name, c] : kEntities) {
        if (text.compare(i, std::strlen(name), name) == 0) {
          out += c;
          i += std::strlen(name);
          done = true;
          break;
        }
      }
    }
    if (!done) out += text[i++];
  }
  return out;
}

// The arguments of a SOAP action: every element without a namespace prefix, with its
// text (the envelope, body and action elements carry prefixes).
std::map<std::string, std::string> SoapArguments(const std::string& body) {
  std::map<std::string, std::string> args;
  size_t pos = 0;
  while ((pos = body.find('<', pos)) != std::string::npos) {
    size_t end = body.find('>', pos);
    if (end == std::string::npos) break;
    std::string tag = body.substr(pos + 1, end - pos - 1);
    pos = end + 1;
    if (tag.empty() || tag[0] == '/' || tag[0] == '?' || tag[0] == '!') continue;
    bool selfClosing = tag.back() == '/';
    if (selfClosing) tag.pop_back();
    std::string name = tag.substr(0, tag.find_first_of(" \t\r\n"));
    if (name.empty() || name.find(':') != std::string::npos || name == "Envelope" ||
        name == "Body")
      continue;
    if (selfClosing) {
      args[name] = "";
      continue;
    }
    std::string close = "</" + name + ">";
    size_t stop = body.find(close, pos);
    if (stop == std::string::npos) continue;
    args[name] = XmlUnescape(body.substr(pos, stop - pos));
    pos = stop + close.size();
  }
  return args;
}

std::string HttpAnswer(const char* status, const std::string& body) {
  return std::string("HTTP/1.1 ") + status + "\r\n"
         "Content-Type: text/xml; charset=\"utf-8\"\r\n"
         "Connection: close\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n"
         "Server: tirvan-igd\r\n\r\n" + body;
}

std::string Envelope(const std::string& inner) {
  return "<?xml version=\"1.0\"?>\r\n"
         "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>" +
         inner + "</s:Body></s:Envelope>\r\n";
}

std::string SoapOk(const std::string& action,
                   const std::vector<std::pair<std::string, std::string>>& values) {
  std::string inner = "<u:" + action + "Response xmlns:u=\"" + Emulator::kServiceType + "\">";
  for (const auto& [name, value] : values) {
    inner += "<" + name + ">" + XmlEscape(value) + "</" + name + ">";
  }
  inner += "</u:" + action + "Response>";
  return HttpAnswer("200 OK", Envelope(inner));
}

const char* ErrorName(int code) {
  switch (code) {
    case 401: return "Invalid Action";
    case 402: return "Invalid Args";
    case 501: return "Action Failed";
    case 606: return "Action not authorized";
    case 713: return "SpecifiedArrayIndexInvalid";
    case 714: return "NoSuchEntryInArray";
    case 716: return "WildCardNotPermittedInExtPort";
    case 718: return "ConflictInMappingEntry";
    case 724: return "SamePortValuesRequired";
    case 725: return "OnlyPermanentLeasesSupported";
    default: return "Error";
  }
}

std::string SoapFault(int code) {
  return HttpAnswer(
      "500 Internal Server Error",
      Envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
               "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
               std::to_string(code) + "</errorCode><errorDescription>" + ErrorName(code) +
               "</errorDescription></UPnPError></detail></s:Fault>"));
}

// A port text: decimal, 0 to 65535. -1 when it is not one.
long PortOf(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  long v = std::stol(text);
  return v <= 65535 ? v : -1;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reads what is available into buf until the deadline. false on close, error or time-out.
bool ReadSome(int fd, std::string* buf, int64_t deadline) {
  int64_t left = deadline - NowMs();
  if (left <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  int rc = ::poll(&p, 1, static_cast<int>(left));
  if (rc <= 0) return false;
  char chunk[4096];
  ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  buf->append(chunk, static_cast<size_t>(n));
  return true;
}

}  // namespace

Emulator::Emulator(EmulatorOptions options) : m_options(std::move(options)) {}

Emulator::~Emulator() { Stop(); }

bool Emulator::Start(std::string* error) {
  uint32_t addr = 0;
  if (platform::ResolveIpv4(m_options.host, &addr) != 0) {
    if (error != nullptr) *error = "cannot resolve " + m_options.host;
    return false;
  }
  m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listen < 0) {
    if (error != nullptr) *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = addr;
  sin.sin_port = htons(m_options.port);
  if (::bind(m_listen, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      ::listen(m_listen, 16) != 0) {
    if (error != nullptr) {
      *error = "cannot listen on " + m_options.host + ":" + std::to_string(m_options.port) +
               ": " + std::strerror(errno);
    }
    ::close(m_listen);
    m_listen = -1;
    return false;
  }
  socklen_t len = sizeof sin;
  ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&sin), &len);
  m_port = ntohs(sin.sin_port);
  m_stop = false;
  m_thread = std::thread([this] { AcceptLoop(); });
  return true;
}

void Emulator::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_listen >= 0) {
    ::close(m_listen);
    m_listen = -1;
  }
}

std::string Emulator::RootUrl() const {
  return "http://" + m_options.host + ":" + std::to_string(m_port) + kRootPath;
}

void Emulator::FailAction(const std::string& action, int code, int times) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (code == 0) {
    m_scripts.erase(action);
  } else {
    m_scripts[action] = Script{code, times};
  }
}

void Emulator::AddMapping(const Mapping& mapping) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_mappings[{mapping.protocol, mapping.externalPort}] = mapping;
}

std::vector<Mapping> Emulator::Mappings() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<Mapping> out;
  for (const auto& [key, m] : m_mappings) out.push_back(m);
  return out;
}

std::optional<Mapping> Emulator::Find(const std::string& protocol,
                                      const std::string& externalPort) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_mappings.find({protocol, externalPort});
  if (it == m_mappings.end()) return std::nullopt;
  return it->second;
}

std::vector<Action> Emulator::Actions() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_actions;
}

void Emulator::ClearActions() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_actions.clear();
}

void Emulator::Log(const std::string& line) {
  if (m_options.log) m_options.log(line);
}

void Emulator::AcceptLoop() {
  while (!m_stop) {
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // One request at a time: a gateway's client never sends two at once.
    Serve(fd);
    ::close(fd);
  }
}

void Emulator::Serve(int fd) {
  if (m_dead) return;
  int64_t deadline = NowMs() + m_options.ioTimeoutMs;
  std::string buf;
  size_t headerEnd;
  while ((headerEnd = buf.find("\r\n\r\n")) == std::string::npos) {
    if (buf.size() > kMaxHeader || !ReadSome(fd, &buf, deadline)) return;
  }
  std::string header = buf.substr(0, headerEnd);
  std::string body = buf.substr(headerEnd + 4);

  size_t lineEnd = header.find("\r\n");
  std::string requestLine = header.substr(0, lineEnd);
  size_t sp1 = requestLine.find(' ');
  size_t sp2 = requestLine.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) {
    std::string answer = HttpAnswer("400 Bad Request", "");
    platform::SendAll(fd, answer.data(), answer.size());
    return;
  }
  std::string method = requestLine.substr(0, sp1);
  std::string path = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);

  size_t contentLength = 0;
  std::string soapAction;
  size_t pos = lineEnd == std::string::npos ? header.size() : lineEnd + 2;
  while (pos < header.size()) {
    size_t next = header.find("\r\n", pos);
    if (next == std::string::npos) next = header.size();
    std::string line = header.substr(pos, next - pos);
    pos = next + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = Lower(line.substr(0, colon));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    if (name == "content-length") {
      long n = PortOf(value);  // any decimal up to 5 digits
      if (n < 0 || static_cast<size_t>(n) > kMaxBody) {
        std::string answer = HttpAnswer("413 Payload Too Large", "");
        platform::SendAll(fd, answer.data(), answer.size());
        return;
      }
      contentLength = static_cast<size_t>(n);
    } else if (name == "soapaction") {
      soapAction = value;
    }
  }
  while (body.size() < contentLength) {
    if (!ReadSome(fd, &body, deadline)) return;
  }
  body.resize(contentLength);

  std::string answer = Handle(method, path, soapAction, body);
  platform::SendAll(fd, answer.data(), answer.size());
}

std::string Emulator::Handle(const std::string& method, const std::string& path,
                             const std::string& soapAction, const std::string& body) {
  if (method == "GET") {
    if (path == kRootPath) {
      Log("GET " + path + " -> 200");
      return HttpAnswer("200 OK", RootDescription());
    }
    Log("GET " + path + " -> 404");
    return HttpAnswer("404 Not Found", "");
  }
  if (method != "POST") {
    Log(method + " " + path + " -> 405");
    return HttpAnswer("405 Method Not Allowed", "");
  }
  // SOAPAction: "urn:schemas-upnp-org:service:WANIPConnection:1#AddPortMapping"
  std::string action = soapAction;
  action.erase(0, action.find_first_not_of('"'));
  if (!action.empty() && action.back() == '"') action.pop_back();
  size_t hash = action.find('#');
  std::string name = hash == std::string::npos ? "" : action.substr(hash + 1);
  if (path != kControlPath && path != kCommonControlPath) {
    Log("POST " + path + " -> 404");
    return HttpAnswer("404 Not Found", "");
  }
  return Soap(name, body);
}

std::string Emulator::Soap(const std::string& action, const std::string& body) {
  Action record{action, SoapArguments(body), 0};
  const auto& a = record.args;
  auto arg = [&a](const char* key) {
    auto it = a.find(key);
    return it == a.end() ? std::string() : it->second;
  };

  std::string answer;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto script = m_scripts.find(action);
    if (script != m_scripts.end()) {
      record.errorCode = script->second.code;
      if (script->second.times > 0 && --script->second.times == 0) m_scripts.erase(script);
    } else if (action == "GetStatusInfo") {
      answer = SoapOk(action, {{"NewConnectionStatus", m_options.connectionStatus},
                               {"NewLastConnectionError", "ERROR_NONE"},
                               {"NewUptime", "1000"}});
    } else if (action == "GetExternalIPAddress") {
      answer = SoapOk(action, {{"NewExternalIPAddress", m_options.externalIp}});
    } else if (action == "GetConnectionTypeInfo") {
      answer = SoapOk(action, {{"NewConnectionType", "IP_Routed"},
                               {"NewPossibleConnectionTypes", "IP_Routed"}});
    } else if (action == "AddPortMapping") {
      Mapping m{arg("NewRemoteHost"),  arg("NewExternalPort"),   arg("NewProtocol"),
                arg("NewInternalPort"), arg("NewInternalClient"), arg("NewEnabled"),
                arg("NewPortMappingDescription"), arg("NewLeaseDuration")};
      long ext = PortOf(m.externalPort);
      long in = PortOf(m.internalPort);
      if (m.protocol != "TCP" && m.protocol != "UDP") {
        record.errorCode = 402;
      } else if (ext == 0) {
        record.errorCode = 716;
      } else if (ext < 0 || in <= 0 || m.internalClient.empty()) {
        record.errorCode = 402;
      } else {
        auto it = m_mappings.find({m.protocol, m.externalPort});
        if (it != m_mappings.end() && it->second.internalClient != m.internalClient) {
          record.errorCode = 718;  // the port is forwarded to another host
        } else {
          m_mappings[{m.protocol, m.externalPort}] = m;
          answer = SoapOk(action, {});
        }
      }
    } else if (action == "DeletePortMapping") {
      if (m_mappings.erase({arg("NewProtocol"), arg("NewExternalPort")}) == 0) {
        record.errorCode = 714;
      } else {
        answer = SoapOk(action, {});
      }
    } else if (action == "GetSpecificPortMappingEntry") {
      auto it = m_mappings.find({arg("NewProtocol"), arg("NewExternalPort")});
      if (it == m_mappings.end()) {
        record.errorCode = 714;
      } else {
        const Mapping& m = it->second;
        answer = SoapOk(action, {{"NewInternalPort", m.internalPort},
                                 {"NewInternalClient", m.internalClient},
                                 {"NewEnabled", m.enabled},
                                 {"NewPortMappingDescription", m.description},
                                 {"NewLeaseDuration", m.leaseDuration}});
      }
    } else if (action == "GetGenericPortMappingEntry") {
      long index = PortOf(arg("NewPortMappingIndex"));
      if (index < 0 || static_cast<size_t>(index) >= m_mappings.size()) {
        record.errorCode = 713;
      } else {
        auto it = m_mappings.begin();
        std::advance(it, index);
        const Mapping& m = it->second;
        answer = SoapOk(action, {{"NewRemoteHost", m.remoteHost},
                                 {"NewExternalPort", m.externalPort},
                                 {"NewProtocol", m.protocol},
                                 {"NewInternalPort", m.internalPort},
                                 {"NewInternalClient", m.internalClient},
                                 {"NewEnabled", m.enabled},
                                 {"NewPortMappingDescription", m.description},
                                 {"NewLeaseDuration", m.leaseDuration}});
      }
    } else {
      record.errorCode = 401;
    }
    m_actions.push_back(record);
  }

  std::string line = "SOAP " + (action.empty() ? std::string("(none)") : action);
  for (const auto& [k, v] : record.args) line += " " + k + "=" + v;
  line += record.errorCode == 0 ? " -> ok" : " -> " + std::to_string(record.errorCode);
  Log(line);
  return record.errorCode == 0 ? answer : SoapFault(record.errorCode);
}

}  // namespace igd
