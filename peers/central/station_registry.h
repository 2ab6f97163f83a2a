// What the central server knows of each PC, by station id: its logon, what it last
// reported and when it was last seen. A record exists once the PC has logged on. The server's loop writes it; any thread may
// read copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Json {
class Value;
}

namespace central {

struct DiskState {
  std::string drive;
  uint32_t freeMiB = 0;
  uint16_t systemType = 0;
  std::string station;  // the station text inside the record
};

// Times are milliseconds since the epoch; 0 means never.
struct StationState {
  std::string stationId;
  bool loggedOn = false;
  std::string email;          // of the latest successful logon
  uint16_t systemType = 0;
  std::string osName;
  std::string peerAddress;    // "ip:port" of its latest request that was taken
  std::string logOnAddress;   // "ip" the latest successful logon came from
  int64_t logOnTime = 0;
  int64_t logOutTime = 0;
  int64_t lastSeen = 0;       // any request naming this station
  int64_t lastHeartBeat = 0;
  uint64_t requests = 0;

  // SV_SET_SV_INFO
  int64_t serverInfoTime = 0;
  std::string localIp;
  uint16_t externalPort = 0;
  uint16_t localPort = 0;
  std::string hostName;

  // SV_SET_POWER_ON_INFO
  int64_t powerOnTime = 0;
  std::string powerOnEmail;
  std::string powerOnHostName;

  // SV_SET_DISK_INFO
  int64_t disksTime = 0;
  std::vector<DiskState> disks;
};

class StationRegistry {
 public:
  // How Update may create a missing record.
  enum class Create {
    No,        // only existing records
    IfRoom,    // while fewer than the maximum exist
    Evicting,  // when full, drop the least recently seen station that is not logged on
  };

  explicit StationRegistry(size_t maxStations) : m_max(maxStations) {}

  // Runs change on the station's record under the lock. false when there is no record
  // and none could be created.
  bool Update(const std::string& id, Create create, const std::function<void(StationState&)>& change);

  std::optional<StationState> Find(const std::string& id) const;
  std::vector<StationState> All() const;
  size_t Size() const;

  // Reports for a station without a record wait apart, one set per station and address
  // they came from, until a logon from that address takes them (TakeParked). They are
  // neither listed nor found; when the maximum is reached the least recently seen set
  // makes room.
  void Park(const std::string& id, const std::string& from,
            const std::function<void(StationState&)>& change);
  // Removes every waiting set of the station and returns the one that came from from.
  std::optional<StationState> TakeParked(const std::string& id, const std::string& from);
  size_t ParkedSize() const;

 private:
  mutable std::mutex m_mutex;
  size_t m_max;
  std::map<std::string, StationState> m_stations;
  std::map<std::pair<std::string, std::string>, StationState> m_parked;  // by id and address
};

// The station as JSON (times as milliseconds since the epoch).
Json::Value ToJson(const StationState& s);

}  // namespace central
