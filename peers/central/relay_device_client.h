// A device's connection to a PC through the central server's relay: connect, log on with
// the PC's account naming the PC by its station id, then exchange MsgHead messages with
// the PC as on the LAN. Blocking, for one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "comm/wire.h"

namespace central {

struct DeviceCredentials {
  std::string email;    // the account the PC logged on with
  std::string hash;     // its password hash
  std::string station;  // the PC's station id
  std::string name = "device";  // how the device calls itself (at most 63 bytes)
};

// One message from the PC: its head in host order and its body (length - 8 bytes).
struct RelayMessage {
  MsgHead head;
  std::vector<uint8_t> body;
};

class RelayDeviceClient {
 public:
  RelayDeviceClient() = default;
  ~RelayDeviceClient() { Close(); }
  RelayDeviceClient(const RelayDeviceClient&) = delete;
  RelayDeviceClient& operator=(const RelayDeviceClient&) = delete;

  // Connects to the server and logs on. Returns the server's result: 0 admitted, else a
  // refusal (RESULT_* of records.h and relay_protocol.h; the server has closed then), or
  // -1 when the server could not be reached or did not answer within timeoutMs. error
  // receives a text for every outcome but 0.
  int Connect(const std::string& host, uint16_t port, const DeviceCredentials& credentials,
              int timeoutMs = 5000, std::string* error = nullptr);
  bool IsOpen() const { return m_fd >= 0; }
  // The id the PC sees for this device, given by the server.
  const std::string& DeviceId() const { return m_deviceId; }

  // Sends one whole MsgHead message (its length field equal to len). False when the
  // message is malformed, longer than the relay carries, or the send fails.
  bool Send(const uint8_t* msg, size_t len);
  // Sends a message built of a head {8 + len, opcode, seq} and the payload.
  bool Send(uint16_t opcode, uint32_t seq, const uint8_t* payload = nullptr, size_t len = 0);

  // The next message from the PC within timeoutMs; nullopt on a time-out (a partly read
  // message is kept for the next call) or when the connection ended (Closed()).
  std::optional<RelayMessage> Recv(int timeoutMs);
  bool Closed() const { return m_closed; }

  void Close();

 private:
  int m_fd = -1;
  bool m_closed = false;
  std::string m_deviceId;
  std::vector<uint8_t> m_in;  // bytes read and not yet returned
};

// A readable text for a device logon result.
std::string DeviceLogonResultText(int result);

}  // namespace central
