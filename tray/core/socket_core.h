// The tray program's TCP transport to the background service on the same PC.
//
//  - SendRequest: one request on a new connection to 127.0.0.1 and the service's port,
//    answered on the caller's thread: the request must be out within the send time-out
//    (500 ms) and the whole reply in within the receive time-out (1,000 ms), each counted
//    once for the request, however the peer splits its bytes.
//  - PostRequest: a request queued for the sender thread, which reports the reply through
//    OnData or the failure through OnError (kind 1 connect, 2 send, 3 receive).
//  - The listener on 127.0.0.1 and the tray's port (15003): the service pushes its
//    device-login questions there and waits on the same connection for the answer.
//    Each question that is taken is held under a token of our own until SendPushReply
//    answers it, it expires, or the transport is destroyed.
//
// Every frame is an 8-byte head (u16 length including the head, u16 opcode, u32 number;
// big-endian) and its payload. Frames handed upwards are whole: the head as received and
// all length - 8 payload bytes; an incomplete frame is never handed on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contract/ports.h"
#include "contract/wire.h"

namespace tray {

using ::SERVICE_REQUEST_PORT;
using ::TRAY_LISTEN_PORT;
inline constexpr size_t kMsgHeadSize = MsgHead::kSize;
inline constexpr size_t kMaxFrameSize = MsgHead::kMaxLength;

// SendRequest's results.
inline constexpr int kSendOk = 0;
inline constexpr int kSendFailed = -1;   // sending, or the payload did not arrive whole
inline constexpr int kNoConnection = -2; // no host, or no connection
inline constexpr int kNoReplyHead = -3;  // no head, a short head, or a length below 8

// OnError kinds.
inline constexpr int kErrorConnect = 1;
inline constexpr int kErrorSend = 2;
inline constexpr int kErrorReceive = 3;

struct SocketCoreOptions {
  uint16_t requestPort = SERVICE_REQUEST_PORT;
  uint16_t listenPort = TRAY_LISTEN_PORT;  // 0: the system picks one (tests)
  int requestSendTimeoutMs = 500;
  int requestRecvTimeoutMs = 1000;  // for the whole reply, head and payload
  int questionTimeoutMs = 10000;  // for a pushed question to arrive whole
  int heldExpiryMs = 30000;       // the service gives up on its question after this
  int maxConnections = 16;        // questions being read and held, together
  int acceptBackoffMinMs = 50;    // after a failed accept, doubling up to the maximum
  int acceptBackoffMaxMs = 2000;
};

class ISocketConnectCallback {
 public:
  virtual ~ISocketConnectCallback() = default;
  // A whole frame: the reply to a queued request (token 0) or a pushed question (its
  // token). For a question, true holds its connection for SendPushReply; false closes
  // it unanswered. Called on the sender thread or a connection thread.
  virtual bool OnData(const uint8_t* frame, size_t len, uint32_t token) = 0;
  // A queued request failed; code is the high half of its number, kind as above.
  virtual void OnError(int code, int kind) = 0;
};

// Socket helpers over one socket; -1 stands for "no socket".
int SocketCreateClient(int sendTimeoutMs, int recvTimeoutMs);  // the socket, or -1
int SocketConnect(int sock, uint16_t port, const char* host);  // dotted IPv4 only; 0 or -1
int SocketSendAll(int sock, const uint8_t* bytes, size_t len);  // 0 or -1
void SocketClose(int* sock);  // closes and sets -1; ignores -1

class CSocketCore {
 public:
  explicit CSocketCore(SocketCoreOptions options = {});
  ~CSocketCore();
  CSocketCore(const CSocketCore&) = delete;
  CSocketCore& operator=(const CSocketCore&) = delete;

  // Synchronous request; reply holds the whole reply frame on success.
  int SendRequest(const char* host, const uint8_t* request, size_t len,
                  std::vector<uint8_t>* reply);
  // Queues a copy of len bytes (a whole frame). 0 queued, -1 refused (OnError kind 1).
  int PostRequest(const char* host, const uint8_t* request, size_t len);

  // Binds 127.0.0.1 and the listening port and starts the listener thread. False when
  // the port cannot be had; requests are unaffected.
  bool StartListener();
  // The port the listener is bound to (0 before StartListener or when it failed).
  uint16_t ListenPort() const { return m_boundPort.load(); }

  // Answers the held question: {12, 0x500D, the question's number, flag}, then closes
  // its connection. -1 for a token that is not held or a failed send. Never blocks.
  int SendPushReply(uint32_t token, uint32_t flag);
  bool IsHeld(uint32_t token) const;
  // The service's port for the requests from now on.
  void SetRequestPort(uint16_t port) { m_requestPort = port; }
  size_t HeldCount() const;

  // After ClearCallback returns, no call into the old callback is running or follows.
  void SetCallback(ISocketConnectCallback* callback);
  void ClearCallback() { SetCallback(nullptr); }

 private:
  struct AsyncRequest {
    std::string host;
    std::vector<uint8_t> data;
  };
  struct PushEntry {
    int sock = -1;
    uint8_t number[4] = {};
    std::chrono::steady_clock::time_point expires;
  };
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void SenderLoop();
  void RunQueued(const AsyncRequest& req);
  void ListenLoop();
  void ServeConnection(int sock, Connection* self);
  void ExpireHeld();
  void ReapConnections(bool all);
  int ActiveConnections();
  bool WaitWake(int timeoutMs);  // true when woken for the stop
  // Calls into the callback under its lock; false when none is set.
  bool DeliverData(const uint8_t* frame, size_t len, uint32_t token, bool* taken);
  void DeliverError(int code, int kind);

  const SocketCoreOptions m_options;
  std::atomic<uint16_t> m_requestPort;
  std::atomic<bool> m_stop{false};
  int m_wakePipe[2] = {-1, -1};

  std::recursive_mutex m_callbackMutex;
  ISocketConnectCallback* m_callback = nullptr;  // m_callbackMutex

  std::mutex m_queueMutex;
  std::condition_variable m_queueCv;
  std::deque<AsyncRequest> m_queue;  // m_queueMutex
  std::mutex m_clientMutex;
  int m_clientSocket = -1;  // m_clientMutex: the sender's connection, shut down to stop it
  std::thread m_sender;

  int m_listenSocket = -1;
  std::atomic<uint16_t> m_boundPort{0};
  std::thread m_listener;
  std::mutex m_connMutex;
  std::list<Connection> m_connections;  // m_connMutex; reaped by the listener

  mutable std::mutex m_mapMutex;
  std::map<uint32_t, PushEntry> m_held;  // m_mapMutex
  uint32_t m_nextToken = 0;              // m_mapMutex
};

}  // namespace tray
