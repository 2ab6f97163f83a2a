// The records between the tray program and the service, after their 8-byte MsgHead
// (contract/wire.h); all numbers big-endian, texts zero-filled.
//
//   AccountInfo (64): e-mail[32], password hash[32], each at most 31 bytes.
//   ShowResultReply (12): {12, the request's opcode, its number} + result u32.
//   0x5000's reply (72): head + AccountInfo.
//   DefShareRecord (1300): five folders of 260 bytes (UTF-8, at most 259 bytes each):
//     the default folder, its picture, music, video and document folders.
//   PathListText: "path\r\n" ..., UTF-8, no zero byte; the payload's whole length.
//   TransLogRecord (300): type u16, status u16, size u32, time[30], file[260], 2 zero bytes.
//   TransCountReply (12): head + uploads u16 + downloads u16.
//   DeviceLoginRecord (256): e-mail[32], password hash[32], device name[64],
//     network text[64], 64 forwarded bytes.
//   DeviceLoginAsk (264): {264, 0x500D, number} + DeviceLoginRecord; service to tray.
//   DeviceLoginAnswer (12): {12, 0x500D, the number as received} + verdict u32
//     (0 admit, 1 refuse); tray to service on the same connection.
#pragma once

#include <cstddef>
#include <cstdint>

// Fields.
inline constexpr size_t kAccountFieldSize = 32;
inline constexpr size_t kFolderFieldSize = 260;
inline constexpr size_t kTransTimeSize = 30;
inline constexpr size_t kDeviceLoginTextSize = 64;

// Records and whole messages.
inline constexpr uint32_t kAccountInfoSize = 2 * kAccountFieldSize;
inline constexpr uint32_t kShowResultReplySize = 12;
inline constexpr uint32_t kAccountInfoReplySize = 8 + kAccountInfoSize;
inline constexpr uint32_t kDefShareRecordSize = 5 * kFolderFieldSize;
inline constexpr uint32_t kTransLogRecordSize = 300;
inline constexpr uint32_t kTransCountReplySize = 12;
inline constexpr uint32_t kDeviceLoginRecordSize = 256;
inline constexpr uint32_t kDeviceLoginAskSize = 8 + kDeviceLoginRecordSize;
inline constexpr uint32_t kDeviceLoginAnswerSize = 12;
// Where a DeviceLoginAsk carries the device's name and its network text.
inline constexpr uint32_t kDeviceLoginAskNameOffset = 8 + kAccountInfoSize;
inline constexpr uint32_t kDeviceLoginAskNetworkOffset = kDeviceLoginAskNameOffset + kDeviceLoginTextSize;

static_assert(kAccountInfoReplySize == 72 && kDefShareRecordSize == 1300 &&
              kDeviceLoginAskSize == 264 && kDeviceLoginAskNameOffset == 72 &&
              kDeviceLoginAskNetworkOffset == 136);
