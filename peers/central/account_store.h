// The central server's accounts: e-mail and password hash pairs in an SQLite file,
// the same pair the PC stores and sends when it logs on. The server reads the file
// at every logon, so accounts added or removed while it runs count at once.
#pragma once

#include <string>
#include <vector>

struct sqlite3;

namespace central {

// The hash the tray program makes of a typed password: MD5-based crypt with the
// setting "$1$vorpel$", the setting cut off (22 characters). Empty on failure.
std::string HashPassword(const std::string& password);

// The tray program hashes only passwords of at most this many bytes; longer ones it
// takes for a stored hash.
inline constexpr size_t kMaxTypedPassword = 16;
// Both texts travel in 32-byte fields that keep one zero byte.
inline constexpr size_t kMaxAccountText = 31;

class AccountStore {
 public:
  enum class Verdict { Ok, UnknownAccount, WrongPassword, Error };

  AccountStore() = default;
  ~AccountStore();
  AccountStore(const AccountStore&) = delete;
  AccountStore& operator=(const AccountStore&) = delete;

  // Opens (creating when missing) the file and its table. false with error set.
  bool Open(const std::string& path, std::string* error);
  void Close();

  // The logon check: texts compared byte for byte. An empty e-mail is unknown.
  Verdict Verify(const std::string& email, const std::string& hash);

  // Adds the account or replaces its hash. false with error set (bad texts or a
  // failing file).
  bool Add(const std::string& email, const std::string& hash, std::string* error);
  // 1 removed, 0 no such account, -1 failure (error set).
  int Remove(const std::string& email, std::string* error);
  // The e-mail addresses in order. false with error set.
  bool List(std::vector<std::string>* emails, std::string* error);

 private:
  sqlite3* m_db = nullptr;
};

// Why a text cannot be an account e-mail or hash ("" when it can): empty, longer
// than kMaxAccountText bytes, or holding control characters.
std::string CheckAccountText(const std::string& text, const char* what);

}  // namespace central
