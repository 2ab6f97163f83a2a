// The PCs' logon, logout, heartbeat and reports. Each request names its PC by the
// station id of its head and is answered with one ServerReplyHead. A station id is no
// secret, so reports count only from the IP address of the station's latest successful
// logon; from anywhere else they are refused with RESULT_NOT_LOGON_ADDRESS and change
// nothing. Reports from that address while the station is logged out are still kept but
// answered RESULT_NOT_LOGGED_ON. Reports for a station that has never logged on (a PC's
// first disk report may overtake its logon) wait apart, and the first logon takes those
// that came from its own address.
#include <cstdio>
#include <functional>
#include <optional>
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
    case RESULT_NOT_LOGON_ADDRESS: return "not the address of its logon";
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

// The reports that waited for the station's first logon, into its new record.
void AdoptReports(StationState& s, const StationState& parked) {
  s.requests += parked.requests;
  if (parked.serverInfoTime != 0) {
    s.serverInfoTime = parked.serverInfoTime;
    s.localIp = parked.localIp;
    s.externalPort = parked.externalPort;
    s.localPort = parked.localPort;
    s.systemType = parked.systemType;
    s.hostName = parked.hostName;
  }
  if (parked.powerOnTime != 0) {
    s.powerOnTime = parked.powerOnTime;
    s.powerOnEmail = parked.powerOnEmail;
    s.powerOnHostName = parked.powerOnHostName;
  }
  if (parked.disksTime != 0) {
    s.disksTime = parked.disksTime;
    s.disks = parked.disks;
  }
}

// Where a request about an existing station may come from.
enum class Source { NoRecord, LogOnAddress, Elsewhere };

// Runs take on the station's record when the request comes from the address of its
// latest logon.
Source FromLogOnAddress(CentralServer& server, Connection& c, const Frame& f,
                        const std::function<void(StationState&)>& take, std::string* logOnAddress) {
  Source source = Source::NoRecord;
  server.Stations().Update(f.head.stationId, Create::No, [&](StationState& s) {
    if (s.logOnAddress.empty() || s.logOnAddress != c.Host()) {
      source = Source::Elsewhere;
      *logOnAddress = s.logOnAddress;
      return;
    }
    source = Source::LogOnAddress;
    Seen(server, c, s);
    take(s);
  });
  return source;
}

std::string ElsewhereDetails(const std::string& logOnAddress) {
  return "(logged on from " + (logOnAddress.empty() ? std::string("nowhere") : logOnAddress) +
         "; nothing kept)";
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
  std::string details = AccountDetails(r.email) + " os=" + r.osName;
  // A failed logon proves nothing about the PC: it changes nothing in its record.
  if (result == RESULT_OK) {
    std::optional<StationState> parked = server.Stations().TakeParked(f.head.stationId, c.Host());
    bool kept = server.Stations().Update(f.head.stationId, Create::Evicting, [&](StationState& s) {
      if (parked) {
        AdoptReports(s, *parked);
        details += " (takes the reports it sent before)";
      }
      Seen(server, c, s);
      s.loggedOn = true;
      s.email = r.email;
      s.systemType = r.systemType;
      s.osName = r.osName;
      s.logOnTime = s.lastSeen;
      s.logOnAddress = c.Host();
    });
    if (!kept) result = RESULT_SERVER_ERROR;
    server.MarkStateChanged();
  }
  Answer(server, c, f, result, details);
}

void OnLogOut(CentralServer& server, Connection& c, const Frame& f) {
  if (Malformed(server, c, f, f.bodyLen == AccountRecord::kSize)) return;
  AccountRecord r = AccountRecord::Decode(f.body);
  uint16_t result = VerdictResult(server.Accounts().Verify(r.email, r.psw));
  if (result == RESULT_OK) {
    // A logout proves itself with the account, so it may come from anywhere; one that
    // does not end the station's logon changes nothing.
    result = RESULT_NOT_LOGGED_ON;
    server.Stations().Update(f.head.stationId, Create::No, [&](StationState& s) {
      if (s.loggedOn && s.email == r.email) {
        Seen(server, c, s);
        s.loggedOn = false;
        s.logOutTime = s.lastSeen;
        result = RESULT_OK;
      }
    });
    if (result == RESULT_OK) server.MarkStateChanged();
  }
  Answer(server, c, f, result, AccountDetails(r.email));
}

void OnHeartBeat(CentralServer& server, Connection& c, const Frame& f) {
  if (Malformed(server, c, f, f.bodyLen == 0)) return;
  uint16_t result = RESULT_NOT_LOGGED_ON;
  std::string logOnAddress, details;
  Source source = FromLogOnAddress(server, c, f, [&](StationState& s) {
    if (s.loggedOn) {
      s.lastHeartBeat = s.lastSeen;
      result = RESULT_OK;
    }
  }, &logOnAddress);
  if (source == Source::LogOnAddress) {
    server.MarkStateChanged();
  } else if (source == Source::Elsewhere) {
    result = RESULT_NOT_LOGON_ADDRESS;
    details = ElsewhereDetails(logOnAddress);
  }
  Answer(server, c, f, result, details);
}

// Keeps a report in the station's record, or apart until its first logon; OK when the
// station is logged on.
uint16_t KeepReport(CentralServer& server, Connection& c, const Frame& f,
                    const std::function<void(StationState&)>& store, std::string* details) {
  uint16_t result = RESULT_NOT_LOGGED_ON;
  std::string logOnAddress;
  Source source = FromLogOnAddress(server, c, f, [&](StationState& s) {
    store(s);
    if (s.loggedOn) result = RESULT_OK;
  }, &logOnAddress);
  switch (source) {
    case Source::LogOnAddress:
      server.MarkStateChanged();
      break;
    case Source::Elsewhere:
      result = RESULT_NOT_LOGON_ADDRESS;
      *details += " " + ElsewhereDetails(logOnAddress);
      break;
    case Source::NoRecord:
      server.Stations().Park(f.head.stationId, c.Host(), [&](StationState& s) {
        Seen(server, c, s);
        store(s);
      });
      *details += " (kept for its first logon from " + c.Host() + ")";
      break;
  }
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
