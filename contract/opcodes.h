// Opcode constants. Each head has its own number space, so one number can mean
// different things under different heads: SV_ names are ServerMsgHead commands (the
// central server), OP_ names are MsgHead opcodes (devices and the tray program).
#pragma once

#include <cstdint>

// ---- ServerMsgHead commands.
inline constexpr uint16_t SV_LOG_ON = 0x1001;
inline constexpr uint16_t SV_LOG_OUT = 0x1002;
inline constexpr uint16_t SV_HEART_BEAT = 0x1003;
inline constexpr uint16_t SV_SET_SV_INFO = 0x1004;
inline constexpr uint16_t SV_INTER_LINE_REQ = 0x1008;   // relay registration and keep-alive
inline constexpr uint16_t SV_INTER_LINE_DATA = 0x1009;  // relayed frame
inline constexpr uint16_t SV_INTER_LINE_DOWN_LOAD = 0x100B;
inline constexpr uint16_t SV_INTER_LINE_UP_LOAD = 0x100C;
inline constexpr uint16_t SV_SET_POWER_ON_INFO = 0x100F;
inline constexpr uint16_t SV_SET_DISK_INFO = 0x1011;

// ---- MsgHead opcodes of device requests.
inline constexpr uint16_t OP_REQ_UP_LOAD_FILE = 0x0001;
inline constexpr uint16_t OP_UP_LOAD_FILE = 0x0002;
inline constexpr uint16_t OP_OVER_UP_LOAD_FILE = 0x0003;
inline constexpr uint16_t OP_REQ_DOWN_LOAD_FILE = 0x0004;
inline constexpr uint16_t OP_ALLOW_DOWN_LOAD_FILE = 0x0005;
inline constexpr uint16_t OP_REQ_DEVICE_LOGIN = 0x0008;
inline constexpr uint16_t OP_REQ_SHUT_DOWN_SYSTEM = 0x0009;
inline constexpr uint16_t OP_REFUSE_DOWN_LOAD_FILE = 0x0011;
inline constexpr uint16_t OP_STOP_DOWN_LOAD = 0x100E;
inline constexpr uint16_t OP_GET_SHARE_INFO = 0x2002;
inline constexpr uint16_t OP_GET_ALL_SUB_FILE = 0x2003;
inline constexpr uint16_t OP_REQ_DOWNLOAD_THUMB_NIAL = 0x3001;
inline constexpr uint16_t OP_REQ_DEVICE_HEART_BEAT = 0x8888;

// ---- MsgHead opcodes of the service's own messages to devices.
inline constexpr uint16_t OP_UP_LOAD_ALLOW = 0x1001;
inline constexpr uint16_t OP_DOWN_LOAD_DATA = 0x1002;
inline constexpr uint16_t OP_DOWN_LOAD_OVER = 0x1003;
inline constexpr uint16_t OP_DOWN_LOAD_INFO = 0x1004;
inline constexpr uint16_t OP_UP_LOAD_ERROR = 0x1011;
inline constexpr uint16_t OP_DOWN_LOAD_ERROR = 0x1012;
inline constexpr uint16_t OP_THUMB_STATUS = 0x3002;

// ---- MsgHead opcodes of the tray program's requests.
inline constexpr uint16_t OP_SHOW_GET_LOG_ON_INFO = 0x5000;
inline constexpr uint16_t OP_SHOW_LOG_ON_STATUES = 0x5001;
inline constexpr uint16_t OP_SHOW_LOG_ON = 0x5002;
inline constexpr uint16_t OP_SHOW_GET_DEF_SHARE = 0x5004;
inline constexpr uint16_t OP_SHOW_SET_DEF_SHARE = 0x5005;
inline constexpr uint16_t OP_SHOW_GET_SHARE = 0x5006;
inline constexpr uint16_t OP_SHOW_SET_SHARE = 0x5007;
inline constexpr uint16_t OP_SHOW_GET_PATH = 0x5008;
inline constexpr uint16_t OP_SHOW_GET_TRANS_LOG = 0x5009;
inline constexpr uint16_t OP_SHOW_GET_IS_TRANING = 0x500A;
inline constexpr uint16_t OP_SHOW_GET_IS_MOBILE_LINKED = 0x500B;
inline constexpr uint16_t OP_SHOW_GET_SYS_TYPE = 0x500C;
inline constexpr uint16_t OP_SHOW_DEVICE_LOGIN = 0x500D;  // sent by the service to the tray
inline constexpr uint16_t OP_SHOW_LOG_OUT = 0x500E;
inline constexpr uint16_t OP_SHOW_CLEAR_LOG = 0x500F;
