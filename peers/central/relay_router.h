// The relay inside the central server: each logged-on PC keeps one relay connection
// (SV_INTER_LINE_REQ on connect and as a keep-alive), devices of the PC's account log on
// and name the PC, and the router carries the devices' messages to that PC as
// SV_INTER_LINE_DATA frames headed with the device's relay id, and each RelayReply of the
// PC back to the device it names. Everything runs on the server's loop thread, except the
// two queries that say otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace central {

class CentralServer;
class Connection;
struct Frame;

struct RelayOptions {
  // Bytes queued towards one device; a device that lets more pile up is closed, so a
  // slow device never holds up its PC's relay connection.
  size_t maxDeviceBacklog = 1u << 20;
  // Bytes queued towards one PC's relay connection; a device message that finds more
  // waiting closes that device.
  size_t maxRelayBacklog = 4u << 20;
  size_t maxDevicesPerStation = 64;
  // A relay connection registers only from the address its station logged on from, so
  // knowing a station id is not enough to receive its devices' requests.
  bool requireLogOnAddress = true;
};

class RelayRouter {
 public:
  // Installs the handlers of SV_INTER_LINE_REQ, SV_INTER_LINE_DATA, SV_DEVICE_LOGON and
  // SV_DEVICE_DATA and a close hook on server.
  RelayRouter(CentralServer& server, RelayOptions options);
  RelayRouter(const RelayRouter&) = delete;
  RelayRouter& operator=(const RelayRouter&) = delete;

  enum class SendResult { Sent, NoDevice, Full };
  // Queues msg (one whole MsgHead message) for the device deviceId of the station. Full
  // when more than limit bytes (0: maxDeviceBacklog) already wait for it; with
  // closeWhenFull the device is then closed.
  SendResult SendToDevice(const std::string& station, const std::string& deviceId,
                          const uint8_t* msg, size_t len, size_t limit = 0,
                          bool closeWhenFull = true);

  // Why connection c may not act for the station now ("not logged on", "not the address
  // of its logon"), or null when it may: the test a relay connection passes, also made of
  // the PC's download and upload connections.
  const char* StationRefusal(Connection& c, const std::string& station) {
    return RelayRefusal(c, station);
  }

  // Sees every whole message of a logged-on device before it goes to its PC's relay
  // connection, with the device's connection, its station and its relay id. Returns true
  // when it took the message (it is then not relayed). One hook; call before Start.
  using DeviceMessageHook = std::function<bool(Connection& device, const std::string& station,
                                               const std::string& deviceId, const uint8_t* msg,
                                               size_t len)>;
  void SetDeviceMessageHook(DeviceMessageHook hook) { m_deviceHook = std::move(hook); }

  // Any thread.
  bool HasRelay(const std::string& station) const;
  size_t DeviceCount(const std::string& station) const;
  const RelayOptions& Options() const { return m_options; }

 private:
  struct Device {
    Connection* conn = nullptr;
    std::string id;       // the relay id the PC sees
    std::string station;
    std::string email;    // the account it proved
  };
  struct Station {
    Connection* relay = nullptr;
    std::map<std::string, uint64_t> devices;  // relay id -> connection id
  };
  // A relay connection whose station was not (yet) logged on at its keep-alive.
  struct Pending {
    Connection* conn = nullptr;
    std::string station;
  };

  void OnKeepAlive(Connection& c, const Frame& f);
  void OnRelayReply(Connection& c, const Frame& f);
  void OnDeviceLogOn(Connection& c, const Frame& f);
  void OnDeviceData(Connection& c, const Frame& f);
  void OnClose(Connection& c);
  // Why c may not relay the station now, or null when it may.
  const char* RelayRefusal(Connection& c, const std::string& station);
  // Makes c the station's relay connection, closing an older one.
  void Register(Connection& c, const std::string& station);
  // Registers the newest waiting connection of the station that may now relay it.
  bool PromotePending(const std::string& station);
  // Removes the device from its station's list.
  void ForgetDevice(const std::string& station, const std::string& id);
  // Forgets the device and closes its connection, with a log line.
  void DropDevice(uint64_t connId, const char* why);
  // Answers a device's logon with a refusal and closes it.
  void RefuseDevice(Connection& c, uint16_t result, const std::string& name, const char* why);
  // True when the station is logged on with this account.
  bool StationOfAccount(const std::string& station, const std::string& email);

  CentralServer& m_server;
  RelayOptions m_options;
  // By station id. Changed on the loop thread only, under the mutex, so other threads
  // may read it under the mutex.
  mutable std::mutex m_stationsMutex;
  std::map<std::string, Station> m_stations;
  std::map<uint64_t, std::string> m_relays;   // relay connection id -> station id
  std::map<uint64_t, Pending> m_pending;      // by connection id
  std::map<uint64_t, Device> m_devices;       // device connection id -> device
  DeviceMessageHook m_deviceHook;
};

}  // namespace central
