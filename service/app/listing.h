// Listings of the shared folders and of folders inside them for devices.
#pragma once

#include <cstdint>
#include <string>

#include "comm/dispatch.h"

// The request record of a folder listing and of a download: one unused byte, then the
// path as UTF-8 text ended by a zero byte.
inline constexpr uint32_t kDownLoadRequestSize = 356;
// The longest path (after conversion and expansion) a listing or download accepts.
inline constexpr size_t kMaxRequestPathLen = 254;

// The path of the request record at the body offset that direct gives (0, or 72 behind
// the relay prefix). False when the body is shorter than the record or the path field
// holds no terminating zero; nothing past bodyLen is read.
bool ReadRequestPath(const uint8_t* body, uint32_t bodyLen, uint8_t direct, std::string& path);

int GetShareInfo(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                 uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int GetAllSubFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
                  uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
