// Relayed downloads and uploads inside the central server; README.md describes the
// exchange.
//
// Downloads: a PC sends a relayed download on a connection of its own, one package per
// SV_INTER_LINE_DOWN_LOAD frame {70, 6, 0x100B, station id} + device relay id[64] + one
// whole MsgHead message. The router hands the message to that device of the station and
// answers 0, or 4116 while more than maxDownloadBacklog bytes already wait for the device
// (the PC sends the same frame again a little later).
//
// Uploads: a device's upload data and end messages (OP_UP_LOAD_FILE, OP_OVER_UP_LOAD_FILE)
// do not go over the PC's relay connection. They wait in the station's queue, and the PC
// fetches them one per SV_INTER_LINE_UP_LOAD poll {70, 6, 0x100C, station id}: answered
// {8 + n, 6, 0x100C, 0} + the n-byte message, or {8, 6, 0x100C, 0x100A} when none waits.
//
// Everything runs on the server's loop thread, except the queries that say otherwise.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace central {

class CentralServer;
class Connection;
class RelayRouter;
struct Frame;

// Results beyond those of records.h and relay_protocol.h.
enum : uint16_t {
  RESULT_CASH_FULL = 4116,          // a download package finds the device's buffer full
  RESULT_NOTHING_WAITING = 0x100A,  // a poll finds no upload message for the PC
};

struct TransferOptions {
  // Bytes waiting towards one device beyond which download packages are answered 4116.
  // Below the relay's maxDeviceBacklog, so replies to the device still fit.
  size_t maxDownloadBacklog = 256u << 10;
  // Bytes of upload messages queued for one PC. A device whose message finds more stops
  // being read until the PC has fetched the queue down to half of it.
  size_t maxUploadQueue = 1u << 20;
  // Queued upload messages older than this are dropped.
  int uploadTtlMs = 10 * 60 * 1000;
  // Added before every answer to a download frame or a poll: a longer round trip, for
  // benchmarks.
  int answerDelayMs = 0;
};

class TransferRouter {
 public:
  // Installs the handlers of SV_INTER_LINE_DOWN_LOAD and SV_INTER_LINE_UP_LOAD, the
  // relay's device message hook and a close hook on server.
  TransferRouter(CentralServer& server, RelayRouter& relay, TransferOptions options);
  TransferRouter(const TransferRouter&) = delete;
  TransferRouter& operator=(const TransferRouter&) = delete;

  // Any thread.
  size_t QueuedUploads(const std::string& station) const;
  size_t QueuedUploadBytes(const std::string& station) const;
  struct Counts {
    uint64_t packages = 0;  // download messages handed to devices
    uint64_t full = 0;      // download frames answered 4116
    uint64_t polls = 0;     // polls answered
    uint64_t fetched = 0;   // upload messages handed to PCs
  };
  Counts Totals() const;
  const TransferOptions& Options() const { return m_options; }

 private:
  struct Queued {
    std::vector<uint8_t> msg;
    uint64_t device = 0;  // the connection it came on
    int64_t at = 0;       // when it was queued, ms
  };
  struct Queue {
    std::deque<Queued> messages;
    size_t bytes = 0;
    std::set<uint64_t> paused;  // device connections not read until the queue drains
  };

  void OnDownLoad(Connection& c, const Frame& f);
  void OnUpLoadPoll(Connection& c, const Frame& f);
  bool OnDeviceMessage(Connection& device, const std::string& station, const uint8_t* msg,
                       size_t len);
  void OnClose(Connection& c);
  // Answers now, or after answerDelayMs when the connection is still open then.
  void Answer(Connection& c, uint16_t command, uint16_t result, std::vector<uint8_t> payload = {});
  // Takes the messages out of q that are older than the time-to-live. Caller holds m_mutex.
  void ExpireLocked(Queue& q, int64_t now);
  // Reads the paused devices of q again once it is down to half. Caller holds m_mutex.
  void ResumeLocked(Queue& q);
  // Drops old messages everywhere and comes back while any are queued.
  void Sweep();

  CentralServer& m_server;
  RelayRouter& m_relay;
  TransferOptions m_options;
  mutable std::mutex m_mutex;  // guards the maps below, for the queries of other threads
  std::map<std::string, Queue> m_queues;          // by station id
  std::map<uint64_t, std::string> m_deviceQueue;  // device connection id -> station queued for
  bool m_sweepArmed = false;
  std::atomic<uint64_t> m_packages{0}, m_full{0}, m_polls{0}, m_fetched{0};
};

}  // namespace central
