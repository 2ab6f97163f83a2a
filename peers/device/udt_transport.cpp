#include "device/udt_transport.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "comm/wire.h"
#include "rendezvous/p2p_link.h"

namespace device {

namespace {

using Clock = std::chrono::steady_clock;

// The byte stream of MsgHead messages over UDT: outgoing bytes are cut into whole
// messages (each goes as one UDT message), incoming messages are laid out back into
// bytes.
class UdtTransport : public Transport {
 public:
  explicit UdtTransport(std::unique_ptr<rendezvous::P2PLink> link) : m_link(std::move(link)) {}
  ~UdtTransport() override { Close(); }

  bool SendAll(const void* data, size_t len) override {
    if (m_closed) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    m_out.insert(m_out.end(), p, p + len);
    while (m_out.size() >= MsgHead::kSize) {
      size_t msgLen = wire::GetU16(m_out.data());
      if (msgLen < MsgHead::kSize || msgLen > kUdtMaxMessage) return false;
      if (m_out.size() < msgLen) break;
      if (!m_link->Send(m_out.data(), msgLen)) return false;
      m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(msgLen));
    }
    return true;
  }

  IoResult RecvAll(void* out, size_t len, int timeoutMs) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> msg;
    while (m_in.size() < len) {
      if (m_closed) return IoResult::Closed;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return IoResult::TimedOut;
      int rc = m_link->Recv(&msg, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
      if (rc < 0) return IoResult::Closed;
      if (rc > 0) m_in.insert(m_in.end(), msg.begin(), msg.end());
    }
    std::memcpy(out, m_in.data(), len);
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(len));
    return IoResult::Ok;
  }

  void Close() override {
    m_link->Close();
    m_closed = true;
  }

  std::string Describe() const override { return m_link->Describe(); }

 private:
  std::unique_ptr<rendezvous::P2PLink> m_link;
  bool m_closed = false;
  std::vector<uint8_t> m_out;  // bytes of a message not yet whole
  std::vector<uint8_t> m_in;   // bytes received and not yet taken
};

}  // namespace

std::unique_ptr<Transport> ConnectUdt(const P2PTarget& target, int timeoutMs, std::string* error) {
  rendezvous::P2PLinkOptions opt;
  opt.rendezvousHost = target.host;
  opt.rendezvousPort = target.port;
  opt.stationId = target.station;
  opt.requestTimeoutMs = std::max(timeoutMs / 2, 1000);
  opt.punchTimeoutMs = std::max(timeoutMs / 2, 1000);
  std::string why;
  std::unique_ptr<rendezvous::P2PLink> link = rendezvous::P2PLink::Open(opt, &why);
  if (!link) {
    if (error != nullptr) *error = why;
    return nullptr;
  }
  return UdtTransportOver(std::move(link));
}

std::unique_ptr<Transport> UdtTransportOver(std::unique_ptr<rendezvous::P2PLink> link) {
  return std::make_unique<UdtTransport>(std::move(link));
}

}  // namespace device
