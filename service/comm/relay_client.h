// The relay ("interline") connection to the central server, which carries the requests
// of devices outside the LAN. While the service is logged on, StartRecvInterLine keeps
// one TCP connection to the server, registers the station on it with SV_INTER_LINE_REQ
// and repeats that as a keep-alive. The server sends each device message as an
// SV_INTER_LINE_DATA frame headed with the device's id; the message goes to Dispatch
// with the direct flag 0 and the handler's reply goes back as a RelayReply addressed to
// that device.
//
// Frames on the relay connection:
//   ServerMsgHead {length, 6, command, id} (70 bytes), then length - 70 body bytes.
//   From the server: SV_INTER_LINE_DATA with the device's id; body = 64 bytes the
//   service ignores, then the device's MsgHead message. Also 8-byte ServerReplyHead
//   answers (command 0x1008, 0x1009 or 0x100B), which are skipped.
//   To the server: the keep-alive {70, 6, SV_INTER_LINE_REQ, own id}, and RelayReply
//   {n + 134, 6, SV_INTER_LINE_DATA, own id} + target id[64] + the n-byte message.
// A handler of a relayed request sees the RelayPrefix as its body: the device's id[64]
// (NUL-terminated), the device's MsgHead[8] as received, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "comm/wire.h"

struct bufferevent;


// What the relay work item uses; every interval defaults to the service's value.
struct RelayClientConfig {
  std::string host;  // empty: svhost and svport of the configuration, read once
  uint16_t port = 0;
  unsigned keepAliveMs = 10000;       // the keep-alive's period, from the connect's start
  unsigned retryMs = 10000;           // pause after a connection ends (or while logged off)
  unsigned connectTimeoutMs = 5000;   // resolving and connecting, at most
  unsigned stopCheckMs = 100;         // how often an open connection looks at g_StopFlag
  size_t maxPendingOutput = 4u << 20; // bytes queued towards the server; more is refused
};

// Serialises every write of a frame on the relay connection, so frames never interleave.
// Lives for the whole process.
extern std::mutex g_MutexInterLine;

// Replaces the configuration StartRecvInterLine uses when its argument is null. Call it
// before the work item starts.
void OS_SetRelayConfig(const RelayClientConfig& config);

// The pause before a new relay connection can be shortened from the environment
// (milliseconds, 1 or more), so end-to-end tests of the whole program need not wait 10 s
// for the relay to come back after the server restarts.
inline constexpr const char* kRelayRetryEnv = "TIRVAN_RELAY_RETRY_MS";
RelayClientConfig RelayClientConfigFromEnvironment();

// Work item, queued at start-up. arg: a RelayClientConfig to use, or null for the one set
// with OS_SetRelayConfig. Until g_StopFlag is set: when the last logon succeeded
// (g_LogOnRtn 0), runs one relay connection to its end; then waits retryMs.
void StartRecvInterLine(void* arg);

// One relay connection from its start to its end (end of stream, error, failed connect,
// or g_StopFlag), on the calling thread with its own event base and resolver. Returns
// true when the connection had been established.
bool OS_RunEventClient(const std::string& host, uint16_t port, const RelayClientConfig& config);

// True while a relay connection is established.
bool OS_RelayConnected();

// ---- Writing on the relay connection; safe from any thread.
//
// conn is the relay connection a relayed request came on (the handler's connection
// argument), or null for whichever relay connection is open. The write happens under
// g_MutexInterLine and only while that connection is still open, so a pointer kept past
// the connection's end is never used.

// Writes one whole frame. 0, or -1 when conn is not the open relay connection (or none is
// open), when the frame would pass maxPendingOutput, or when the write fails.
int OS_WriteRelayFrame(bufferevent* conn, const void* frame, size_t len);

// Sends msg (a whole MsgHead message of len bytes) to the device whose 64-byte id field is
// target (a relayed body's first 64 bytes; read up to its first zero, at most 63 bytes)
// as one RelayReply with the station id of the open connection. 0, or -1 when the message
// is longer than kRelayMaxMessage (logged) or as OS_WriteRelayFrame.
int OS_SendRelayMessage(bufferevent* conn, const uint8_t* target, const void* msg, size_t len);

// The RelayReply bytes for msg: ServerMsgHead {len + 134, 6, SV_INTER_LINE_DATA, ownId} +
// target + msg. False, out empty, when len passes kRelayMaxMessage.
bool BuildRelayReply(const std::string& ownId, const uint8_t* target, const void* msg, size_t len,
                     std::vector<uint8_t>* out);
