#include "app/service_init.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "app/device_requests.h"
#include "app/download.h"
#include "app/listing.h"
#include "app/logon.h"
#include "app/relay_transfer.h"
#include "app/thumbnail.h"
#include "app/transfer_table.h"
#include "app/tray_requests.h"
#include "app/upload.h"
#include "app/upnp.h"
#include "comm/config_db.h"
#include "comm/discovery.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/p2p_client.h"
#include "comm/relay_client.h"
#include "comm/share_paths.h"
#include "comm/sqlite_db.h"
#include "comm/utils.h"

std::string g_ServiceName = "TirvanClient";
std::string g_InstallRoot;
std::string g_DBPath;
std::string g_OSName;
int g_SysType = 0;

namespace {

constexpr RegEntry kBusinessFuns[] = {
    {OP_GET_SHARE_INFO, GetShareInfo, "GetShareInfo"},
    {OP_GET_ALL_SUB_FILE, GetAllSubFile, "GetAllSubFile"},
    {OP_REQ_UP_LOAD_FILE, ReqUpLoadFile, "ReqUpLoadFile"},
    {OP_UP_LOAD_FILE, UpLoadFile, "UpLoadFile"},
    {OP_OVER_UP_LOAD_FILE, OverUpLoadFile, "OverUpLoadFile"},
    {OP_REQ_DOWN_LOAD_FILE, ReqDownLoadFile, "ReqDownLoadFile"},
    {OP_ALLOW_DOWN_LOAD_FILE, AllowDownLoadFile, "AllowDownLoadFile"},
    {OP_REFUSE_DOWN_LOAD_FILE, RefuseDownLoadFile, "RefuseDownLoadFile"},
    {OP_REQ_DOWNLOAD_THUMB_NIAL, ReqDownloadThumbNial, "ReqDownloadThumbNial"},
    {OP_STOP_DOWN_LOAD, StopDownLoad, "StopDownLoad"},
    {OP_REQ_DEVICE_HEART_BEAT, ReqDeviceHeartBeat, "ReqDeviceHeartBeat"},
    {OP_REQ_SHUT_DOWN_SYSTEM, ReqShutDownSystem, "ReqShutDownSystem"},
    {OP_REQ_DEVICE_LOGIN, ReqDeviceLogin, "ReqDeviceLogin"},
};

// OP_SHOW_DEVICE_LOGIN is missing on purpose: the service only sends it, to the tray.
constexpr RegEntry kShowFuns[] = {
    {OP_SHOW_GET_LOG_ON_INFO, Show_GetLogOnInfo, "Show_GetLogOnInfo"},
    {OP_SHOW_LOG_ON_STATUES, Show_LogOnStatues, "Show_LogOnStatues"},
    {OP_SHOW_LOG_ON, Show_LogOn, "Show_LogOn"},
    {OP_SHOW_GET_DEF_SHARE, Show_GetDefShare, "Show_GetDefShare"},
    {OP_SHOW_SET_DEF_SHARE, Show_SetDefShare, "Show_SetDefShare"},
    {OP_SHOW_GET_SHARE, Show_GetShare, "Show_GetShare"},
    {OP_SHOW_SET_SHARE, Show_SetShare, "Show_SetShare"},
    {OP_SHOW_GET_PATH, Show_GetPath, "Show_GetPath"},
    {OP_SHOW_GET_TRANS_LOG, Show_GetTransLog, "Show_GetTransLog"},
    {OP_SHOW_GET_IS_TRANING, Show_GetIsTraning, "Show_GetIsTraning"},
    {OP_SHOW_GET_IS_MOBILE_LINKED, Show_GetIsMobileLinked, "Show_GetIsMobileLinked"},
    {OP_SHOW_GET_SYS_TYPE, Show_GetSysType, "Show_GetSysType"},
    {OP_SHOW_LOG_OUT, Show_LogOut, "Show_LogOut"},
    {OP_SHOW_CLEAR_LOG, Show_ClearLog, "Show_ClearLog"},
};

struct WorkItem {
  ThreadPoolFn fn;
  const char* name;
};

// Queued after UserOp, in this order.
constexpr WorkItem kWorkItems[] = {
    {HeartBeat, "HeartBeat"},
    {StartRecvInterLine, "StartRecvInterLine"},
    {InterLineUpLoadFile, "InterLineUpLoadFile"},
    {StartP2PClient, "StartP2PClient"},
    {StartBroadcastServer, "StartBroadcastServer"},
    {SetDiskInfo, "SetDiskInfo"},
};

int RegisterTable(std::span<const RegEntry> table) {
  for (const RegEntry& e : table) {
    int rc = OS_RegFunction(e.handler, e.opcode);
    if (rc != ERR_OK) {
      TLOG(MOD_CLIENT, LOG_INFO, "Reg %s function error.", e.name);
      return rc;
    }
  }
  return ERR_OK;
}

// What the start-up says before its log is open goes to standard output, which the
// service manager keeps. It is flushed at once: the process may end with _exit.
void Say(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// The held lock. Never closed: the lock goes when the process ends.
int g_instanceLockFd = -1;

// 0 once this process holds the lock, ERR_SECOND_INSTANCE when another process holds
// it, -1 when no lock could be taken at all (the start goes on without one).
int TakeInstanceLock(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(fd);
    if (e == EWOULDBLOCK) return ERR_SECOND_INSTANCE;
    *error = "cannot lock " + path + ": " + std::strerror(e);
    return -1;
  }
  g_instanceLockFd = fd;
  return 0;
}

// One os-release value: the text after '=', its quotes removed and backslash escapes
// resolved, cut at the first control character.
std::string OsReleaseValue(const std::string& raw) {
  std::string v = raw;
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (c == '\\' && i + 1 < v.size()) c = v[++i];
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) break;
    out += c;
  }
  return out;
}

}  // namespace

