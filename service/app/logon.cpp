#include "app/logon.h"

#include <arpa/inet.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "app/service_init.h"
#include "app/upnp.h"
#include "comm/config_db.h"
#include "comm/core.h"
#include "comm/errors.h"
#include "comm/host_identity.h"
#include "comm/local_server.h"
#include "comm/log.h"
#include "comm/opcodes.h"
#include "comm/utils.h"
#include "platform/charset.h"
#include "platform/env_setting.h"


namespace {

constexpr size_t kLogOnSize = 132;
constexpr size_t kAccountSize = 64;
constexpr size_t kSvInfoSize = 212;
constexpr size_t kPowerOnSize = 162;

std::mutex g_optionsMutex;
ServerReportOptions g_options = ServerReportOptionsFromEnvironment();  // g_optionsMutex

uint16_t SysType() { return static_cast<uint16_t>(g_SysType); }

void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// An account text as stored: bytes copied unchanged, cut so one zero byte stays.
void PutAccountText(uint8_t* field, size_t n, const std::string& text) {
  std::memset(field, 0, n);
  std::memcpy(field, text.data(), std::min(text.size(), n - 1));
}

std::string StationId() { return std::string(g_MacBuf, strnlen(g_MacBuf, sizeof g_MacBuf - 1)); }

ServerMsgHead Head(uint16_t command, size_t payloadLen) {
  return ServerMsgHead{static_cast<uint16_t>(ServerMsgHead::kSize + payloadLen), 6, command,
                       StationId()};
}

ServerAddress ReadServer() {
  ServerAddress server;
  GetServerInfo(server.host, server.port);
  return server;
}

// One exchange. 0 with *result set, or -1.
int Exchange(const ServerAddress& server, uint16_t command, const uint8_t* payload, size_t len,
             uint16_t* result) {
  ServerReportOptions o = GetServerReportOptions();
  ServerReplyHead answer;
  std::vector<uint8_t> answerPayload;  // read whole, then dropped unread
  if (RequestServer(Head(command, len), server, payload, static_cast<uint32_t>(len), &answer,
                    &answerPayload, o.ioTimeoutMs, o.connectTimeoutMs) != 0)
    return -1;
  *result = answer.result;
  return 0;
}

// The host name as UTF-8. false when it cannot be read.
bool HostNameUtf8(std::string* out) {
  std::string name;
  if (GetHostName(name) != 0) return false;
  *out = platform::ConvertCharset(name, platform::kNarrowCharset, "UTF-8");
  return true;
}

int SystemDiskFree(const std::string& root, uint64_t* bytes) {
  struct statvfs vfs;
  if (::statvfs(root.c_str(), &vfs) != 0) return -1;
  // The whole volume's free space, not only what an unprivileged user may take.
  *bytes = static_cast<uint64_t>(vfs.f_bfree) * vfs.f_frsize;
  return 0;
}

}  // namespace

void SetServerReportOptions(const ServerReportOptions& options) {
  std::lock_guard<std::mutex> lock(g_optionsMutex);
  g_options = options;
}

ServerReportOptions GetServerReportOptions() {
  std::lock_guard<std::mutex> lock(g_optionsMutex);
  return g_options;
}

ServerReportOptions ServerReportOptionsFromEnvironment() {
  ServerReportOptions o;
  auto interval = [](const char* name, unsigned* out) {
    if (auto v = EnvInteger(name, 1, INT32_MAX)) *out = static_cast<unsigned>(*v);
  };
  interval(kHeartBeatIntervalEnv, &o.heartBeatIntervalMs);
  interval(kDiskReportIntervalEnv, &o.diskReportIntervalMs);
  return o;
}

void DiskInfoRecord::Encode(uint8_t* p) const {
  std::memset(p, 0, kSize);
  wire::PutU16(p, sysType);  // big-endian here, unlike the other reports
  wire::PutU32(p + 4, freeMiB);
  wire::PutText(p + 8, 32, stationId);
  wire::PutText(p + 40, 256, drive);
}

int LogOn() {
  std::string email, psw;
  GetUsernfo(email, psw);
  ServerAddress server = ReadServer();
  if (email.empty() || psw.empty()) {
    TLOG(MOD_USER, LOG_WARNING, "user name or passworld is empty.");
    return ERR_USER_EMPTY;
  }
  // The hash never goes to the log.
  TLOG(MOD_USER, LOG_DEBUG, "log on to %s:%u as %s, psw ***.", server.host.c_str(),
       unsigned{server.port}, email.c_str());

  std::array<uint8_t, kLogOnSize> p{};
  PutAccountText(p.data(), 32, email);
  PutAccountText(p.data() + 32, 32, psw);
  PutLe16(p.data() + 64, SysType());
  wire::PutText(p.data() + 68, 32, g_OSName);
  wire::PutText(p.data() + 100, 32, StationId());

  uint16_t result = 0;
  if (Exchange(server, SV_LOG_ON, p.data(), p.size(), &result) != 0) {
    TLOG(MOD_COMMLIB, LOG_WARNING, "connect net work error.");
    return ERR_CONNECT_NET;
  }
  return result;
}

int LogOut() {
  std::string email, psw;
  GetUsernfo(email, psw);
  if (email.empty() || psw.empty()) return ERR_USER_EMPTY;
  ServerAddress server = ReadServer();

  std::array<uint8_t, kAccountSize> p{};
  PutAccountText(p.data(), 32, email);
  PutAccountText(p.data() + 32, 32, psw);
  uint16_t result = 0;
  if (Exchange(server, SV_LOG_OUT, p.data(), p.size(), &result) != 0) return -1;
  return result;
}

