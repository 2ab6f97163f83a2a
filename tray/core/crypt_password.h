// The account password as it leaves the tray program: the MD5-based crypt(3) method with
// the fixed setting "$1$vorpel$", the setting removed, leaving 22 characters. The central
// server keeps the same hash for the account.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tray {

inline constexpr const char* kCryptSetting = "$1$vorpel$";

// The 22-character hash, or nothing when the system's crypt fails or answers with
// anything but the setting followed by the hash.
std::optional<std::string> CryptPassword(const std::string& password);

// Stands for CryptPassword where a test needs a failing or a counting hasher.
using PasswordHasher = std::function<std::optional<std::string>(const std::string&)>;

}  // namespace tray
