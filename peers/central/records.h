// What the central server reads from the PCs' requests and the result codes it
// answers with. Requests are a 70-byte ServerMsgHead and a payload; answers an
// 8-byte ServerReplyHead {8, 6, command, result}. Numbers are big-endian except the
// system type fields marked little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace central {

// Results in the answer head.
enum : uint16_t {
  RESULT_OK = 0,
  RESULT_UNKNOWN_ACCOUNT = 0x1000,  // no such e-mail (or an empty one)
  RESULT_WRONG_PASSWORD = 0x1001,   // the e-mail is known, the hash is not its hash
  RESULT_NOT_LOGGED_ON = 0x1002,    // the station has no logon (a report is still kept)
  RESULT_BAD_REQUEST = 0x1003,      // the payload has the wrong size, or no station id
  RESULT_UNKNOWN_COMMAND = 0x1004,  // a command this server does not serve
  RESULT_SERVER_ERROR = 0x1005,     // the account store failed, or no room for the station
  RESULT_BAD_FRAME = 0x1006,        // an unreadable head; the connection is closed after it
  RESULT_NOT_LOGON_ADDRESS = 0x100B,  // a report from another address than the station's logon
};

// Payload of SV_LOG_ON. The account texts are kept as sent (they are compared byte
// for byte); the other texts are cleaned (CleanText).
struct LogOnRecord {
  static constexpr size_t kSize = 132;
  std::string email;     // [0, 32)
  std::string psw;       // [32, 64) the password hash
  uint16_t systemType;   // [64, 66) little-endian
  std::string osName;    // [68, 100)
  std::string station;   // [100, 132)
  static LogOnRecord Decode(const uint8_t* p);
};

// Payload of SV_LOG_OUT.
struct AccountRecord {
  static constexpr size_t kSize = 64;
  std::string email;  // [0, 32)
  std::string psw;    // [32, 64)
  static AccountRecord Decode(const uint8_t* p);
};

// Payload of SV_SET_SV_INFO.
struct ServerInfoRecord {
  static constexpr size_t kSize = 212;
  uint8_t localIp[4];     // [8, 12) in network order, as the PC read it
  uint16_t externalPort;  // [12, 14) 0 when no port is mapped
  uint16_t localPort;     // [16, 18)
  uint16_t systemType;    // [18, 20) little-endian
  std::string hostName;   // [84, 148)
  static ServerInfoRecord Decode(const uint8_t* p);
};

// Payload of SV_SET_POWER_ON_INFO.
struct PowerOnRecord {
  static constexpr size_t kSize = 162;
  uint16_t systemType;   // [0, 2) little-endian
  std::string email;     // [2, 34)
  std::string station;   // [34, 98)
  std::string hostName;  // [98, 162)
  static PowerOnRecord Decode(const uint8_t* p);
};

// One volume of SV_SET_DISK_INFO; the payload holds them back to back.
struct DiskRecord {
  static constexpr size_t kSize = 296;
  uint16_t systemType;  // [0, 2) big-endian, unlike the other records
  uint32_t freeMiB;     // [4, 8)
  std::string station;  // [8, 40)
  std::string drive;    // [40, 296)
  static DiskRecord Decode(const uint8_t* p);
};

// Text from the wire made safe to keep, print and write as JSON: invalid UTF-8 bytes
// and control characters become '?'.
std::string CleanText(const std::string& text);

// Name of a ServerMsgHead command for the log ("SV_LOG_ON", or "0x1234").
std::string CommandName(uint16_t command);

}  // namespace central
