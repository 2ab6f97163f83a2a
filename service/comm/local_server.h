// The local TCP server: one listener on all interfaces at g_LocalPort, shared by LAN
// devices and the tray program. It cuts each connection's byte stream into MsgHead
// messages, hands each to Dispatch and writes the handler's reply back.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <sys/socket.h>

#include "comm/dispatch.h"

struct bufferevent;

// The port to listen on; 0 lets the system pick one, which is stored back here.
extern std::atomic<uint16_t> g_LocalPort;

// What the server has come to: Running once the listener is bound and g_LocalPort
// holds its port, Failed when the event base or the listener could not be created.
// Pending before that, and again after the loop has ended.
enum class LocalServerState { Pending, Running, Failed };
LocalServerState OS_LocalServerState();
// Sets the state back to Pending and drops a stop request that no server consumed.
void OS_ResetLocalServerState();

// The thread-pool work item: runs the server's event loop until OS_StopLocalServer.
// The argument is not used.
void OS_RunEvent(void* arg);

// Breaks the event loop from any thread. OS_RunEvent then closes every connection,
// frees the listener and the base, and returns. A stop requested before the loop
// has started ends that loop as soon as it starts.
void OS_StopLocalServer();

// Called on every close of a connection (end of file, error, time-out, a refused
// opcode, a failed allocation, the server's stop), once, before the bufferevent is
// freed. Runs on the server's thread. Null removes the hook. At the end of the peer's
// stream and at a refused opcode, the answers already queued go out before the close.
using ConnCloseHook = void (*)(bufferevent* conn, uint64_t connId);
void OS_SetConnCloseHook(ConnCloseHook hook);

// The id (unique for the life of the process) and origin of a connection accepted by
// the local server. False, leaving the outputs alone, for any other bufferevent.
// Call it on the server's thread, for instance from a handler.
bool OS_GetConnInfo(bufferevent* conn, uint64_t* id, Origin* origin);

// Streamed output. A handler with more to send than one reply should hold in memory
// attaches a writer to the connection it serves. The server then asks the writer for
// more whenever the connection's queued output has drained below kConnWriterQueueBytes,
// so memory stays bounded and the other connections are served meanwhile. Until the
// writer is done, the connection's further requests wait (they are neither read nor
// dispatched), so its answers keep the order of its requests. Everything runs on the
// server's thread.
// It is also the largest single write: a stream sent in writes of this size runs at
// about the speed of the loopback interface.
inline constexpr size_t kConnWriterQueueBytes = 1024 * 1024;

// A writer may also wait for something that happens off the server's thread (the answer
// of another process, say): Refill then returns Wait without adding output, and once there
// is more, any thread calls OS_WakeConnWriter with the connection's id; the server calls
// Refill again on its own thread. The connection's requests keep waiting meanwhile.
class ConnWriter {
 public:
  enum class Status { More, Done, Wait };
  virtual ~ConnWriter() = default;
  // Appends about room bytes (at least something) to conn's output, with
  // bufferevent_write or on bufferevent_get_output(conn). Done once its last output is
  // queued: the writer is destroyed, and the connection's waiting requests are served.
  virtual Status Refill(bufferevent* conn, size_t room) = 0;
  // The connection closes (end of file, error, the server's stop) before Done. The
  // writer is destroyed right after, before the close hook runs.
  virtual void Cancel() = 0;
};

// Attaches writer to conn, the local connection whose request is being handled; call it
// from that handler. The handler's reply, if any, is queued before the writer's output.
// False, and the writer destroyed without Cancel, when conn is not a connection of the
// local server or already has a writer.
bool OS_AttachConnWriter(bufferevent* conn, std::unique_ptr<ConnWriter> writer);

// Asks the server to call the waiting writer of connection connId again. Safe from any
// thread; does nothing when that connection has closed or has no writer by then.
void OS_WakeConnWriter(uint64_t connId);

// Queues a whole message for connection connId's output, from any thread: it goes out on
// the server's thread after what that connection has queued so far (never inside another
// message). For news a connection's own requests did not ask for, such as the end of an
// upload that another request took over. Does nothing when that connection has closed
// by then or no server runs.
void OS_SendOnConn(uint64_t connId, const void* msg, size_t len);

// Origin of a peer address: Loopback for 127.0.0.0/8, Lan for everything else.
Origin OS_ClassifyPeer(const sockaddr* peer, socklen_t len);
// Replaces the classifier the server applies to accepted peers (tests use it to
// see a loopback peer as a LAN one). Null restores OS_ClassifyPeer.
using OriginClassifier = Origin (*)(const sockaddr* peer, socklen_t len);
void OS_SetOriginClassifier(OriginClassifier classifier);

// The limits that keep one connection from holding the server's resources. Every one is
// far beyond what a well-behaved device or the tray program reaches.
struct LocalServerLimits {
  // A connection holding part of a message, and waiting for the rest, is closed once no
  // byte of it has arrived for this long. 0: never.
  unsigned partialMs = 60 * 1000;
  // A connection on which nothing arrives and nothing of its queued output goes out for
  // this long is closed (a download that its device reads is progress). Not while the
  // service itself still waits for another thread's answer to a request of it. Devices
  // send a heartbeat at least every minute. 0: never.
  unsigned idleMs = 5 * 60 * 1000;
  // While a connection's queued output is above this, its further requests are not read.
  size_t outputHighBytes = 4u << 20;
  // After an accept error (no descriptors left, for one) the listener pauses this long,
  // twice as long after each further error up to acceptPauseMaxMs, and again this long
  // after an accept succeeds.
  unsigned acceptPauseMs = 100;
  unsigned acceptPauseMaxMs = 2000;
};
// Applies to every connection from the next look at it on.
void OS_SetLocalServerLimits(const LocalServerLimits& limits);
LocalServerLimits OS_GetLocalServerLimits();
// The defaults, with the values the environment sets (for tests and demos, ms or bytes,
// 0 or more) in their place.
inline constexpr const char* kConnPartialEnv = "TIRVAN_CONN_PARTIAL_MS";
inline constexpr const char* kConnIdleEnv = "TIRVAN_CONN_IDLE_MS";
inline constexpr const char* kConnOutputHighEnv = "TIRVAN_CONN_OUTPUT_HIGH_BYTES";
inline constexpr const char* kAcceptPauseEnv = "TIRVAN_ACCEPT_PAUSE_MS";
LocalServerLimits LocalServerLimitsFromEnvironment();

// Sets the idle limit alone (0: never).
void OS_SetLocalIdleTimeout(unsigned ms);
