// Records the tray's tests build: a stored log-on, and a device's log-in question as it
// stands on the wire (e-mail, password hash, name, network at their fixed places).
#pragma once

#include <cstring>
#include <string>

#include "ui_data.h"

namespace traytest {

inline tray::LoginInfo StoredLogin(const char* account, const char* password, int remember) {
  tray::LoginInfo r{};
  std::strcpy(r.account, account);
  std::strcpy(r.password, password);
  r.remember = remember;
  return r;
}

inline std::string DeviceLoginRecord(const std::string& email, const std::string& hash, const std::string& name) {
  std::string r(256, '\0');
  r.replace(0, email.size(), email);
  r.replace(32, hash.size(), hash);
  r.replace(64, name.size(), name);
  r.replace(128, 4, "wlan");
  return r;
}

}  // namespace traytest
