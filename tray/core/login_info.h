// The login record that passes between the login window, the settings dialog and the
// service client. Its first 64 bytes are, byte for byte, the account record of the
// service's local protocol (account[32], password[32]).
#pragma once

#include <cstdint>

namespace tray {

struct LoginInfo {
  char account[32];   // e-mail address, lower case, NUL-terminated (at most 31 bytes)
  char password[32];  // the typed password, or the stored hash; NUL-terminated
  int32_t remember;   // the remember-password box: 0 unchecked, 1 checked
};
static_assert(sizeof(LoginInfo) == 68);

}  // namespace tray
