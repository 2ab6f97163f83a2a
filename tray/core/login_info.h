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

// The login window's owner (the settings dialog).
class ICLoginDlgCallback {
 public:
  virtual ~ICLoginDlgCallback() = default;
  // A login passed its checks with a typed password; hash 1: hash it before it is sent.
  virtual void OnLogOn(LoginInfo* record, int hash) = 0;
  virtual void OnLogOnCancel() = 0;
  virtual void OnLogOnExit() = 0;
  // A login passed its checks with the stored hash still in the field: log on again
  // with the owner's kept record.
  virtual void ReLogOn() = 0;
};

}  // namespace tray
