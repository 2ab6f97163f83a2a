// Result codes of the service. A handler's code never reaches the wire; only what
// it puts into its reply does.
#pragma once

enum : int {
  ERR_OK = 0,
  ERR_DO_REQUEST = 16,        // a handler let an exception out
  ERR_POOL_CREATE = 258,
  ERR_MUTEX_CREATE = 259,
  ERR_LOCAL_SERVER = 264,
  ERR_ALLOC = 273,            // reply not allocated
  ERR_NULL_MSG = 274,         // a required body is missing
  ERR_REG_FUNCTION = 275,
  ERR_TYPE_NOT_REG = 280,
  ERR_WRITE_DB = 4108,
  ERR_SERVER_CASH_FULL = 4116,
  ERR_PATH_NOT_EXIST = 4117,
  ERR_NOT_IN_SHARE = 4118,
  ERR_FILE_NOT_EXIST = 4119,
  ERR_FILE_SIZE = 4120,
  ERR_CONNECT_NET = 4122,
  ERR_DEF_SHARE_EMPTY = 4123,
  ERR_SECOND_INSTANCE = 4124,
  ERR_OPEN_DB = 4125,
  ERR_OPEN_LOG = 4126,
  ERR_USER_EMPTY = 4127,
  ERR_LOCAL_PORT = 4130,
  ERR_BAD_CHARS = 4132,
};
