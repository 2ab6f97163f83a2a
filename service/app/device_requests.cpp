#include "app/device_requests.h"

// Not built yet: the handlers answer nothing and the work items return at once.

int ReqDeviceHeartBeat(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int ReqShutDownSystem(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int ReqDeviceLogin(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}
