#include "crypt_password.h"

#include <crypt.h>

#include <cstring>
#include <memory>

namespace tray {

std::optional<std::string> CryptPassword(const std::string& password) {
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof *data);
  const char* out = crypt_r(password.c_str(), kCryptSetting, data.get());
  // Failure is NULL on some systems and a text starting with "*" on others.
  if (out == nullptr || out[0] == '*') return std::nullopt;
  const size_t settingLen = std::strlen(kCryptSetting);
  if (std::strncmp(out, kCryptSetting, settingLen) != 0) return std::nullopt;
  std::string hash(out + settingLen);
  if (hash.empty() || hash.size() > 31) return std::nullopt;
  return hash;
}

}  // namespace tray