std::string InstanceLockPath(const std::string& lockDir, const std::string& installRoot) {
  std::string dir = lockDir;
  if (dir.empty()) {
    const char* env = std::getenv(kInstanceLockDirEnv);
    if (env != nullptr && *env != '\0') dir = env;
  }
  if (dir.empty()) {
    dir = ::access("/run/lock", W_OK | X_OK) == 0 ? "/run/lock" : installRoot + "/etc";
  }
  return dir + "/" + kInstanceLockName + ".lock";
}

std::span<const RegEntry> BusinessFunTable() { return kBusinessFuns; }
std::span<const RegEntry> ShowFunTable() { return kShowFuns; }

int RegShowFun() { return RegisterTable(kShowFuns); }

int RegBusinessFun() {
  int rc = RegisterTable(kBusinessFuns);
  if (rc != ERR_OK) return rc;
  return RegShowFun();
}

int RunUserOp(const UserOpCalls& calls) {
  TLOG(MOD_CLIENT, LOG_INFO, "start log in.");
  int rc = calls.logOn ? calls.logOn() : LogOn();
  {
    std::lock_guard<std::mutex> lock(g_MutexLogOnRtn);
    g_LogOnRtn = rc;
  }
  if (rc != 0) {
    TLOG(MOD_CLIENT, LOG_WARNING, "log on return code %d", rc);
    return 0;
  }
  TLOG(MOD_CLIENT, LOG_INFO, "log on successfully.");
  rc = calls.setSVInfo ? calls.setSVInfo() : SetSVInfo();
  if (rc != 0) {
    TLOG(MOD_CLIENT, LOG_ERROR, "set server info error.");
    return rc;
  }
  if (calls.setPowerOnInfo) calls.setPowerOnInfo();
  else SetPowerOnInfo();
  return 0;
}

void UserOp(void* /*arg*/) { RunUserOp(); }

std::string GetOSName(uint32_t major, uint32_t minor, uint32_t platformId, uint8_t productType,
                      uint16_t processorArch, bool serverR2) {
  const bool workstation = productType == kVerNtWorkstation;
  switch (major) {
    case 4:
      if (minor == 0) {
        if (platformId == kVerPlatformWin32Nt) return "Windows NT 4.0";
        if (platformId == kVerPlatformWin32Windows) return "Windows 95";
        return "";
      }
      if (minor == 10) return "Windows 98";
      if (minor == 90) return "Windows Me";
      return "";
    case 5:
      if (minor == 0) return "Windows 2000";
      if (minor == 1) return "Windows XP";
      if (minor == 2) {
        if (workstation && processorArch == kProcessorArchitectureAmd64) {
          return "Windows XP Professional x64 Edition";
        }
        return serverR2 ? "Windows Server 2003 R2" : "Windows Server 2003";
      }
      return "";
    case 6:
      if (minor == 0) return workstation ? "Windows Vista" : "Windows Server 2008";
      if (minor == 1) return workstation ? "Windows 7" : "Windows Server 2008 R2";
      return "";
    default:
      return "unknown";
  }
}

// No Windows version to query: the same empty name as a failed query.
std::string GetOSName() { return ""; }

std::string ReadOsPrettyName(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    static const std::string kKey = "PRETTY_NAME=";
    if (line.rfind(kKey, 0) == 0) return OsReleaseValue(line.substr(kKey.size()));
  }
  return "";
}

