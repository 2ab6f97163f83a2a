// tirvan-rendezvous: the P2P rendezvous server. PCs announce themselves with a heartbeat
// every 10 s on their P2P socket; a device asks for a PC by its station id, and the
// server tells the device where the PC is and punches the PC (three times) with the
// device's address, so that both open their routers towards each other. The PC's
// forwarded punch comes back here too and counts as its confirmation.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

namespace rendezvous {

struct RendezvousOptions {
  std::string listenHost = "127.0.0.1";
  uint16_t listenPort = 0;        // 0: the system picks one (ListenAddress names it)
  unsigned stationTtlMs = 35000;  // a PC not heard from for this long is forgotten
  size_t maxStations = 10000;     // PCs kept at once; heartbeats of further ones are dropped
  unsigned pollMs = 200;          // how often the loop looks at Stop and expires PCs
  std::function<void(const std::string& line)> log;  // empty: no log
};

// A PC as the server knows it.
struct StationInfo {
  std::string stationId;  // "00-1A-2B-3C-4D-5E"
  std::string hostName;
  std::string email;
  uint32_t addr = 0;      // network order: where its heartbeats come from
  uint16_t port = 0;
  uint64_t heartBeats = 0;
  uint64_t confirmations = 0;  // forwarded punches it sent back
};

struct RendezvousCounters {
  uint64_t heartBeats = 0;
  uint64_t connectRequests = 0;
  uint64_t unknownStations = 0;
  uint64_t punchesSent = 0;
  uint64_t confirmations = 0;
  uint64_t ignored = 0;  // malformed or unexpected datagrams
};

class RendezvousServer {
 public:
  explicit RendezvousServer(RendezvousOptions options);
  ~RendezvousServer();
  RendezvousServer(const RendezvousServer&) = delete;
  RendezvousServer& operator=(const RendezvousServer&) = delete;

  // Binds the UDP socket and starts the loop on a thread of its own.
  bool Start(std::string* error);
  // Ends the loop (within pollMs) and closes the socket. Safe to call twice.
  void Stop();
  // Blocks until the loop has ended.
  void Wait();

  uint16_t port() const { return m_port; }
  std::string ListenAddress() const;
  std::vector<StationInfo> Stations() const;
  RendezvousCounters Counters() const;

  // Station id bytes as text, "%02X-%02X-..." like the service's station id.
  static std::string StationText(const uint8_t id[6]);

 private:
  struct Station {
    StationInfo info;
    std::chrono::steady_clock::time_point lastSeen;
  };
  using Key = uint64_t;  // the 6 id bytes

  void Loop();
  void Handle(const uint8_t* data, size_t len, const sockaddr_in& from);
  void OnHeartBeat(const uint8_t* data, size_t len, const sockaddr_in& from);
  void OnConnectReq(const uint8_t* data, size_t len, const sockaddr_in& from);
  void OnPunch(const uint8_t* data, size_t len, const sockaddr_in& from);
  void Expire();
  void SendTo(const uint8_t* data, size_t len, uint32_t addr, uint16_t port);
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  RendezvousOptions m_opt;
  int m_fd = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  uint32_t m_nextSession = 1;

  mutable std::mutex m_mutex;  // guards the two below
  std::map<Key, Station> m_stations;
  RendezvousCounters m_counters;
};

}  // namespace rendezvous
