#include "central/relay_router.h"

#include <cstring>
#include <vector>

#include "central/central_server.h"
#include "central/records.h"
#include "central/relay_protocol.h"
#include "comm/opcodes.h"
#include "comm/wire.h"

namespace central {

namespace {

std::string HostOf(const std::string& peer) { return peer.substr(0, peer.rfind(':')); }

// The device's relay id: unique while the server runs (the connection's number), then
// the name the device gave, cut to fit 63 bytes.
std::string MakeDeviceId(uint64_t connId, const std::string& name) {
  std::string id = "d" + std::to_string(connId) + ":";
  std::string clean = CleanText(name.empty() ? std::string("device") : name);
  return id + clean.substr(0, wire::Utf8CutLength(clean, kRelayIdSize - 1 - id.size()));
}

}  // namespace

RelayRouter::RelayRouter(CentralServer& server, RelayOptions options)
    : m_server(server), m_options(options) {
  using Member = void (RelayRouter::*)(Connection&, const Frame&);
  auto bind = [this](Member fn) {
    return [this, fn](Connection& c, const Frame& f) { (this->*fn)(c, f); };
  };
  server.SetHandler(SV_INTER_LINE_REQ, bind(&RelayRouter::OnKeepAlive));
  server.SetHandler(SV_INTER_LINE_DATA, bind(&RelayRouter::OnRelayReply));
  server.SetHandler(SV_DEVICE_LOGON, bind(&RelayRouter::OnDeviceLogOn));
  server.SetHandler(SV_DEVICE_DATA, bind(&RelayRouter::OnDeviceData));
  server.AddCloseHook([this](Connection& c) { OnClose(c); });
}

bool RelayRouter::HasRelay(const std::string& station) const {
  std::lock_guard<std::mutex> lock(m_stationsMutex);
  auto it = m_stations.find(station);
  return it != m_stations.end() && it->second.relay != nullptr;
}

size_t RelayRouter::DeviceCount(const std::string& station) const {
  std::lock_guard<std::mutex> lock(m_stationsMutex);
  auto it = m_stations.find(station);
  return it == m_stations.end() ? 0 : it->second.devices.size();
}

bool RelayRouter::StationOfAccount(const std::string& station, const std::string& email) {
  bool ok = false;
  m_server.Stations().Update(station, StationRegistry::Create::No, [&](StationState& s) {
    ok = s.loggedOn && !s.email.empty() && s.email == email;
  });
  return ok;
}

// ---- The PC's side

const char* RelayRouter::RelayRefusal(Connection& c, const std::string& station) {
  bool loggedOn = false;
  std::string logOnAddress;
  m_server.Stations().Update(station, StationRegistry::Create::No, [&](StationState& s) {
    loggedOn = s.loggedOn;
    logOnAddress = s.logOnAddress;
  });
  if (!loggedOn) return "not logged on";
  if (m_options.requireLogOnAddress && logOnAddress != HostOf(c.Peer()))
    return "not the address of its logon";
  return nullptr;
}

void RelayRouter::Register(Connection& c, const std::string& station) {
  m_pending.erase(c.Id());
  std::lock_guard<std::mutex> lock(m_stationsMutex);
  Station& s = m_stations[station];
  if (s.relay != nullptr && s.relay != &c) {
    // The PC has come back on a new connection; the old one is of no further use.
    m_server.Log("%s relay station=%s replaces the relay connection from %s", c.Peer().c_str(),
                 CleanText(station).c_str(), s.relay->Peer().c_str());
    m_relays.erase(s.relay->Id());
    s.relay->CloseAfterWrite();
  } else {
    m_server.Log("%s relay station=%s open", c.Peer().c_str(), CleanText(station).c_str());
  }
  s.relay = &c;
  m_relays[c.Id()] = station;
}

bool RelayRouter::PromotePending(const std::string& station) {
  // The newest connection first: an older one is more likely to be dead.
  for (auto it = m_pending.rbegin(); it != m_pending.rend(); ++it) {
    Connection* c = it->second.conn;
    if (it->second.station != station || c->Closing() || RelayRefusal(*c, station) != nullptr)
      continue;
    Register(*c, station);
    return true;
  }
  return false;
}

void RelayRouter::OnKeepAlive(Connection& c, const Frame& f) {
  const std::string& station = f.head.stationId;
  if (m_devices.count(c.Id()) != 0) return DropDevice(c.Id(), "sent a PC's keep-alive");
  if (station.empty() || f.bodyLen != 0) {
    m_server.Log("%s SV_INTER_LINE_REQ refused: %s", c.Peer().c_str(),
                 station.empty() ? "no station id" : "unexpected payload");
    c.Reply(SV_INTER_LINE_REQ, RESULT_BAD_REQUEST);
    return;
  }
  auto known = m_relays.find(c.Id());
  if (known != m_relays.end() && known->second != station) {
    m_server.Log("%s SV_INTER_LINE_REQ station=%s refused: the connection relays station %s",
                 c.Peer().c_str(), CleanText(station).c_str(), CleanText(known->second).c_str());
    c.Reply(SV_INTER_LINE_REQ, RESULT_BAD_REQUEST);
    return;
  }
  if (const char* refusal = RelayRefusal(c, station)) {
    if (known == m_relays.end()) {
      // The relay connection may come up before the logon has been answered: it waits,
      // and the first device of the station takes it once the logon is there.
      auto pending = m_pending.find(c.Id());
      if (pending == m_pending.end() || pending->second.station != station) {
        m_server.Log("%s relay station=%s waits: %s", c.Peer().c_str(), CleanText(station).c_str(),
                     refusal);
      }
      m_pending[c.Id()] = Pending{&c, station};
    }
    c.Reply(SV_INTER_LINE_REQ, RESULT_NOT_LOGGED_ON);
    return;
  }
  if (known == m_relays.end()) Register(c, station);
  c.Reply(SV_INTER_LINE_REQ, RESULT_OK);
}

void RelayRouter::OnRelayReply(Connection& c, const Frame& f) {
  auto relay = m_relays.find(c.Id());
  if (relay == m_relays.end()) {
    m_server.Log("%s SV_INTER_LINE_DATA refused: not a relay connection", c.Peer().c_str());
    c.Reply(SV_INTER_LINE_DATA, RESULT_NOT_LOGGED_ON);
    return;
  }
  const std::string& station = relay->second;
  if (f.bodyLen < kRelayIdSize + MsgHead::kSize ||
      wire::GetU16(f.body + kRelayIdSize) != f.bodyLen - kRelayIdSize) {
    m_server.Log("%s relay station=%s reply dropped: %zu bytes do not hold one whole message",
                 c.Peer().c_str(), CleanText(station).c_str(), f.bodyLen);
    c.Reply(SV_INTER_LINE_DATA, RESULT_BAD_REQUEST);
    return;
  }
  std::string target = wire::GetText(f.body, kRelayIdSize);
  SendResult r = SendToDevice(station, target, f.body + kRelayIdSize, f.bodyLen - kRelayIdSize);
  if (r == SendResult::NoDevice) {
    m_server.Log("%s relay station=%s reply dropped: device %s is not connected",
                 c.Peer().c_str(), CleanText(station).c_str(), CleanText(target).c_str());
    c.Reply(SV_INTER_LINE_DATA, RESULT_NO_DEVICE);
  }
}

RelayRouter::SendResult RelayRouter::SendToDevice(const std::string& station,
                                                  const std::string& deviceId, const uint8_t* msg,
                                                  size_t len, size_t limit, bool closeWhenFull) {
  auto s = m_stations.find(station);
  if (s == m_stations.end()) return SendResult::NoDevice;
  auto d = s->second.devices.find(deviceId);
  if (d == s->second.devices.end()) return SendResult::NoDevice;
  uint64_t connId = d->second;
  Connection* conn = m_devices.at(connId).conn;
  if (limit == 0) limit = m_options.maxDeviceBacklog;
  if (conn->Pending() + len > limit) {
    if (closeWhenFull) DropDevice(connId, "too slow: its backlog is full");
    return SendResult::Full;
  }
  if (!conn->Send(msg, len)) {
    DropDevice(connId, "write failed");
    return SendResult::NoDevice;
  }
  return SendResult::Sent;
}

// ---- The device's side

void RelayRouter::RefuseDevice(Connection& c, uint16_t result, const std::string& name,
                               const char* why) {
  m_server.Log("%s device %s refused: %s -> 0x%04X", c.Peer().c_str(), CleanText(name).c_str(),
               why, result);
  c.Reply(SV_DEVICE_LOGON, result);
  c.CloseAfterWrite();
}

void RelayRouter::OnDeviceLogOn(Connection& c, const Frame& f) {
  const std::string& name = f.head.stationId;
  if (m_devices.count(c.Id()) != 0 || m_relays.count(c.Id()) != 0)
    return RefuseDevice(c, RESULT_BAD_REQUEST, name, "the connection is already in use");
  if (f.bodyLen != DeviceLogonRecord::kSize)
    return RefuseDevice(c, RESULT_BAD_REQUEST, name, "logon record of the wrong size");
  std::string email = wire::GetText(f.body + DeviceLogonRecord::kEmail, 32);
  std::string psw = wire::GetText(f.body + DeviceLogonRecord::kPsw, 32);
  std::string station = wire::GetText(f.body + DeviceLogonRecord::kStation, kRelayIdSize);

  switch (m_server.Accounts().Verify(email, psw)) {
    case AccountStore::Verdict::Ok: break;
    case AccountStore::Verdict::UnknownAccount:
      return RefuseDevice(c, RESULT_UNKNOWN_ACCOUNT, name, "unknown account");
    case AccountStore::Verdict::WrongPassword:
      return RefuseDevice(c, RESULT_WRONG_PASSWORD, name, "wrong password");
    case AccountStore::Verdict::Error:
      return RefuseDevice(c, RESULT_SERVER_ERROR, name, "account store failed");
  }
  // A station of another account answers as a missing one: nothing about it is told.
  if (!StationOfAccount(station, email))
    return RefuseDevice(c, RESULT_NO_STATION, name, "no such PC for this account");
  if (!HasRelay(station)) PromotePending(station);
  auto s = m_stations.find(station);
  if (s == m_stations.end() || s->second.relay == nullptr)
    return RefuseDevice(c, RESULT_STATION_OFFLINE, name, "the PC has no relay connection");
  if (s->second.devices.size() >= m_options.maxDevicesPerStation)
    return RefuseDevice(c, RESULT_SERVER_ERROR, name, "too many devices on this PC");

  Device d;
  d.conn = &c;
  d.id = MakeDeviceId(c.Id(), name);
  d.station = station;
  d.email = email;
  {
    std::lock_guard<std::mutex> lock(m_stationsMutex);
    s->second.devices[d.id] = c.Id();
  }
  m_server.Log("%s device %s logged on for station=%s email=%s", c.Peer().c_str(),
               CleanText(d.id).c_str(), CleanText(station).c_str(), CleanText(email).c_str());
  uint8_t idField[kRelayIdSize] = {};
  std::memcpy(idField, d.id.data(), d.id.size());
  m_devices.emplace(c.Id(), std::move(d));
  c.Reply(SV_DEVICE_LOGON, RESULT_OK, idField, sizeof idField);
}

void RelayRouter::OnDeviceData(Connection& c, const Frame& f) {
  auto it = m_devices.find(c.Id());
  if (it == m_devices.end()) {
    m_server.Log("%s SV_DEVICE_DATA refused: the device has not logged on; closing",
                 c.Peer().c_str());
    c.Reply(SV_DEVICE_DATA, RESULT_NOT_LOGGED_ON);
    c.CloseAfterWrite();
    return;
  }
  const Device& d = it->second;
  if (f.bodyLen < MsgHead::kSize || wire::GetU16(f.body) != f.bodyLen)
    return DropDevice(c.Id(), "sent a message whose length does not match its frame");
  if (f.bodyLen > kRelayMaxMessage) return DropDevice(c.Id(), "sent a message too long to relay");
  // The PC may have logged off, or on with another account, since the device came.
  if (!StationOfAccount(d.station, d.email))
    return DropDevice(c.Id(), "its PC is no longer logged on with its account");
  if (m_deviceHook && m_deviceHook(c, d.station, d.id, f.body, f.bodyLen)) return;
  if (!HasRelay(d.station)) PromotePending(d.station);
  auto s = m_stations.find(d.station);
  if (s == m_stations.end() || s->second.relay == nullptr)
    return DropDevice(c.Id(), "its PC has no relay connection");
  Connection* relay = s->second.relay;
  if (relay->Pending() + f.bodyLen > m_options.maxRelayBacklog)
    return DropDevice(c.Id(), "its PC's relay connection is not reading");

  std::vector<uint8_t> frame(ServerMsgHead::kSize + kRelayIdSize + f.bodyLen);
  ServerMsgHead{static_cast<uint16_t>(frame.size()), 6, SV_INTER_LINE_DATA, d.id}.Encode(
      frame.data());
  std::memcpy(frame.data() + ServerMsgHead::kSize, d.id.data(), d.id.size());
  std::memcpy(frame.data() + ServerMsgHead::kSize + kRelayIdSize, f.body, f.bodyLen);
  relay->Send(frame.data(), frame.size());
}

void RelayRouter::DropDevice(uint64_t connId, const char* why) {
  auto it = m_devices.find(connId);
  if (it == m_devices.end()) return;
  Device d = std::move(it->second);
  m_devices.erase(it);
  // Logged before the device leaves its station, so whoever sees it gone finds the reason.
  m_server.Log("%s device %s closed: %s", d.conn->Peer().c_str(), CleanText(d.id).c_str(), why);
  ForgetDevice(d.station, d.id);
  d.conn->CloseAfterWrite();
}

void RelayRouter::ForgetDevice(const std::string& station, const std::string& id) {
  std::lock_guard<std::mutex> lock(m_stationsMutex);
  auto s = m_stations.find(station);
  if (s == m_stations.end()) return;
  s->second.devices.erase(id);
  if (s->second.relay == nullptr && s->second.devices.empty()) m_stations.erase(s);
}

void RelayRouter::OnClose(Connection& c) {
  m_pending.erase(c.Id());
  auto relay = m_relays.find(c.Id());
  if (relay != m_relays.end()) {
    std::lock_guard<std::mutex> lock(m_stationsMutex);
    auto s = m_stations.find(relay->second);
    if (s != m_stations.end() && s->second.relay == &c) {
      m_server.Log("%s relay station=%s closed", c.Peer().c_str(),
                   CleanText(relay->second).c_str());
      s->second.relay = nullptr;
      // Devices stay: the PC comes back on a new connection shortly after a failure.
      if (s->second.devices.empty()) m_stations.erase(s);
    }
    m_relays.erase(relay);
    return;
  }
  auto d = m_devices.find(c.Id());
  if (d == m_devices.end()) return;
  ForgetDevice(d->second.station, d->second.id);
  m_server.Log("%s device %s left", c.Peer().c_str(), CleanText(d->second.id).c_str());
  m_devices.erase(d);
}

}  // namespace central
