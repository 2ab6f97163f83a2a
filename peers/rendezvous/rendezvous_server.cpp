#include "rendezvous/rendezvous_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "comm/p2p_client.h"
#include "comm/wire.h"
#include "rendezvous/rendezvous_wire.h"

namespace rendezvous {

namespace {

uint64_t KeyOf(const uint8_t id[6]) {
  uint64_t k = 0;
  for (int i = 0; i < 6; ++i) k = (k << 8) | id[i];
  return k;
}

}  // namespace

RendezvousServer::RendezvousServer(RendezvousOptions options) : m_opt(std::move(options)) {}

RendezvousServer::~RendezvousServer() {
  Stop();
  Wait();
}

std::string RendezvousServer::StationText(const uint8_t id[6]) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02X-%02X-%02X-%02X-%02X-%02X", id[0], id[1], id[2], id[3],
                id[4], id[5]);
  return buf;
}

bool RendezvousServer::Start(std::string* error) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(m_opt.listenPort);
  if (::inet_pton(AF_INET, m_opt.listenHost.c_str(), &sin.sin_addr) != 1) {
    *error = "bad listen address " + m_opt.listenHost;
    return false;
  }
  m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    *error = "cannot listen on " + AddrText(sin.sin_addr.s_addr, m_opt.listenPort) + ": " +
             std::strerror(errno);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    return false;
  }
  socklen_t len = sizeof sin;
  ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &len);
  m_port = ntohs(sin.sin_port);
  m_thread = std::thread([this] { Loop(); });
  return true;
}

void RendezvousServer::Stop() { m_stop = true; }

void RendezvousServer::Wait() {
  if (m_thread.joinable()) m_thread.join();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

std::string RendezvousServer::ListenAddress() const {
  return m_opt.listenHost + ":" + std::to_string(m_port);
}

std::vector<StationInfo> RendezvousServer::Stations() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<StationInfo> out;
  for (const auto& [key, s] : m_stations) out.push_back(s.info);
  return out;
}

RendezvousCounters RendezvousServer::Counters() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_counters;
}

void RendezvousServer::Log(const char* fmt, ...) {
  if (!m_opt.log) return;
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  m_opt.log(buf);
}

void RendezvousServer::Loop() {
  uint8_t buf[kP2PDatagramMax];
  while (!m_stop) {
    pollfd pfd{m_fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(m_opt.pollMs));
    Expire();
    if (r <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(m_fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                           &len);
    if (n < 0 || from.sin_family != AF_INET) continue;
    Handle(buf, static_cast<size_t>(n), from);
  }
}

void RendezvousServer::Handle(const uint8_t* data, size_t len, const sockaddr_in& from) {
  switch (P2POpcode(data, len)) {
    case P2P_HEART_BEAT:
      OnHeartBeat(data, len, from);
      return;
    case P2P_CONNECT_REQ:
      OnConnectReq(data, len, from);
      return;
    case P2P_HOLE_PUNCH:
      OnPunch(data, len, from);
      return;
    default: {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_counters.ignored;
    }
  }
}

void RendezvousServer::OnHeartBeat(const uint8_t* data, size_t len, const sockaddr_in& from) {
  static const uint8_t kNoId[6] = {};
  if (len < kP2PHeartBeatSize || std::memcmp(data + 54, kNoId, 6) == 0) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counters.ignored;
    return;
  }
  const Key key = KeyOf(data + 54);
  const uint32_t addr = from.sin_addr.s_addr;
  const uint16_t port = ntohs(from.sin_port);
  bool added = false;
  bool moved = false;
  bool full = false;
  std::string id = StationText(data + 54);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counters.heartBeats;
    auto it = m_stations.find(key);
    if (it == m_stations.end()) {
      if (m_stations.size() >= m_opt.maxStations) {
        full = true;
      } else {
        it = m_stations.emplace(key, Station{}).first;
        it->second.info.stationId = id;
        added = true;
      }
    }
    if (!full) {
      Station& s = it->second;
      moved = !added && (s.info.addr != addr || s.info.port != port);
      s.info.hostName = wire::GetText(data + 22, 32);
      s.info.email = wire::GetText(data + 86, 32);
      s.info.addr = addr;
      s.info.port = port;
      ++s.info.heartBeats;
      s.lastSeen = std::chrono::steady_clock::now();
    }
  }
  if (full) Log("station %s dropped: %zu stations known", id.c_str(), m_opt.maxStations);
  if (added || moved) {
    Log("station %s (%s) at %s", id.c_str(), wire::GetText(data + 22, 32).c_str(),
        AddrText(addr, port).c_str());
  }
}

