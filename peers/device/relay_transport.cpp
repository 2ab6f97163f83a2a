#include "device/relay_transport.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "central/relay_device_client.h"
#include "central/relay_protocol.h"
#include "comm/wire.h"

namespace device {

static_assert(kRelayUploadChunk + 20 == kRelayMaxMessage);

namespace {

using Clock = std::chrono::steady_clock;

// The byte stream of MsgHead messages over the relay: outgoing bytes are cut into whole
// messages (each goes as one relayed message), incoming messages are laid out back into
// bytes.
class RelayTransport : public Transport {
 public:
  RelayTransport(std::unique_ptr<central::RelayDeviceClient> client, std::string name)
      : m_client(std::move(client)), m_name(std::move(name)) {}
  ~RelayTransport() override { Close(); }

  bool SendAll(const void* data, size_t len) override {
    if (!m_client->IsOpen()) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    m_out.insert(m_out.end(), p, p + len);
    while (m_out.size() >= MsgHead::kSize) {
      size_t msgLen = wire::GetU16(m_out.data());
      if (msgLen < MsgHead::kSize) return false;  // not a message the relay can carry
      if (m_out.size() < msgLen) break;
      if (!m_client->Send(m_out.data(), msgLen)) return false;
      m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(msgLen));
    }
    return true;
  }

  IoResult RecvAll(void* out, size_t len, int timeoutMs) override {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_in.size() < len) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return IoResult::TimedOut;
      auto m = m_client->Recv(static_cast<int>(left.count()));
      if (!m) return m_client->Closed() || !m_client->IsOpen() ? IoResult::Closed
                                                               : IoResult::TimedOut;
      size_t at = m_in.size();
      m_in.resize(at + MsgHead::kSize + m->body.size());
      m->head.Encode(m_in.data() + at);
      if (!m->body.empty())
        std::memcpy(m_in.data() + at + MsgHead::kSize, m->body.data(), m->body.size());
    }
    std::memcpy(out, m_in.data(), len);
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(len));
    return IoResult::Ok;
  }

  void Close() override { m_client->Close(); }

  std::string Describe() const override { return m_name; }

  bool Relayed() const override { return true; }

 private:
  std::unique_ptr<central::RelayDeviceClient> m_client;
  std::string m_name;
  std::vector<uint8_t> m_out;  // bytes of a message not yet whole
  std::vector<uint8_t> m_in;   // bytes received and not yet taken
};

}  // namespace

bool ParseHostPort(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string p = text.substr(colon + 1);
  if (p.find_first_not_of("0123456789") != std::string::npos || p.size() > 5) return false;
  unsigned long v = std::strtoul(p.c_str(), nullptr, 10);
  if (v == 0 || v > 65535) return false;
  *host = text.substr(0, colon);
  *port = static_cast<uint16_t>(v);
  return true;
}

std::unique_ptr<Transport> ConnectRelay(const RelayTarget& target, int timeoutMs,
                                        std::string* error) {
  auto client = std::make_unique<central::RelayDeviceClient>();
  std::string why;
  central::DeviceCredentials cred{target.email, target.hash, target.station, target.name};
  int result = client->Connect(target.host, target.port, cred, timeoutMs, &why);
  std::string name = "relay " + target.host + ":" + std::to_string(target.port) + " to " +
                     target.station;
  if (result != 0) {
    if (error != nullptr) *error = name + ": " + why;
    return nullptr;
  }
  return std::make_unique<RelayTransport>(std::move(client), name);
}

}  // namespace device
