// Device heartbeat, device login and shutdown of the PC.
//
// A device login that does not present the PC's own account is put to the user: the
// service connects to the tray program's listener (127.0.0.1:15003), sends a
// DeviceLoginAsk and waits for its DeviceLoginAnswer. On a local connection that wait
// runs on a thread of its own, so the local server goes on serving every other
// connection; the answer is written to the device's connection before any later request
// of that connection is served.
//
//   DeviceLoginRequest (at body offset 0, or 72 behind the relay prefix; 256 bytes used):
//     e-mail[32], password hash[32], device name[64], network text[64], forwarded[64].
//   DeviceLoginAsk (264): {264, 0x500D, low 32 bits of the time} + the 256 bytes.
//   DeviceLoginAnswer (12): {12, 0x500D, the question's number} + verdict u32.
//   DeviceLoginReply (12): {12, 0x0008, 0} + result u16 (0 admitted, 1 refused) + u16 0.
//   DeviceHeartBeatReply (12): {12, 0x8888, the request's number} + u16 0 + u16 6.
#pragma once

#include <cstdint>
#include <string>

#include "comm/dispatch.h"
#include "contract/ports.h"
#include "contract/tray_records.h"

inline constexpr uint32_t kDeviceLoginReplySize = 12;
inline constexpr uint32_t kDeviceHeartBeatReplySize = 12;

// The last device heartbeat: its local time text ("%Y-%m-%d %H:%M:%S") and its time in
// seconds since the epoch; "" and 0 until the first one. Guarded by g_MutexLastHBTime.
extern std::string g_LastHBTime;
extern int64_t g_LastHBEpoch;

// The clock (seconds since the epoch) of the heartbeat and of the tray's link-state
// request. Null restores the system's.
using EpochClock = int64_t (*)();
void SetDeviceClock(EpochClock clock);
int64_t DeviceClockNow();

// Where and how long a login question goes to the tray program.
struct TrayAskOptions {
  std::string host = "127.0.0.1";
  uint16_t port = TRAY_LISTEN_PORT;
  int connectTimeoutMs = 0;  // 0: as long as the system waits
  int sendTimeoutMs = 1000;
  int recvTimeoutMs = 30000;  // for the whole answer
};
// The listener's port for a running service (demos and end-to-end tests); the options
// start out as TrayAskOptionsFromEnvironment(). A value that is not a port 1..65535 keeps
// 15003.
inline constexpr const char* kTrayLoginPortEnv = "TIRVAN_TRAY_LOGIN_PORT";
TrayAskOptions TrayAskOptionsFromEnvironment();
// Any thread; a question reads the options when it starts.
void SetTrayAskOptions(const TrayAskOptions& options);
TrayAskOptions GetTrayAskOptions();

// Sends the question (len bytes) to the tray program and receives answerLen bytes into
// answer. 0, or -1 when the listener cannot be reached, a send fails, or the whole answer
// has not arrived within the receive time-out.
int AskTrayLogin(const uint8_t* question, uint32_t len, uint8_t* answer, uint32_t answerLen);

// The DeviceLoginAsk for a 256-byte DeviceLoginRequest.
void BuildDeviceLoginAsk(const uint8_t* record, uint32_t number, uint8_t out[kDeviceLoginAskSize]);
// The result of a tray answer: 0 for a 12-byte 0x500D answer with verdict 0; 1 for any
// other verdict (so no large verdict reads as "admitted" in 16 bits) and any other answer.
uint16_t DeviceLoginVerdict(const uint8_t* answer, uint32_t len);

// Questions to the tray program still waiting on their own threads.
int DeviceLoginsPending();

// 0x8888: answers the heartbeat and records its time. A message without body is not
// answered (ERR_NULL_MSG).
int ReqDeviceHeartBeat(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
// 0x0009: logs out, raises the stop flag and runs the power-off command (platform/power.h).
// No answer. -1 without body or when the command cannot be run or fails ("shutdown
// error."): the service then goes on running, logged on again.
int ReqShutDownSystem(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
// 0x0008: admits the PC's own account at once; asks the tray program otherwise. A record
// shorter than 256 bytes is refused without asking. -1 without body (no answer).
int ReqDeviceLogin(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
