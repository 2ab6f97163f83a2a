// Device heartbeat, device login and shutdown of the PC.
#pragma once

#include <cstdint>

#include "comm/dispatch.h"

int ReqDeviceHeartBeat(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int ReqShutDownSystem(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
int ReqDeviceLogin(const uint8_t* body, uint32_t bodyLen, const MsgHead* head, bufferevent* conn,
            uint8_t** reply, int32_t* replyLen, int32_t* udtSock, uint8_t* direct);
