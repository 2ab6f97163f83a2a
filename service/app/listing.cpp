#include "app/listing.h"

// Not built yet: the handlers answer nothing and the work items return at once.

int GetShareInfo(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}

int GetAllSubFile(const uint8_t*, uint32_t, const MsgHead*, bufferevent*, uint8_t**, int32_t*, int32_t*,
            uint8_t*) {
  return 0;
}
