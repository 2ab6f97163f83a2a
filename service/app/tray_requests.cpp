#include "app/tray_requests.h"

// Not built yet: the handlers answer nothing and the work items return at once.

int Show_GetLogOnInfo(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_LogOnStatues(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_LogOn(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_GetDefShare(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_SetDefShare(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_GetShare(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_SetShare(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_GetPath(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_GetTransLog(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_GetIsTraning(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_GetIsMobileLinked(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_GetSysType(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_LogOut(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int Show_ClearLog(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}
