// Byte order helpers, text fields and the heads of every wire format between the
// service, the tray program and the outside parties. Every record on a wire is
// big-endian; these functions read and write them at explicit offsets so no struct
// layout or alignment is ever assumed. Header-only: the tray program and the peers use
// it without linking anything of the service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace wire {

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t GetU32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint64_t GetU64(const uint8_t* p) {
  return (static_cast<uint64_t>(GetU32(p)) << 32) | GetU32(p + 4);
}
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void PutU64(uint8_t* p, uint64_t v) {
  PutU32(p, static_cast<uint32_t>(v >> 32));
  PutU32(p + 4, static_cast<uint32_t>(v));
}

// Length of text cut to at most maxBytes without splitting a UTF-8 sequence.
inline size_t Utf8CutLength(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  size_t n = maxBytes;
  // Step back over continuation bytes so the cut falls on a character boundary.
  while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

// Copies text into a fixed field of size n, zero-padded, cut so that one zero byte
// stays (n-1 characters at most). The cut never splits a UTF-8 sequence.
inline void PutText(uint8_t* field, size_t n, std::string_view text) {
  if (n == 0) return;
  std::memset(field, 0, n);
  size_t len = Utf8CutLength(text, n - 1);
  std::memcpy(field, text.data(), len);
}

// Same, but the text may fill the field completely (no terminating zero).
inline void PutTextFull(uint8_t* field, size_t n, std::string_view text) {
  std::memset(field, 0, n);
  size_t len = Utf8CutLength(text, n);
  std::memcpy(field, text.data(), len);
}

// Reads a text field of size n: up to the first zero byte or n bytes.
inline std::string GetText(const uint8_t* field, size_t n) {
  size_t len = 0;
  while (len < n && field[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(field), len);
}

}  // namespace wire

// The 8-byte head of every device and tray message: total length (head included),
// opcode and sequence number. In memory it is kept in host order.
struct MsgHead {
  uint16_t length = 0;
  uint16_t opcode = 0;
  uint32_t seq = 0;

  static constexpr size_t kSize = 8;
  // The longest message: its length field is 16 bits.
  static constexpr size_t kMaxLength = 0xFFFF;
  static MsgHead Decode(const uint8_t* p) {
    return MsgHead{wire::GetU16(p), wire::GetU16(p + 2), wire::GetU32(p + 4)};
  }
  void Encode(uint8_t* p) const {
    wire::PutU16(p, length);
    wire::PutU16(p + 2, opcode);
    wire::PutU32(p + 4, seq);
  }
};

// The 70-byte head of every request to the central server and of relay frames:
// total length, the constant 6, the command (SV_*) and the 64-byte station id.
struct ServerMsgHead {
  uint16_t length = 0;
  uint16_t version = 6;
  uint16_t command = 0;
  std::string stationId;

  static constexpr size_t kSize = 70;
  static constexpr size_t kStationIdSize = 64;
  static ServerMsgHead Decode(const uint8_t* p) {
    return ServerMsgHead{wire::GetU16(p), wire::GetU16(p + 2), wire::GetU16(p + 4),
                         wire::GetText(p + 6, kStationIdSize)};
  }
  void Encode(uint8_t* p) const {
    wire::PutU16(p, length);
    wire::PutU16(p + 2, version);
    wire::PutU16(p + 4, command);
    wire::PutText(p + 6, kStationIdSize, stationId);
  }
};

// The central server's 8-byte answer head; the last 16-bit field is the result.
struct ServerReplyHead {
  uint16_t length = 0;
  uint16_t version = 0;
  uint16_t command = 0;
  uint16_t result = 0;

  static constexpr size_t kSize = 8;
  static ServerReplyHead Decode(const uint8_t* p) {
    return ServerReplyHead{wire::GetU16(p), wire::GetU16(p + 2), wire::GetU16(p + 4),
                           wire::GetU16(p + 6)};
  }
  void Encode(uint8_t* p) const {
    wire::PutU16(p, length);
    wire::PutU16(p + 2, version);
    wire::PutU16(p + 4, command);
    wire::PutU16(p + 6, result);
  }
};

// The relay's frames, as the service and the central server both build and read them:
// the id field of a device or station, the prefix a relayed request's handler sees as
// its body (the device's id, then the device's MsgHead as received), and the head of a
// frame the PC sends to a device (ServerMsgHead, then the target device's id).
inline constexpr size_t kRelayIdSize = 64;
inline constexpr size_t kRelayPrefixSize = kRelayIdSize + MsgHead::kSize;
inline constexpr size_t kRelayReplyHeadSize = ServerMsgHead::kSize + kRelayIdSize;
// The longest message such a frame can carry within its 16-bit length.
inline constexpr size_t kRelayMaxMessage = 0xFFFF - kRelayReplyHeadSize;

// The 6-byte head of P2P messages on UDP: length, the constant 6, the opcode.
struct P2PMsgHead {
  uint16_t length = 0;
  uint16_t version = 6;
  uint16_t opcode = 0;

  static constexpr size_t kSize = 6;
  static P2PMsgHead Decode(const uint8_t* p) {
    return P2PMsgHead{wire::GetU16(p), wire::GetU16(p + 2), wire::GetU16(p + 4)};
  }
  void Encode(uint8_t* p) const {
    wire::PutU16(p, length);
    wire::PutU16(p + 2, version);
    wire::PutU16(p + 4, opcode);
  }
};