void InitOSInfo() {
  std::string name = ReadOsPrettyName("/etc/os-release");
  if (name.empty()) name = ReadOsPrettyName("/usr/lib/os-release");
  if (name.empty()) name = GetOSName();
  g_OSName = name;
  g_SysType = 2;
}

int Service_InitProgram(const ServiceInitOptions& options) {
  OS_ClearStopFlag();

  std::string lockError;
  int locked = TakeInstanceLock(InstanceLockPath(options.lockDir, g_InstallRoot), &lockError);
  if (locked == ERR_SECOND_INSTANCE) {
    Say("server exits.");
    return ERR_SECOND_INSTANCE;
  }
  if (locked != 0) Say(("no single-instance lock: " + lockError).c_str());

  try {
    // Without an install root there is no database to open (and none to create in /etc).
    if (g_DBPath.empty()) throw CppSQLite3Exception(CPPSQLITE_ERROR, "no install root");
    g_DB.OpenFile(g_DBPath.c_str());
  } catch (const CppSQLite3Exception&) {
    Say("open database error.");
    return ERR_OPEN_DB;
  }

  int console = 0;
  int priority = 0;
  ParseLogConf(console, priority);
  const std::string logDir = g_InstallRoot + "/log";
  if (DirExists(logDir) != 0) ::mkdir(logDir.c_str(), 0755);
  // A threshold below 0 writes nothing, as a threshold of 0 does.
  unsigned threshold = priority < 0 ? 0u : static_cast<unsigned>(priority);
  g_Log.ApplyEnvironment();
  if (!g_Log.Open(logDir + "/Log.txt", threshold, console != 0)) {
    Say("open log file exits.");
    return ERR_OPEN_LOG;
  }
  if (locked != 0) TLOG(MOD_COMMLIB, LOG_WARNING, "no single-instance lock: %s", lockError.c_str());

  CleanRenameTempFiles();

  ParseLocalPort();
  TLOG(MOD_COMMLIB, LOG_DEBUG, "local bind port %d.", g_LocalPort.load());

  InitOSInfo();
  TLOG(MOD_COMMLIB, LOG_DEBUG, "os %s, type %d.", g_OSName.c_str(), g_SysType);

  g_MacAddr = GetMacAddr();
  if (g_MacAddr.empty()) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "Get mac addr error.");
    return -1;
  }
  std::memset(g_MacBuf, 0, sizeof g_MacBuf);
  g_MacAddr.copy(g_MacBuf, sizeof g_MacBuf - 1);
  TLOG(MOD_COMMLIB, LOG_DEBUG, "Mac:%s", g_MacBuf);

  std::string ip;
  if (GetLoaclIp(ip) != 0) {
    TLOG(MOD_COMMLIB, LOG_WARNING, "get local ip error %s.", ip.c_str());
  }
  g_LocalIp.Set(ip);

  // The transfer table ends every transfer of a closing local connection.
  TransTableInit();
  UpLoadInit();
  DownloadInit();
  SetServerReportOptions(ServerReportOptionsFromEnvironment());
  SetUPnPOptions(UPnPOptionsFromEnvironment());
  OS_SetRelayConfig(RelayClientConfigFromEnvironment());
  OS_SetLocalServerLimits(LocalServerLimitsFromEnvironment());

  int rc = OS_Init(options.os);
  if (rc != ERR_OK) {
    TLOG(MOD_COMMLIB, LOG_ERROR, "os init error.");
    return rc;
  }

  rc = RegBusinessFun();
  if (rc != ERR_OK) {
    TLOG(MOD_CLIENT, LOG_INFO, "Regester function error, return code(%d).", rc);
    return rc;
  }

  auto add = [&](ThreadPoolFn fn) {
    return options.addWork ? options.addWork(g_ThreadPool, fn, nullptr)
                           : ThreadPool_Add(g_ThreadPool, fn, nullptr);
  };
  add(UserOp);  // a logon that cannot start now is made by the heartbeat later
  for (const WorkItem& item : kWorkItems) {
    if (add(item.fn) != 0) {
      TLOG(MOD_CLIENT, LOG_ERROR, "Add %s to thread error.", item.name);
      return -1;
    }
  }

  TLOG(MOD_CLIENT, LOG_INFO, "Start service successful!");
  return 0;
}

int Service_Exit() {
  LogOut();
  try {
    // Takes the lock every reader and transaction holds, so nobody is mid-statement.
    g_DB.CloseFile();
  } catch (const CppSQLite3Exception&) {
    // Statements are still open: the connection stays, the process ends anyway.
  }
  TLOG(MOD_CLIENT, LOG_DEBUG, "exit server.");
  OS_Exit();
  return 0;
}