int SendHeartBeat(const ServerAddress& server) {
  uint16_t result = 0;
  if (Exchange(server, SV_HEART_BEAT, nullptr, 0, &result) != 0) return -1;
  return result;
}

int SetSVInfo() {
  ServerAddress server = ReadServer();
  uint16_t localPort = g_LocalPort.load();

  // The external port goes to the server only when the gateway took the TCP mapping.
  uint16_t externalPort = 0;
  if (g_LogOnRtn.load() == 0) {
    UPnPMapPort(localPort, &externalPort, true);
    uint16_t udpPort = 0;
    UPnPMapPort(localPort, &udpPort, false);
  }

  std::string host;
  if (!HostNameUtf8(&host)) return -1;

  std::array<uint8_t, kSvInfoSize> p{};
  // inet_addr: network order, all bits set for a text that is no address.
  in_addr_t ip = ::inet_addr(g_LocalIp.Get().c_str());
  std::memcpy(p.data() + 8, &ip, 4);
  wire::PutU16(p.data() + 12, externalPort);
  wire::PutU16(p.data() + 16, localPort);
  PutLe16(p.data() + 18, SysType());
  wire::PutText(p.data() + 84, 64, host);

  uint16_t result = 0;
  if (Exchange(server, SV_SET_SV_INFO, p.data(), p.size(), &result) != 0) {
    TLOG(MOD_COMMLIB, LOG_WARNING, "connect net work error.");
    return ERR_CONNECT_NET;
  }
  return result;
}

void SetPowerOnInfo() {
  std::string email, psw;
  GetUsernfo(email, psw);
  ServerAddress server = ReadServer();
  std::string host;
  HostNameUtf8(&host);  // an unreadable name leaves the field empty

  std::array<uint8_t, kPowerOnSize> p{};
  PutLe16(p.data(), SysType());
  PutAccountText(p.data() + 2, 32, email);
  wire::PutText(p.data() + 34, 32, StationId());  // at most 31 characters in its 64 bytes
  wire::PutText(p.data() + 98, 64, host);

  uint16_t result = 0;
  if (Exchange(server, SV_SET_POWER_ON_INFO, p.data(), p.size(), &result) != 0) {
    TLOG(MOD_COMMLIB, LOG_WARNING, "connect net work error.");
  }
}

void CollectDiskInfo(std::vector<DiskInfoRecord>& out) {
  out.clear();
  std::vector<std::string> folders;
  ParseShareInfo(folders);
  std::vector<std::string> defaults;
  GetDefaultDirList(defaults);
  folders.insert(folders.end(), defaults.begin(), defaults.end());

  ServerReportOptions o = GetServerReportOptions();
  std::vector<std::string> drives;
  std::set<std::string> seen;
  for (const std::string& folder : folders) {
    // An unset folder (or one whose volume cannot be found) names no volume.
    std::string drive = o.driveRoot ? o.driveRoot(folder) : GetDriveRoot(folder);
    if (drive.empty() || !seen.insert(drive).second) continue;
    if (drives.size() == kMaxDiskRecords) {
      TLOG(MOD_USER, LOG_WARNING, "more than %zu volumes: %s and later ones not reported.",
           kMaxDiskRecords, drive.c_str());
      break;
    }
    drives.push_back(drive);
  }

  std::string station = StationId();
  for (const std::string& drive : drives) {
    uint64_t bytes = 0;
    int rc = o.diskFree ? o.diskFree(drive, &bytes) : SystemDiskFree(drive, &bytes);
    uint64_t mib = rc == 0 ? bytes >> 20 : 0;
    DiskInfoRecord r;
    r.sysType = SysType();
    r.freeMiB = mib > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mib);
    r.stationId = station;
    r.drive = drive;
    out.push_back(std::move(r));
  }
}

void HeartBeat(void*) {
  ServerAddress server = ReadServer();
  unsigned interval = GetServerReportOptions().heartBeatIntervalMs;
  TLOG(MOD_USER, LOG_DEBUG, "heartbeat every %u ms.", interval);
  while (g_StopFlag.load() == 0) {
    if (!SleepUnlessStopped(interval)) break;
    std::string ip;
    if (GetLoaclIp(ip) == 0 && !ip.empty()) g_LocalIp.Set(ip);
    int rtn = LogOn();
    {
      std::lock_guard<std::mutex> lock(g_MutexLogOnRtn);
      g_LogOnRtn = rtn;
    }
    TLOG(MOD_USER, LOG_DEBUG, "relogin , return code %d", rtn);
    SendHeartBeat(server);
    SetSVInfo();
  }
}

void SetDiskInfo(void*) {
  ServerAddress server = ReadServer();
  unsigned interval = GetServerReportOptions().diskReportIntervalMs;
  TLOG(MOD_USER, LOG_DEBUG, "disk report every %u ms.", interval);
  while (g_StopFlag.load() == 0) {
    std::vector<DiskInfoRecord> records;
    CollectDiskInfo(records);
    if (!records.empty()) {
      std::vector<uint8_t> payload;
      bool allocated = true;
      try {
        payload.resize(records.size() * DiskInfoRecord::kSize);
      } catch (const std::bad_alloc&) {
        allocated = false;
      }
      if (!allocated) {
        TLOG(MOD_USER, LOG_ERROR, "Allocate memory error.");
      } else {
        for (size_t i = 0; i < records.size(); ++i) {
          records[i].Encode(payload.data() + i * DiskInfoRecord::kSize);
        }
        uint16_t result = 0;
        Exchange(server, SV_SET_DISK_INFO, payload.data(), payload.size(), &result);
      }
    }
    if (!SleepUnlessStopped(interval)) break;
  }
}
