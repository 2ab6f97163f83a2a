// The device leg of the relay: how a device outside the PC's network reaches the PC
// through the central server. README.md describes the exchange.
//
// Device to server: ServerMsgHead frames {length, 6, command, id}.
//   SV_DEVICE_LOGON, id = the device's name, payload DeviceLogonRecord (128 bytes).
//     Answer {72, 6, SV_DEVICE_LOGON, 0} + the device's relay id[64] when admitted,
//     otherwise {8, 6, SV_DEVICE_LOGON, result}, and the server closes the connection.
//   SV_DEVICE_DATA, id not read, payload one whole MsgHead message (its length field equal
//     to the payload's length). Not answered.
// Server to device, after the logon answer: the PC's messages, each one whole MsgHead
//   message, and nothing else. Any fault closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "comm/wire.h"

namespace central {

inline constexpr uint16_t SV_DEVICE_LOGON = 0x1020;
inline constexpr uint16_t SV_DEVICE_DATA = 0x1021;

// Results beyond those of records.h.
enum : uint16_t {
  RESULT_NO_STATION = 0x1007,       // no PC of this account has that station id
  RESULT_STATION_OFFLINE = 0x1008,  // the PC is logged on but has no relay connection
  RESULT_NO_DEVICE = 0x1009,        // a RelayReply names a device that is not connected
};

// Payload of SV_DEVICE_LOGON: the account the PC logged on with, and the PC.
struct DeviceLogonRecord {
  static constexpr size_t kSize = 128;
  static constexpr size_t kEmail = 0;     // [0, 32) e-mail, zero-padded
  static constexpr size_t kPsw = 32;      // [32, 64) password hash, zero-padded
  static constexpr size_t kStation = 64;  // [64, 128) the PC's station id, zero-padded
};

}  // namespace central
