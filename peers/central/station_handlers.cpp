// The PCs' logon, logout, heartbeat and reports. Each request names its PC by the
// station id of its head and is answered with one ServerReplyHead. Reports from a
// station that is not logged on are still kept (a PC's first disk report may overtake
// its logon) but answered RESULT_NOT_LOGGED_ON.
#include <cstdio>
#include <string>

#include "central/central_server.h"
#include "central/records.h"
#include "comm/opcodes.h"

namespace central {

namespace {

using Create = StationRegistry::Create;

const char* ResultName(uint16_t result) {
  switch (result) {
    case RESULT_OK: return "ok";
    case RESULT_UNKNOWN_ACCOUNT: return "unknown account";
    case RESULT_WRONG_PASSWORD: return "wrong password";
    case RESULT_NOT_LOGGED_ON: return "not logged on";
    case RESULT_BAD_REQUEST: return "bad request";
    case RESULT_UNKNOWN_COMMAND: return "unknown command";
    case RESULT_SERVER_ERROR: return "server error";
    case RESULT_BAD_FRAME: return "bad frame";
    default: return "?";
  }
}

// Logs the request in one line and answers it.
void Answer(CentralServer& server, Connection& c, const Frame& f, uint16_t result,
            const std::string& details) {
  server.Log("%s %s station=%s%s%s -> 0x%04X (%s)", c.Peer().c_str(),
             CommandName(f.head.command).c_str(), CleanText(f.head.stationId).c_str(),
             details.empty() ? "" : " ", details.c_str(), result, ResultName(result));
  c.Reply(f.head.command, result);
}

// A request of the wrong size or without a station id.
bool Malformed(CentralServer& server, Connection& c, const Frame& f, bool sizeOk) {
  if (sizeOk && !f.head.stationId.empty()) return false;
  Answer(server, c, f, RESULT_BAD_REQUEST,
         f.head.stationId.empty() ? "(no station id)"
                                  : "(payload of " + std::to_string(f.bodyLen) + " bytes)");
  return true;
}

void Seen(CentralServer& server, Connection& c, StationState& s) {
  s.lastSeen = server.Now();
  s.peerAddress = c.Peer();
  ++s.requests;
}

uint16_t VerdictResult(AccountStore::Verdict v) {
  switch (v) {
    case AccountStore::Verdict::Ok: return RESULT_OK;
    case AccountStore::Verdict::UnknownAccount: return RESULT_UNKNOWN_ACCOUNT;
    case AccountStore::Verdict::WrongPassword: return RESULT_WRONG_PASSWORD;
    case AccountStore::Verdict::Error: break;
  }
  return RESULT_SERVER_ERROR;
}

std::string AccountDetails(const std::string& email) {
  return "email=" + CleanText(email) + " psw=***";  // the hash never goes to the log
}

void OnLogOn(CentralServer& server, Connection& c, const Frame& f) {
  if (Malformed(server, c, f, f.bodyLen == LogOnRecord::kSize)) return;
  LogOnRecord r = LogOnRecord::Decode(f.body);
  uint16_t result = VerdictResult(server.Accounts().Verify(r.email, r.psw));
  if (result == RESULT_OK) {
    bool kept = server.Stations().Update(f.head.stationId, Create::Evicting, [&](StationState& s) {
      Seen(server, c, s);
      s.loggedOn = true;
      s.email = r.email;
      s.systemType = r.systemType;
      s.osName = r.osName;
      s.logOnTime = s.lastSeen;
      s.logOnAddress = c.Peer().substr(0, c.Peer().rfind(':'));
    });
    if (!kept) result = RESULT_SERVER_ERROR;
  } else {
    // A failed logon leaves an existing logon alone: it proves nothing about the PC.
    server.Stations().Update(f.head.stationId, Create::No,
                             [&](StationState& s) { Seen(server, c, s); });
  }
  server.MarkStateChanged();
  Answer(server, c, f, result, AccountDetails(r.email) + " os=" + r.osName);
}

void OnLogOut(CentralServer& server, Connection& c, const Frame& f) {
  if (Malformed(server, c, f, f.bodyLen == AccountRecord::kSize)) return;
  AccountRecord r = AccountRecord::Decode(f.body);
  uint16_t result = VerdictResult(server.Accounts().Verify(r.email, r.psw));
  if (result == RESULT_OK) {
    result = RESULT_NOT_LOGGED_ON;
    server.Stations().Update(f.head.stationId, Create::No, [&](StationState& s) {
      Seen(server, c, s);
      if (s.loggedOn && s.email == r.email) {
        s.loggedOn = false;
        s.logOutTime = s.lastSeen;
        result = RESULT_OK;
      }
    });
    server.MarkStateChanged();
  }
  Answer(server, c, f, result, AccountDetails(r.email));
}

void OnHeartBeat(CentralServer& server, Connection& c, const Frame& f) {
  if (Malformed(server, c, f, f.bodyLen == 0)) return;
  uint16_t result = RESULT_NOT_LOGGED_ON;
  server.Stations().Update(f.head.stationId, Create::No, [&](StationState& s) {
    Seen(server, c, s);
    if (s.loggedOn) {
      s.lastHeartBeat = s.lastSeen;
      result = RESULT_OK;
    }
  });
  server.MarkStateChanged();
  Answer(server, c, f, result, "");
}

// Keeps a report in the station's record; OK when the station is logged on.
uint16_t KeepReport(CentralServer& server, Connection& c, const Frame& f,
                    const std::function<void(StationState&)>& store, std::string* details) {
  uint16_t result = RESULT_NOT_LOGGED_ON;
  bool kept = server.Stations().Update(f.head.stationId, Create::IfRoom, [&](StationState& s) {
    Seen(server, c, s);
    store(s);
    if (s.loggedOn) result = RESULT_OK;
  });
  if (!kept) *details += " (not kept: too many stations)";
  server.MarkStateChanged();
  return result;
}

void OnSetSvInfo(CentralServer& server, Connection& c, const Frame& f) {
  if (Malformed(server, c, f, f.bodyLen == ServerInfoRecord::kSize)) return;
  ServerInfoRecord r = ServerInfoRecord::Decode(f.body);
  char ip[16];
  std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", r.localIp[0], r.localIp[1], r.localIp[2],
                r.localIp[3]);
  std::string details = std::string("ip=") + ip + " ext=" + std::to_string(r.externalPort) +
                        " local=" + std::to_string(r.localPort) + " host=" + r.hostName;
  uint16_t result = KeepReport(server, c, f, [&](StationState& s) {
    s.serverInfoTime = s.lastSeen;
    s.localIp = ip;
    s.externalPort = r.externalPort;
    s.localPort = r.localPort;
    s.systemType = r.systemType;
    s.hostName = r.hostName;
  }, &details);
  Answer(server, c, f, result, details);
}

void OnSetPowerOnInfo(CentralServer& server, Connection& c, const Frame& f) {
  if (Malformed(server, c, f, f.bodyLen == PowerOnRecord::kSize)) return;
  PowerOnRecord r = PowerOnRecord::Decode(f.body);
  std::string details = "email=" + CleanText(r.email) + " host=" + r.hostName;
  uint16_t result = KeepReport(server, c, f, [&](StationState& s) {
    s.powerOnTime = s.lastSeen;
    s.powerOnEmail = r.email;
    s.powerOnHostName = r.hostName;
  }, &details);
  Answer(server, c, f, result, details);
}

void OnSetDiskInfo(CentralServer& server, Connection& c, const Frame& f) {
  if (Malformed(server, c, f, f.bodyLen % DiskRecord::kSize == 0)) return;
  std::vector<DiskState> disks;
  std::string details = "volumes=" + std::to_string(f.bodyLen / DiskRecord::kSize);
  for (size_t off = 0; off < f.bodyLen; off += DiskRecord::kSize) {
    DiskRecord r = DiskRecord::Decode(f.body + off);
    if (disks.size() < 4) details += " " + r.drive + "=" + std::to_string(r.freeMiB) + "MiB";
    disks.push_back(DiskState{r.drive, r.freeMiB, r.systemType, r.station});
  }
  if (disks.size() > 4) details += " ...";
  uint16_t result = KeepReport(server, c, f, [&](StationState& s) {
    s.disksTime = s.lastSeen;
    s.disks = disks;
  }, &details);
  Answer(server, c, f, result, details);
}

}  // namespace

void RegisterStationHandlers(CentralServer& server) {
  auto bind = [&server](void (*fn)(CentralServer&, Connection&, const Frame&)) {
    return [&server, fn](Connection& c, const Frame& f) { fn(server, c, f); };
  };
  server.SetHandler(SV_LOG_ON, bind(OnLogOn));
  server.SetHandler(SV_LOG_OUT, bind(OnLogOut));
  server.SetHandler(SV_HEART_BEAT, bind(OnHeartBeat));
  server.SetHandler(SV_SET_SV_INFO, bind(OnSetSvInfo));
  server.SetHandler(SV_SET_POWER_ON_INFO, bind(OnSetPowerOnInfo));
  server.SetHandler(SV_SET_DISK_INFO, bind(OnSetDiskInfo));
}

}  // namespace central
