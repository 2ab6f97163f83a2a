// tirvan-central: the central server the PCs log on to and report to. One libevent
// loop serves every TCP connection. Each connection carries a stream of ServerMsgHead
// frames (70-byte head, then length - 70 body bytes); every complete frame goes to the
// handler of its command, which usually answers with a ServerReplyHead. A connection
// lives until its peer closes it, sends an unreadable head, stays idle too long, or takes
// too long over one frame, so
// short request connections and long-lived links (a PC's relay connection, a device's
// connection) share the same machinery; handlers for more commands plug in with
// SetHandler, and close hooks tell them when a connection they keep goes away.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "central/account_store.h"
#include "central/relay_router.h"
#include "central/station_registry.h"
#include "central/transfer_router.h"
#include "comm/wire.h"

struct event_base;
struct event;
struct evconnlistener;
struct bufferevent;
struct sockaddr;

namespace central {

struct CentralOptions {
  std::string listenHost = "127.0.0.1";
  uint16_t listenPort = 0;  // 0: the system picks one (see Port())
  std::string accountDb;    // the SQLite file of accounts; required
  std::string stateFile;    // JSON of every station, rewritten after changes; "" for none
  int stateWriteDelayMs = 200;
  size_t maxFrame = 65535;      // longest frame accepted, head included (70 to 65535)
  int idleTimeoutMs = 60000;    // a connection with nothing read or written for this long closes
  // A frame begun must be whole within this long (0: no limit); more bytes of it do not
  // restart the limit, so a peer that trickles a frame cannot hold its place forever.
  int frameTimeoutMs = 30000;
  size_t maxConnections = 1024;
  // Connections open at once from one IP address; more from it are closed at once, so
  // one host cannot take every place. A PC needs about a dozen (its relay connection,
  // upload poll, relayed downloads and requests), a device one; PCs behind one NAT share
  // an address.
  size_t maxConnectionsPerAddress = 256;
  size_t maxStations = 10000;
  std::function<int64_t()> clock;               // ms since the epoch; the system clock when empty
  std::function<void(const std::string&)> log;  // receives each log line; none: silent
  RelayOptions relay;                            // the PCs' relay and their devices
  TransferOptions transfer;                      // relayed downloads and uploads
};

class CentralServer;

// One complete frame: the head in host order and its body (head.length - 70 bytes).
struct Frame {
  ServerMsgHead head;
  const uint8_t* body = nullptr;
  size_t bodyLen = 0;
};

// A client connection. Owned by the server; valid until its close hooks have run.
class Connection {
 public:
  uint64_t Id() const { return m_id; }
  const std::string& Peer() const { return m_peer; }  // "ip:port"
  const std::string& Host() const { return m_host; }  // "ip"

  // Queues bytes for the peer. false when the connection is closing or the write failed.
  bool Send(const uint8_t* data, size_t len);
  // Answers with a ServerReplyHead {8 + len, 6, command, result} and the payload.
  bool Reply(uint16_t command, uint16_t result, const uint8_t* payload = nullptr, size_t len = 0);
  // Stops reading and closes once the queued bytes are written.
  void CloseAfterWrite();
  bool Closing() const { return m_closing; }
  // Bytes queued for the peer and not yet written to its socket.
  size_t Pending() const;
  // Replaces the server's idle time-out for this connection (0: none).
  void SetIdleTimeout(int ms);
  // Stops taking frames from the peer (its sends wait in the network meanwhile), and
  // takes them again; frames that had already arrived are handled after the resume.
  void PauseReading();
  void ResumeReading();
  bool ReadingPaused() const { return m_paused; }

 private:
  friend class CentralServer;
  Connection(CentralServer* server, bufferevent* bev, uint64_t id, std::string host,
             std::string peer)
      : m_server(server), m_bev(bev), m_id(id), m_host(std::move(host)), m_peer(std::move(peer)) {}

  CentralServer* m_server;
  bufferevent* m_bev;
  uint64_t m_id;
  std::string m_host;
  std::string m_peer;
  event* m_frameTimer = nullptr;  // runs while a frame is partial and reading is on
  bool m_closing = false;
  bool m_paused = false;
  bool m_eof = false;  // the peer has finished sending; what it sent is still handled
};

class CentralServer {
 public:
  using Handler = std::function<void(Connection&, const Frame&)>;
  using CloseHook = std::function<void(Connection&)>;

  // Installs the handlers of the PCs' logon and reports.
  explicit CentralServer(CentralOptions options);
  ~CentralServer();
  CentralServer(const CentralServer&) = delete;
  CentralServer& operator=(const CentralServer&) = delete;

