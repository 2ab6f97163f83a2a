#include "app/download.h"

// Not built yet: the handlers answer nothing and the work items return at once.

int ReqDownLoadFile(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int AllowDownLoadFile(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int RefuseDownLoadFile(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int StopDownLoad(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}
