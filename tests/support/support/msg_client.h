// A blocking device-side client for tests: speaks MsgHead over TCP to the service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comm/wire.h"

namespace support {

// One received message: its head in host order and its body (length - 8 bytes).
struct Message {
  MsgHead head;
  std::string body;
};

class MsgClient {
 public:
  MsgClient() = default;
  ~MsgClient() { Close(); }
  MsgClient(const MsgClient&) = delete;
  MsgClient& operator=(const MsgClient&) = delete;
  MsgClient(MsgClient&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  MsgClient& operator=(MsgClient&& other) noexcept;

  // The bytes of one message: a head whose length covers the body, then the body.
  // The body must fit the 16-bit length (at most 65,527 bytes).
  static std::string Frame(uint16_t opcode, uint32_t seq, std::string_view body = {});

  // Connects to host:port (default 127.0.0.1), waiting at most timeoutMs.
  bool Connect(uint16_t port, int timeoutMs = 2000, const std::string& host = "127.0.0.1");
  // Takes over an already connected socket.
  void Adopt(int fd);
  bool IsOpen() const { return m_fd >= 0; }
  int fd() const { return m_fd; }

  // Sends one framed message. False when the body is too long or the send fails.
  bool Send(uint16_t opcode, uint32_t seq, std::string_view body = {});
  // Sends bytes as they are.
  bool SendRaw(std::string_view bytes);
  // Sends bytes in pieces of the given sizes (what is left goes last), pausing
  // pauseMs after each piece so that the pieces arrive separately.
  bool SendInPieces(std::string_view bytes, const std::vector<size_t>& pieces, int pauseMs = 20);

  // Receives one whole message within timeoutMs; nullopt on a time-out or when the
  // connection ends first. The default leaves room for a loaded or sanitized build; a
  // check that nothing arrives gives a short time-out of its own.
  std::optional<Message> Recv(int timeoutMs = 10000);
  // True when the peer closes the connection (end of file or reset) within
  // timeoutMs without sending anything more.
  bool WaitPeerClose(int timeoutMs = 10000);

  // Closes with a reset (SO_LINGER 0) instead of an orderly end of stream.
  void Reset();
  void Close();

 private:
  enum class ReadResult { Ok, TimedOut, Closed };
  ReadResult ReadExact(char* out, size_t len, int64_t deadlineMs);

  int m_fd = -1;
};

}  // namespace support
