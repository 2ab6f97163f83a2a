// The tray program's requests: account, logon, folders, transfers and status. Dispatch
// serves them only on local connections from the loopback address.
//
//   ShowResultReply (12): {12, the request's opcode, its number} + result u32.
//   0x5000 -> {72, ...} + AccountInfo (e-mail[32], password hash[32], each <= 31 bytes).
//   0x5004 -> {1308, ...} + DefShareRecord (5 x 260 UTF-8 folders); 0x5005 takes one.
//   0x5006, 0x5008 -> head + PathListText ("path\r\n" ..., UTF-8, no zero byte).
//   0x5009 -> {8 + 300 n, ...} + n TransLogRecord: type u16, status u16, size u32,
//             time[30], file[260] (UTF-8), 2 zero bytes.
//   0x500A -> head + uploads u16 + downloads u16.
//
// Texts from the tray are converted strictly towards storage: a text that would change in
// the conversion is refused (-1), never stored as a different folder. Lists that would
// pass the 16-bit length of a reply are cut after their last whole line or record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "comm/dispatch.h"
#include "contract/tray_records.h"

// The most bytes a reply's payload can have within its 16-bit length.
inline constexpr uint32_t kMaxShowPayload = 0xFFFF - 8;

// The separator 0x5008 puts between a folder and its sub-folders' names.
inline constexpr const char* kShowPathSeparator = "/";

// What 0x5008 lists without a folder: the roots of the file systems. The default gives
// "/". Null restores it.
using ShowRootLister = std::vector<std::string> (*)();
void SetShowRootLister(ShowRootLister lister);

int Show_GetLogOnInfo(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_LogOnStatues(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_LogOn(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_GetDefShare(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_SetDefShare(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_GetShare(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_SetShare(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_GetPath(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_GetTransLog(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_GetIsTraning(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_GetIsMobileLinked(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_GetSysType(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_LogOut(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int Show_ClearLog(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
