#include "central/station_registry.h"

#include <json/json.h>

#include "central/records.h"

namespace central {

bool StationRegistry::Update(const std::string& id, Create create,
                             const std::function<void(StationState&)>& change) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_stations.find(id);
  if (it == m_stations.end()) {
    if (create == Create::No) return false;
    if (m_stations.size() >= m_max) {
      if (create != Create::Evicting) return false;
      auto victim = m_stations.end();
      for (auto s = m_stations.begin(); s != m_stations.end(); ++s) {
        if (!s->second.loggedOn && (victim == m_stations.end() ||
                                    s->second.lastSeen < victim->second.lastSeen))
          victim = s;
      }
      if (victim == m_stations.end()) return false;
      m_stations.erase(victim);
    }
    it = m_stations.emplace(id, StationState{}).first;
    it->second.stationId = id;
  }
  change(it->second);
  return true;
}

std::optional<StationState> StationRegistry::Find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_stations.find(id);
  if (it == m_stations.end()) return std::nullopt;
  return it->second;
}

std::vector<StationState> StationRegistry::All() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<StationState> all;
  all.reserve(m_stations.size());
  for (const auto& [id, s] : m_stations) all.push_back(s);
  return all;
}

size_t StationRegistry::Size() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stations.size();
}

void StationRegistry::Park(const std::string& id, const std::string& from,
                           const std::function<void(StationState&)>& change) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto key = std::make_pair(id, from);
  auto it = m_parked.find(key);
  if (it == m_parked.end()) {
    if (m_parked.size() >= m_max && !m_parked.empty()) {
      auto victim = m_parked.begin();
      for (auto p = m_parked.begin(); p != m_parked.end(); ++p) {
        if (p->second.lastSeen < victim->second.lastSeen) victim = p;
      }
      m_parked.erase(victim);
    }
    it = m_parked.emplace(key, StationState{}).first;
    it->second.stationId = id;
  }
  change(it->second);
}

std::optional<StationState> StationRegistry::TakeParked(const std::string& id,
                                                        const std::string& from) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::optional<StationState> taken;
  auto it = m_parked.lower_bound(std::make_pair(id, std::string()));
  while (it != m_parked.end() && it->first.first == id) {
    if (it->first.second == from) taken = std::move(it->second);
    it = m_parked.erase(it);
  }
  return taken;
}

size_t StationRegistry::ParkedSize() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_parked.size();
}

Json::Value ToJson(const StationState& s) {
  Json::Value v(Json::objectValue);
  v["station"] = CleanText(s.stationId);
  v["loggedOn"] = s.loggedOn;
  v["email"] = CleanText(s.email);
  v["systemType"] = s.systemType;
  v["osName"] = s.osName;
  v["peer"] = s.peerAddress;
  v["logOnTime"] = Json::Int64(s.logOnTime);
  v["logOutTime"] = Json::Int64(s.logOutTime);
  v["lastSeen"] = Json::Int64(s.lastSeen);
  v["lastHeartBeat"] = Json::Int64(s.lastHeartBeat);
  v["requests"] = Json::UInt64(s.requests);

  Json::Value info(Json::objectValue);
  info["time"] = Json::Int64(s.serverInfoTime);
  info["localIp"] = s.localIp;
  info["externalPort"] = s.externalPort;
  info["localPort"] = s.localPort;
  info["hostName"] = s.hostName;
  v["serverInfo"] = info;

  Json::Value power(Json::objectValue);
  power["time"] = Json::Int64(s.powerOnTime);
  power["email"] = CleanText(s.powerOnEmail);
  power["hostName"] = s.powerOnHostName;
  v["powerOn"] = power;

  Json::Value disks(Json::objectValue);
  disks["time"] = Json::Int64(s.disksTime);
  Json::Value list(Json::arrayValue);
  for (const auto& d : s.disks) {
    Json::Value dv(Json::objectValue);
    dv["drive"] = d.drive;
    dv["freeMiB"] = d.freeMiB;
    dv["systemType"] = d.systemType;
    dv["station"] = d.station;
    list.append(dv);
  }
  disks["volumes"] = list;
  v["disks"] = disks;
  return v;
}

}  // namespace central
