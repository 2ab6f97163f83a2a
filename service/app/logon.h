// Logon with the central server and the PC's reports to it: addresses and ports,
// power-on, disks, and the heartbeat that logs on anew every 60 s. Every request is one
// RequestServer exchange with svhost:svport of the configuration, headed with the
// station id g_MacBuf.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "comm/server_exchange.h"
#include "comm/wire.h"

// g_LogOnRtn, the result of the latest logon, lives in comm/core.h: the relay and
// P2P clients of the core read it too.
#include "comm/core.h"

// The intervals and bounds of the logon and reports, with the service's values by
// default. Tests shorten them.
struct ServerReportOptions {
  unsigned heartBeatIntervalMs = 60000;     // between two heartbeats
  unsigned diskReportIntervalMs = 86400000;  // between two disk reports (24 h)
  int connectTimeoutMs = kServerConnectTimeoutMs;
  int ioTimeoutMs = kServerIoTimeoutMs;
  // Free bytes of the volume mounted at root into *bytes; 0, or -1 when it cannot be
  // read. Empty: statvfs.
  std::function<int(const std::string& root, uint64_t* bytes)> diskFree;
  // The mount point of the volume holding a folder ("" when there is none). Empty:
  // GetDriveRoot.
  std::function<std::string(const std::string& folder)> driveRoot;
};

// Any thread. The work items read the intervals when they start, the exchanges read
// the bounds at each request.
void SetServerReportOptions(const ServerReportOptions& options);
ServerReportOptions GetServerReportOptions();

// Environment variables that set the intervals of a running service in ms (demos and
// end-to-end tests). The options start out as ServerReportOptionsFromEnvironment().
inline constexpr const char* kHeartBeatIntervalEnv = "TIRVAN_HEARTBEAT_MS";
inline constexpr const char* kDiskReportIntervalEnv = "TIRVAN_DISK_REPORT_MS";
// The defaults with the intervals the environment sets; a value that is not a number
// from 1 to 2^31-1 keeps the default (the work items log the intervals they use).
ServerReportOptions ServerReportOptionsFromEnvironment();

// One volume of SV_SET_DISK_INFO.
struct DiskInfoRecord {
  static constexpr size_t kSize = 296;
  uint16_t sysType = 0;
  uint32_t freeMiB = 0;  // 0 when the volume's free space cannot be read
  std::string stationId;
  std::string drive;     // the mount point

  // [0,2) system type big-endian, [2,4) 0, [4,8) free MiB, [8,40) station id,
  // [40,296) drive.
  void Encode(uint8_t* p) const;
};

// The most volumes one disk report carries: its 16-bit length must hold them.
inline constexpr size_t kMaxDiskRecords = (0xFFFFu - ServerMsgHead::kSize) / DiskInfoRecord::kSize;

// Logs on with the stored account. The server's result; 4127 (nothing sent) when the
// e-mail or the password hash is empty; 4122 when the exchange fails.
int LogOn();
// Logs out. The server's result; 4127 (nothing sent) for an empty account; -1 when the
// exchange fails.
int LogOut();
// The heartbeat: the head alone. The server's result, or -1.
int SendHeartBeat(const ServerAddress& server);
// Reports the local address, the external port (mapped by UPnP while logged on; 0 when
// no mapping succeeded), the local port and the host name. The server's result; 4122
// when the exchange fails; -1 when the host name cannot be read.
int SetSVInfo();
// Reports the power-on: e-mail, station id, host name. A failure is only logged.
void SetPowerOnInfo();
// The volumes that hold the shared folders and then the default folders, each once in
// the order first met, at most kMaxDiskRecords.
void CollectDiskInfo(std::vector<DiskInfoRecord>& out);

// Work items; the argument is not used. Both run until g_StopFlag is raised, which also
// cuts their sleeps short.
// Every heartBeatIntervalMs: refreshes g_LocalIp, logs on anew into g_LogOnRtn, sends
// the heartbeat and the server info.
void HeartBeat(void* arg);
// At once and then every diskReportIntervalMs: reports the disks.
void SetDiskInfo(void* arg);
