// Downloads and uploads of devices that reach the PC through the central server. Short
// requests and answers travel on the relay connection; file contents do not.
//
// A relayed download is sent by its own job on its own connection to the server, one
// package per frame, each frame waiting for the server's answer before the next one:
//   data frame  ServerMsgHead {154 + n, 6, SV_INTER_LINE_DOWN_LOAD, own id}
//               + target device id[64] + DownLoadDataHead[20] + n data bytes (n <= 1,000)
//   end frame   ServerMsgHead {146, 6, SV_INTER_LINE_DOWN_LOAD, own id}
//               + target device id[64] + DownLoadOverMsg[12]
//   answer      ServerReplyHead {8 + m, 6, command, result} + m bytes (read and dropped):
//               0 next frame, 4116 the server's buffer for the device is full (the same
//               frame again after a pause), anything else ends the download with "1".
//
// Relayed uploads: the server keeps the device's data and end messages, and the poller
// fetches them one at a time while uploads are open:
//   poll        ServerMsgHead {70, 6, SV_INTER_LINE_UP_LOAD, own id}
//   answer      ServerReplyHead {8 + m, 6, command, result}; result 0 with m > 0: the m
//               bytes are one device message (MsgHead and body); otherwise none waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/transfer_table.h"
#include "comm/server_exchange.h"

inline constexpr uint32_t kInterDataFrameHeadSize = kRelayReplyHeadSize + 20;  // + DownLoadDataHead
inline constexpr uint32_t kInterOverFrameSize = kRelayReplyHeadSize + 12;      // + DownLoadOverMsg

// Intervals and limits of the relayed transfers; every value defaults to the service's.
struct RelayTransferConfig {
  std::string host;  // empty: svhost and svport of the configuration
  uint16_t port = 0;
  int connectTimeoutMs = kServerConnectTimeoutMs;
  int ioTimeoutMs = kServerIoTimeoutMs;  // each send and receive on a server connection
  // A download whose frame cannot be sent waits this long, then connects anew; it gives
  // up once more than reconnectLimitMs of such waits passed without a connection.
  unsigned reconnectWaitMs = 2000;
  unsigned reconnectLimitMs = 30000;
  // A frame answered 4116 goes again after fullWaitMs, until more than fullLimitMs of
  // such waits passed for it.
  unsigned fullWaitMs = 100;
  unsigned fullLimitMs = 30000;
  // The poller: pause between cycles, and the back-off between polls answered with
  // nothing, doubling from backoffStartMs; a cycle ends when it would pass backoffLimitMs.
  unsigned pollCycleMs = 3000;
  unsigned backoffStartMs = 100;
  unsigned backoffLimitMs = 10000;
  // Relayed downloads sending at once; further ones wait for their turn.
  int maxJobs = 8;
};

// Replaces the configuration used by the jobs queued from now on and by a poller started
// without one. It starts out as RelayTransferConfigFromEnvironment().
void SetRelayTransferConfig(const RelayTransferConfig& config);
RelayTransferConfig GetRelayTransferConfig();

// The poller's pause between cycles and first back-off can be shortened from the
// environment (milliseconds, 1 or more), so end-to-end tests of the whole program need
// not wait seconds for a relayed upload to start.
inline constexpr const char* kUpLoadPollCycleEnv = "TIRVAN_UPLOAD_POLL_MS";
inline constexpr const char* kUpLoadBackoffEnv = "TIRVAN_UPLOAD_BACKOFF_MS";
RelayTransferConfig RelayTransferConfigFromEnvironment();

// A relayed download, as AllowDownLoadFile hands it over.
struct InterDownLoadJob {
  uint32_t seq = 0;
  uint32_t offset = 0;               // the first byte to send
  uint8_t target[64] = {};           // the device's id, from the relay prefix
  TransRecordPtr record;             // the pending download, taken from the table; null
                                     // when there was none (the job then answers "1")
  bool stopAsked = false;            // under g_StopDownLoadMutex
};

// The id field of a relayed message's prefix as the origin of its transfer.
TransOrigin InterDownLoadOrigin(const InterDownLoadJob& job);

// Queues a relayed download. It starts at once on the thread pool while fewer than
// maxJobs send, else it waits for a running one to end. 0, or the pool's result when the
// job could not be started (the job is dropped and its file closed).
int QueueInterDownLoad(std::unique_ptr<InterDownLoadJob> job);

// Pool work item: arg is an InterDownLoadJob that QueueInterDownLoad released. Sends it,
// then the downloads that wait for their turn.
void DownLoadFile_Cash(void* arg);

// Asks the relayed download of this origin and number to stop, whether it sends or still
// waits for its turn; it ends before its next frame, or at once when it is pausing, and
// sends no end frame. True when there is such a download.
bool StopInterDownLoad(const TransOrigin& origin, uint32_t seq);

// Relayed downloads queued and not yet ended, and those of them that run.
size_t InterDownLoadJobCount();
size_t InterDownLoadRunningCount();

// A new TCP connection to host:port within the configured connect time-out, with the
// configured send and receive time-outs; -1 on any failure.
int ConnectServer(const std::string& host, uint16_t port,
                  const RelayTransferConfig& config = GetRelayTransferConfig());

// Sends the end frame ("0" when ok, else "1") for download seq to target on *sock, waits
// for its answer, then shuts the connection down and closes it (*sock becomes -1).
void WriteInterDownLoadOverMsg(const uint8_t target[64], int* sock, bool ok, uint32_t seq);

// Work item: the relayed-upload poller, until g_StopFlag is set. arg: a
// RelayTransferConfig to use, or null for the one set with SetRelayTransferConfig.
void InterLineUpLoadFile(void* arg);