void RendezvousServer::OnConnectReq(const uint8_t* data, size_t len, const sockaddr_in& from) {
  const uint32_t devAddr = from.sin_addr.s_addr;
  const uint16_t devPort = ntohs(from.sin_port);
  if (len < kConnectReqSize) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counters.ignored;
    return;
  }
  const std::string id = StationText(data + 6);
  ConnectInfo info;
  info.deviceAddr = devAddr;
  info.devicePort = devPort;
  uint32_t session = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counters.connectRequests;
    auto it = m_stations.find(KeyOf(data + 6));
    if (it == m_stations.end()) {
      ++m_counters.unknownStations;
    } else {
      info.result = kInfoFound;
      info.pcAddr = it->second.info.addr;
      info.pcPort = it->second.info.port;
      session = m_nextSession++;
      m_counters.punchesSent += kPunchRepeat;
    }
  }
  uint8_t reply[kConnectInfoSize];
  BuildConnectInfo(reply, info);
  if (info.result != kInfoFound) {
    SendTo(reply, sizeof reply, devAddr, devPort);
    Log("device %s asks for unknown station %s", AddrText(devAddr, devPort).c_str(), id.c_str());
    return;
  }
  // The PC first, so that its punch towards the device opens its own router before the
  // device's punches arrive. It sends the two address pairs on, swapped, to the device
  // and back here.
  uint8_t punch[kHolePunchMsgSize] = {};
  P2PMsgHead{static_cast<uint16_t>(kHolePunchMsgSize), kP2PHeadConstant, P2P_HOLE_PUNCH}.Encode(punch);
  HolePunchMsg p;
  p.from = 1;
  p.addr1 = devAddr;
  p.port1 = devPort;
  p.addr2 = info.pcAddr;
  p.port2 = info.pcPort;
  wire::PutU32(p.passOn, session);
  p.EncodeBody(punch);
  for (int i = 0; i < kPunchRepeat; ++i) SendTo(punch, sizeof punch, info.pcAddr, info.pcPort);
  SendTo(reply, sizeof reply, devAddr, devPort);
  Log("device %s connects to station %s at %s, session %u", AddrText(devAddr, devPort).c_str(),
      id.c_str(), AddrText(info.pcAddr, info.pcPort).c_str(), session);
}

void RendezvousServer::OnPunch(const uint8_t* data, size_t len, const sockaddr_in& from) {
  if (len < kHolePunchMsgSize) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counters.ignored;
    return;
  }
  const uint32_t session = wire::GetU32(data + 20);
  std::string id;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [key, s] : m_stations) {
      if (s.info.addr == from.sin_addr.s_addr && s.info.port == ntohs(from.sin_port)) {
        ++s.info.confirmations;
        id = s.info.stationId;
        break;
      }
    }
    if (id.empty()) {
      ++m_counters.ignored;
      return;
    }
    ++m_counters.confirmations;
  }
  Log("station %s confirms session %u", id.c_str(), session);
}

void RendezvousServer::Expire() {
  const auto now = std::chrono::steady_clock::now();
  const auto ttl = std::chrono::milliseconds(m_opt.stationTtlMs);
  std::vector<std::string> gone;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_stations.begin(); it != m_stations.end();) {
      if (now - it->second.lastSeen > ttl) {
        gone.push_back(it->second.info.stationId);
        it = m_stations.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::string& id : gone) Log("station %s gone quiet", id.c_str());
}

void RendezvousServer::SendTo(const uint8_t* data, size_t len, uint32_t addr, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = addr;
  to.sin_port = htons(port);
  ::sendto(m_fd, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

}  // namespace rendezvous
