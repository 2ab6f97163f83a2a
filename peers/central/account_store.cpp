#include "central/account_store.h"

#include <crypt.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>

namespace central {

namespace {

constexpr const char* kSetting = "$1$vorpel$";
constexpr int kBusyTimeoutMs = 1000;

struct StmtDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

Stmt Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) return nullptr;
  return Stmt(s);
}

void Bind(sqlite3_stmt* s, int index, const std::string& text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string DbError(sqlite3* db) {
  return db == nullptr ? "account store not open" : sqlite3_errmsg(db);
}

}  // namespace

std::string HashPassword(const std::string& password) {
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof *data);
  const char* out = crypt_r(password.c_str(), kSetting, data.get());
  if (out == nullptr || out[0] == '*') return "";
  std::string result(out);
  size_t settingLen = std::strlen(kSetting);
  if (result.compare(0, settingLen, kSetting) == 0) result.erase(0, settingLen);
  return result;
}

std::string CheckAccountText(const std::string& text, const char* what) {
  if (text.empty()) return std::string(what) + " is empty";
  if (text.size() > kMaxAccountText)
    return std::string(what) + " is longer than " + std::to_string(kMaxAccountText) + " bytes";
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      return std::string(what) + " holds a control character";
  }
  return "";
}

AccountStore::~AccountStore() { Close(); }

bool AccountStore::Open(const std::string& path, std::string* error) {
  Close();
  int rc = sqlite3_open_v2(path.c_str(), &m_db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = path + ": " + DbError(m_db);
    Close();
    return false;
  }
  sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
  char* msg = nullptr;
  rc = sqlite3_exec(m_db,
                    "CREATE TABLE IF NOT EXISTS accounts ("
                    "email TEXT PRIMARY KEY NOT NULL, psw TEXT NOT NULL)",
                    nullptr, nullptr, &msg);
  if (rc != SQLITE_OK) {
    if (error) *error = path + ": " + (msg ? msg : "cannot create the accounts table");
    sqlite3_free(msg);
    Close();
    return false;
  }
  return true;
}

void AccountStore::Close() {
  if (m_db != nullptr) sqlite3_close_v2(m_db);
  m_db = nullptr;
}

AccountStore::Verdict AccountStore::Verify(const std::string& email, const std::string& hash) {
  if (email.empty()) return Verdict::UnknownAccount;
  Stmt s = Prepare(m_db, "SELECT psw FROM accounts WHERE email = ?1");
  if (!s) return Verdict::Error;
  Bind(s.get(), 1, email);
  int rc = sqlite3_step(s.get());
  if (rc == SQLITE_DONE) return Verdict::UnknownAccount;
  if (rc != SQLITE_ROW) return Verdict::Error;
  const auto* stored = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
  int storedLen = sqlite3_column_bytes(s.get(), 0);
  if (stored == nullptr || hash.empty()) return Verdict::WrongPassword;
  return std::string(stored, static_cast<size_t>(storedLen)) == hash ? Verdict::Ok
                                                                      : Verdict::WrongPassword;
}

bool AccountStore::Add(const std::string& email, const std::string& hash, std::string* error) {
  std::string why = CheckAccountText(email, "e-mail");
  if (why.empty()) why = CheckAccountText(hash, "password hash");
  if (!why.empty()) {
    if (error) *error = why;
    return false;
  }
  Stmt s = Prepare(m_db, "INSERT OR REPLACE INTO accounts (email, psw) VALUES (?1, ?2)");
  if (s) {
    Bind(s.get(), 1, email);
    Bind(s.get(), 2, hash);
  }
  if (!s || sqlite3_step(s.get()) != SQLITE_DONE) {
    if (error) *error = DbError(m_db);
    return false;
  }
  return true;
}

int AccountStore::Remove(const std::string& email, std::string* error) {
  Stmt s = Prepare(m_db, "DELETE FROM accounts WHERE email = ?1");
  if (s) Bind(s.get(), 1, email);
  if (!s || sqlite3_step(s.get()) != SQLITE_DONE) {
    if (error) *error = DbError(m_db);
    return -1;
  }
  return sqlite3_changes(m_db) > 0 ? 1 : 0;
}

bool AccountStore::List(std::vector<std::string>* emails, std::string* error) {
  emails->clear();
  Stmt s = Prepare(m_db, "SELECT email FROM accounts ORDER BY email");
  if (!s) {
    if (error) *error = DbError(m_db);
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    const auto* e = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
    emails->emplace_back(e ? e : "");
  }
  if (rc != SQLITE_DONE) {
    if (error) *error = DbError(m_db);
    return false;
  }
  return true;
}

}  // namespace central
