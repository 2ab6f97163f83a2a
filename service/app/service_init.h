// The service's start-up and exit: the single instance, the database and the log, the
// host's identity, the core, the table of request handlers and the long-running work
// items; and, at stop, the logout and the closing of the database.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "comm/core.h"
#include "comm/dispatch.h"

// Set by main before the start-up, read-only afterwards.
extern std::string g_ServiceName;  // "TirvanClient"
extern std::string g_InstallRoot;  // the parent of the program's folder; empty when unknown
extern std::string g_DBPath;       // <root>/etc/Tirvan.db; empty without a root

// Set by InitOSInfo during the start-up, read-only afterwards.
extern std::string g_OSName;  // the system's name as the central server gets it
extern int g_SysType;         // 2, which the server, the devices and the tray rely on

// The single-instance lock: a file of this name (plus ".lock") held with flock while
// the process lives. Its folder: $TIRVAN_LOCK_DIR when set, else /run/lock when
// writable, else the install root's etc.
inline constexpr const char* kInstanceLockName = "342cfb6a-1374-11e2-a327-dd69792138b9";
inline constexpr const char* kInstanceLockDirEnv = "TIRVAN_LOCK_DIR";
std::string InstanceLockPath(const std::string& lockDir, const std::string& installRoot);

// ---- Handler registration.

struct RegEntry {
  uint16_t opcode;
  RegFun handler;
  const char* name;
};
// The devices' opcodes, then the tray program's, in registration order.
std::span<const RegEntry> BusinessFunTable();
std::span<const RegEntry> ShowFunTable();
// Register their table in order; at the first refusal they log "Reg <name> function
// error." and return it (ERR_REG_FUNCTION). RegBusinessFun ends with RegShowFun.
int RegBusinessFun();
int RegShowFun();

// ---- The first logon.

// The calls UserOp makes; empty members call the real LogOn, SetSVInfo, SetPowerOnInfo.
struct UserOpCalls {
  std::function<int()> logOn;
  std::function<int()> setSVInfo;
  std::function<void()> setPowerOnInfo;
};
// Logs on and stores the result in g_LogOnRtn; after a logon, reports the server info
// and then the power-on. 0, or SetSVInfo's result when that fails.
int RunUserOp(const UserOpCalls& calls = UserOpCalls{});
// The work item: RunUserOp with the real calls. The argument is not used.
void UserOp(void* arg);

// ---- The system's name.

// The Windows version numbers GetOSName reads.
inline constexpr uint32_t kVerPlatformWin32Windows = 1;
inline constexpr uint32_t kVerPlatformWin32Nt = 2;
inline constexpr uint8_t kVerNtWorkstation = 1;
inline constexpr uint16_t kProcessorArchitectureAmd64 = 9;

// The name of a Windows version: "Windows 7" for 6.1 on a workstation, "unknown" for a
// major version other than 4, 5 and 6, "" for any other minor version (6.2 and later).
std::string GetOSName(uint32_t major, uint32_t minor, uint32_t platformId, uint8_t productType,
                      uint16_t processorArch, bool serverR2);
// The running system's Windows version name: always "" here, as for a failed query.
std::string GetOSName();
// PRETTY_NAME of an os-release file ("" when the file or the key is missing).
std::string ReadOsPrettyName(const std::string& path);
// g_OSName := the pretty name of /etc/os-release (else /usr/lib/os-release), else
// GetOSName(); g_SysType := 2.
void InitOSInfo();

// ---- Start-up and exit.

struct ServiceInitOptions {
  std::string lockDir;  // the single-instance lock's folder; empty: as InstanceLockPath says
  OsInitOptions os;     // what OS_Init does
  // Queues the work items (empty: ThreadPool_Add on g_ThreadPool). Tests record them.
  std::function<int(ThreadPool* pool, ThreadPoolFn fn, void* arg)> addWork;
};

// The service's second start step, in this order: the stop flag cleared; the single
// instance (ERR_SECOND_INSTANCE); the database g_DBPath (ERR_OPEN_DB); the log settings;
// <root>/log created and Log.txt opened (ERR_OPEN_LOG); resume files cleaned; the local
// port; the system's name; the station id (-1 without one); the local address; OS_Init
// (its code); the handlers (ERR_REG_FUNCTION); the work items UserOp, HeartBeat,
// StartRecvInterLine, InterLineUpLoadFile, StartP2PClient, StartBroadcastServer,
// SetDiskInfo (-1 when one of the last six cannot be queued). 0 when the service is up.
int Service_InitProgram(const ServiceInitOptions& options = ServiceInitOptions{});

// The stop step: logs out, closes the database under its lock, logs "exit server." and
// raises the stop flag (OS_Exit). Returns 0.
int Service_Exit();
