#include "central/relay_device_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "central/records.h"
#include "central/relay_protocol.h"
#include "platform/net.h"

namespace central {

namespace {

using Clock = std::chrono::steady_clock;

int LeftMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::string DeviceLogonResultText(int result) {
  switch (result) {
    case -1: return "the server cannot be reached or did not answer";
    case RESULT_OK: return "admitted";
    case RESULT_UNKNOWN_ACCOUNT: return "unknown account";
    case RESULT_WRONG_PASSWORD: return "wrong password hash";
    case RESULT_BAD_REQUEST: return "the server refused the request";
    case RESULT_SERVER_ERROR: return "the server cannot take this device now";
    case RESULT_NO_STATION: return "no PC with this station id on this account";
    case RESULT_STATION_OFFLINE: return "the PC is not connected to the relay";
    default: break;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "refused (0x%04X)", result);
  return buf;
}

int RelayDeviceClient::Connect(const std::string& host, uint16_t port,
                               const DeviceCredentials& credentials, int timeoutMs,
                               std::string* error) {
  auto fail = [&](int result, const std::string& why) {
    if (error != nullptr) *error = why;
    Close();
    return result;
  };
  Close();
  m_closed = false;
  m_in.clear();
  m_deviceId.clear();
  platform::IgnoreSigpipe();
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  m_fd = platform::ConnectTcp(host, port, timeoutMs);
  if (m_fd < 0) {
    return fail(-1, "cannot connect to " + host + ":" + std::to_string(port) + ": " +
                        std::strerror(errno));
  }

  uint8_t frame[ServerMsgHead::kSize + DeviceLogonRecord::kSize] = {};
  ServerMsgHead{static_cast<uint16_t>(sizeof frame), 6, SV_DEVICE_LOGON, credentials.name}.Encode(
      frame);
  uint8_t* rec = frame + ServerMsgHead::kSize;
  wire::PutText(rec + DeviceLogonRecord::kEmail, 32, credentials.email);
  wire::PutText(rec + DeviceLogonRecord::kPsw, 32, credentials.hash);
  wire::PutText(rec + DeviceLogonRecord::kStation, kRelayIdSize, credentials.station);
  if (platform::SendAll(m_fd, frame, sizeof frame) != 0) return fail(-1, "cannot send the logon");

  uint8_t head[ServerReplyHead::kSize];
  if (platform::ReadExact(m_fd, head, sizeof head, deadline) != 0) return fail(-1, "no logon answer");
  ServerReplyHead answer = ServerReplyHead::Decode(head);
  if (answer.command != SV_DEVICE_LOGON || answer.length < ServerReplyHead::kSize) {
    return fail(-1, "unexpected answer from the server");
  }
  if (answer.result != RESULT_OK) return fail(answer.result, DeviceLogonResultText(answer.result));
  if (answer.length != ServerReplyHead::kSize + kRelayIdSize) {
    return fail(-1, "unexpected answer from the server");
  }
  uint8_t id[kRelayIdSize];
  if (platform::ReadExact(m_fd, id, sizeof id, deadline) != 0) return fail(-1, "no logon answer");
  m_deviceId = wire::GetText(id, sizeof id);
  return 0;
}

bool RelayDeviceClient::Send(const uint8_t* msg, size_t len) {
  if (m_fd < 0 || msg == nullptr || len < MsgHead::kSize || len > kRelayMaxMessage ||
      wire::GetU16(msg) != len) {
    return false;
  }
  std::vector<uint8_t> frame(ServerMsgHead::kSize + len);
  ServerMsgHead{static_cast<uint16_t>(frame.size()), 6, SV_DEVICE_DATA, m_deviceId}.Encode(
      frame.data());
  std::memcpy(frame.data() + ServerMsgHead::kSize, msg, len);
  return platform::SendAll(m_fd, frame.data(), frame.size()) == 0;
}

bool RelayDeviceClient::Send(uint16_t opcode, uint32_t seq, const uint8_t* payload, size_t len) {
  if (len > kRelayMaxMessage - MsgHead::kSize || (payload == nullptr && len > 0)) return false;
  std::vector<uint8_t> msg(MsgHead::kSize + len);
  MsgHead{static_cast<uint16_t>(msg.size()), opcode, seq}.Encode(msg.data());
  if (len > 0) std::memcpy(msg.data() + MsgHead::kSize, payload, len);
  return Send(msg.data(), msg.size());
}

std::optional<RelayMessage> RelayDeviceClient::Recv(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (m_in.size() >= MsgHead::kSize) {
      MsgHead head = MsgHead::Decode(m_in.data());
      size_t len = head.length < MsgHead::kSize ? MsgHead::kSize : head.length;
      if (m_in.size() >= len) {
        RelayMessage m{head, std::vector<uint8_t>(m_in.begin() + MsgHead::kSize,
                                                  m_in.begin() + static_cast<ptrdiff_t>(len))};
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<ptrdiff_t>(len));
        return m;
      }
    }
    if (m_fd < 0) return std::nullopt;
    pollfd p{m_fd, POLLIN, 0};
    int r = ::poll(&p, 1, LeftMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return std::nullopt;
    uint8_t buf[16384];
    ssize_t n = r < 0 ? -1 : ::recv(m_fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      m_closed = true;
      platform::CloseSocket(m_fd);
      m_fd = -1;
      return std::nullopt;
    }
    m_in.insert(m_in.end(), buf, buf + n);
  }
}

void RelayDeviceClient::Close() {
  if (m_fd >= 0) platform::CloseSocket(m_fd);
  m_fd = -1;
}

}  // namespace central