  // Opens the account store and listens. false with error set.
  bool Start(std::string* error);
  uint16_t Port() const { return m_port; }
  std::string ListenAddress() const;  // "host:port"

  // Runs the loop on the calling thread until Stop, then writes the state file and
  // closes every connection.
  void Run();
  // Ends Run. Any thread, also before Run.
  void Stop();

  // Extension points; call before Start.
  void SetHandler(uint16_t command, Handler handler);
  void AddCloseHook(CloseHook hook);

  StationRegistry& Stations() { return m_stations; }
  RelayRouter& Relay() { return *m_relay; }
  TransferRouter& Transfers() { return *m_transfer; }
  AccountStore& Accounts() { return m_accounts; }
  size_t ConnectionCount() const { return m_connectionCount; }
  int64_t Now() const;
  // One log line, with the time in front.
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Schedules a rewrite of the state file.
  void MarkStateChanged();
  // Writes the state file now. false (logged) on failure.
  bool WriteState();
  // The open connection of this id, or null. Loop thread only.
  Connection* FindConnection(uint64_t id);
  // Runs fn on the loop after ms (at once for 0 or less); calls made with the same ms
  // run in the order they were made. Loop thread only, after Start. What is still
  // waiting when the server goes away is dropped.
  void RunLater(int ms, std::function<void()> fn);

 private:
  friend class Connection;
  static void AcceptCb(evconnlistener* listener, int fd, ::sockaddr* addr, int len, void* arg);
  static void AcceptErrorCb(evconnlistener* listener, void* arg);
  static void ReadCb(bufferevent* bev, void* arg);
  static void WriteCb(bufferevent* bev, void* arg);
  static void EventCb(bufferevent* bev, short what, void* arg);
  static void StateTimerCb(int fd, short what, void* arg);
  static void FrameTimerCb(int fd, short what, void* arg);

  void OnRead(Connection& c);
  // Starts, keeps or stops the connection's frame timer after a read; restarted when a
  // frame was completed.
  void WatchFrame(Connection& c, bool completedFrame);
  // Logs a refused connection; further refusals of the same kind within a second are
  // counted and told with the next line instead, so a flood of connects cannot flood the log.
  void LogRefusal(const char* kind, const std::string& peer, const std::string& why);
  void OnFrame(Connection& c, const Frame& f);
  void BadFrame(Connection& c, uint16_t command, const std::string& why);
  void Free(Connection& c);
  // Frees the connection on the loop's next turn, unless it is gone by then.
  void FreeSoon(uint64_t id);
  static void FreeSoonCb(int fd, short what, void* arg);
  struct Later {
    CentralServer* server = nullptr;
    event* ev = nullptr;
    std::function<void()> fn;
  };
  static void LaterCb(int fd, short what, void* arg);

  CentralOptions m_options;
  AccountStore m_accounts;
  StationRegistry m_stations;
  std::map<uint16_t, Handler> m_handlers;
  std::vector<CloseHook> m_closeHooks;
  std::unique_ptr<RelayRouter> m_relay;
  std::unique_ptr<TransferRouter> m_transfer;
  std::map<Later*, std::unique_ptr<Later>> m_later;  // RunLater's waiting calls

  event_base* m_base = nullptr;
  evconnlistener* m_listener = nullptr;
  event* m_stateTimer = nullptr;
  event* m_freeSoonEvent = nullptr;
  std::vector<uint64_t> m_freeSoon;  // connections FreeSoon asked for; loop thread only
  bool m_stateTimerPending = false;
  uint16_t m_port = 0;
  uint64_t m_nextId = 1;
  std::map<uint64_t, std::unique_ptr<Connection>> m_connections;  // loop thread only
  std::map<std::string, size_t> m_perHost;  // open connections by IP address; loop thread only
  struct Refusals {
    int64_t since = 0;      // steady ms of the last line written
    uint64_t untold = 0;    // refusals since then without a line
  };
  std::map<std::string, Refusals> m_refusals;  // by kind; loop thread only
  std::atomic<size_t> m_connectionCount{0};
  std::atomic<bool> m_stopRequested{false};
  std::mutex m_logMutex;
};

// Installs the handlers of SV_LOG_ON, SV_LOG_OUT, SV_HEART_BEAT, SV_SET_SV_INFO,
// SV_SET_POWER_ON_INFO and SV_SET_DISK_INFO (called by the constructor).
void RegisterStationHandlers(CentralServer& server);

}  // namespace central
