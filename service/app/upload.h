// Uploads from a device into a shared folder, with resume.
#pragma once

#include <cstdint>

#include "comm/dispatch.h"

int ReqUpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int UpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int OverUpLoadFile(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
