#include "support/msg_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/net.h"

namespace support {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

MsgClient& MsgClient::operator=(MsgClient&& other) noexcept {
  if (this != &other) {
    Close();
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

std::string MsgClient::Frame(uint16_t opcode, uint32_t seq, std::string_view body) {
  MsgHead head;
  head.length = static_cast<uint16_t>(MsgHead::kSize + body.size());
  head.opcode = opcode;
  head.seq = seq;
  std::string out(MsgHead::kSize, '\0');
  head.Encode(reinterpret_cast<uint8_t*>(out.data()));
  out.append(body);
  return out;
}

bool MsgClient::Connect(uint16_t port, int timeoutMs, const std::string& host) {
  Close();
  m_fd = platform::ConnectTcp(host, port, timeoutMs);
  return m_fd >= 0;
}

void MsgClient::Adopt(int fd) {
  Close();
  m_fd = fd;
}

bool MsgClient::Send(uint16_t opcode, uint32_t seq, std::string_view body) {
  if (body.size() > 0xFFFF - MsgHead::kSize) return false;
  return SendRaw(Frame(opcode, seq, body));
}

bool MsgClient::SendRaw(std::string_view bytes) {
  return m_fd >= 0 && platform::SendAll(m_fd, bytes.data(), bytes.size()) == 0;
}

bool MsgClient::SendInPieces(std::string_view bytes, const std::vector<size_t>& pieces,
                             int pauseMs) {
  for (size_t piece : pieces) {
    size_t n = std::min(piece, bytes.size());
    if (!SendRaw(bytes.substr(0, n))) return false;
    bytes.remove_prefix(n);
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  return bytes.empty() || SendRaw(bytes);
}

MsgClient::ReadResult MsgClient::ReadExact(char* out, size_t len, int64_t deadlineMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs - NowMs());
  switch (platform::ReadExact(m_fd, out, len, deadline)) {
    case 0: return ReadResult::Ok;
    case 1: return ReadResult::TimedOut;
  }
  return ReadResult::Closed;
}

std::optional<Message> MsgClient::Recv(int timeoutMs) {
  if (m_fd < 0) return std::nullopt;
  int64_t deadline = NowMs() + timeoutMs;
  char raw[MsgHead::kSize];
  if (ReadExact(raw, sizeof raw, deadline) != ReadResult::Ok) return std::nullopt;
  Message msg;
  msg.head = MsgHead::Decode(reinterpret_cast<const uint8_t*>(raw));
  if (msg.head.length > MsgHead::kSize) {
    msg.body.resize(msg.head.length - MsgHead::kSize);
    if (ReadExact(msg.body.data(), msg.body.size(), deadline) != ReadResult::Ok) {
      return std::nullopt;
    }
  }
  return msg;
}

bool MsgClient::WaitPeerClose(int timeoutMs) {
  if (m_fd < 0) return false;
  char c;
  return ReadExact(&c, 1, NowMs() + timeoutMs) == ReadResult::Closed;
}

void MsgClient::Reset() {
  if (m_fd < 0) return;
  linger lg{1, 0};
  ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  Close();
}

void MsgClient::Close() {
  platform::CloseSocket(m_fd);
  m_fd = -1;
}

}  // namespace support
