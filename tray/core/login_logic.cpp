#include "login_logic.h"

#include <cctype>
#include <cstring>
#include <regex>

namespace tray {

namespace {

// Each forbidden character followed by "|".
constexpr const char* kForbidden = "'|;|\"|=|`|*|%|$|^|&|<|>|{|}|[|]|";

size_t CharCount(const std::string& utf8) {
  size_t n = 0;
  for (unsigned char c : utf8) n += (c & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

void CopyField(char* out, size_t n, const std::string& text) {
  std::memset(out, 0, n);
  std::memcpy(out, text.data(), std::min(text.size(), n - 1));
}

std::string FieldText(const char* field, size_t n) { return std::string(field, strnlen(field, n)); }

}  // namespace

bool IsValidEmail(const char* text) {
  if (text == nullptr) return false;
  static const std::regex pattern(
      "([0-9A-Za-z\\-_\\.]+)@([0-9A-Za-z]+\\.[A-Za-z]{2,3}(\\.[A-Za-z]{2})?)",
      std::regex::ECMAScript);
  return std::regex_match(text, pattern);
}

bool IsValidPassword(const char* text) {
  if (text == nullptr) return false;
  std::vector<std::string> pieces;
  TokenizeString(kForbidden, "|", &pieces);
  const std::string password(text);
  for (const std::string& p : pieces) {
    if (!p.empty() && password.find(p) != std::string::npos) return false;
  }
  return true;
}

void TokenizeString(const std::string& text, const std::string& separator,
                    std::vector<std::string>* out) {
  out->clear();
  if (text.empty() || separator.empty()) return;
  size_t pos = 0;
  while (true) {
    size_t at = text.find(separator, pos);
    if (at == std::string::npos) break;
    out->push_back(text.substr(pos, at - pos));
    pos = at + separator.size();
  }
  out->push_back(text.substr(pos));
}

LoginLogic::LoginLogic(std::string accountPlaceholder, std::string passwordPlaceholder)
    : m_accountPlaceholder(std::move(accountPlaceholder)),
      m_passwordPlaceholder(std::move(passwordPlaceholder)) {}

void LoginLogic::SetPlaceholders(std::string account, std::string password) {
  // A field showing the old placeholder shows the new one.
  if (m_account == m_accountPlaceholder) m_account = account;
  if (m_password == m_passwordPlaceholder) m_password = password;
  m_accountPlaceholder = std::move(account);
  m_passwordPlaceholder = std::move(password);
}

bool LoginLogic::AccountEmpty() const {
  return m_account.empty() || m_account == m_accountPlaceholder;
}

bool LoginLogic::PasswordEmpty() const {
  return m_password.empty() || m_password == m_passwordPlaceholder;
}

void LoginLogic::AccountEdited(const std::string& text) {
  m_account = text;
  if (!PasswordEmpty()) {
    m_password.clear();
    m_remember = false;
    m_storedHash = false;
  } else if (m_saved.account[0] != '\0' && m_saved.remember != 0 &&
             m_account == FieldText(m_saved.account, sizeof m_saved.account)) {
    m_password = FieldText(m_saved.password, sizeof m_saved.password);
    m_remember = m_saved.remember != 0;
    m_storedHash = !m_password.empty();
    if (!m_password.empty()) m_passwordStyle = true;
  } else {
    if (m_password != m_passwordPlaceholder) m_password.clear();
    m_remember = false;
    m_storedHash = false;
  }
}

void LoginLogic::PasswordEdited(const std::string& text) {
  m_password = text;
  m_storedHash = false;
}

void LoginLogic::AccountFocusIn() {
  if (m_account == m_accountPlaceholder) m_account.clear();
}

void LoginLogic::AccountFocusOut() {
  if (m_account.empty()) m_account = m_accountPlaceholder;
}

void LoginLogic::PasswordFocusIn() {
  if (m_password == m_passwordPlaceholder) m_password.clear();
  m_passwordStyle = true;
}

void LoginLogic::PasswordFocusOut() {
  if (m_password.empty()) {
    m_passwordStyle = false;
    m_password = m_passwordPlaceholder;
  }
}

void LoginLogic::Shown() {
  if (m_password != m_passwordPlaceholder) m_passwordStyle = true;
}

void LoginLogic::SetSavedLogin(const LoginInfo& record) {
  m_account = FieldText(record.account, sizeof record.account);
  // Without "remember" the stored hash is not offered: the password is typed again.
  m_remember = record.remember != 0;
  m_password = m_remember ? FieldText(record.password, sizeof record.password) : std::string();
  m_saved = record;
  m_storedHash = !m_password.empty();
  if (m_account.empty()) m_account = m_accountPlaceholder;
  if (m_password.empty()) {
    PasswordFocusOut();
  } else if (m_password != m_passwordPlaceholder) {
    m_passwordStyle = true;
  }
}

void LoginLogic::Fill(const LoginInfo& record) {
  m_account = FieldText(record.account, sizeof record.account);
  // Without "remember" the stored hash is not offered: the password is typed again.
  m_remember = record.remember != 0;
  m_password = m_remember ? FieldText(record.password, sizeof record.password) : std::string();
  m_storedHash = false;
  if (m_password != m_passwordPlaceholder) m_passwordStyle = true;
}

LoginLogic::Outcome LoginLogic::DoLogin() {
  if (AccountEmpty()) return Outcome::NoAccount;
  if (PasswordEmpty()) return Outcome::NoPassword;
  if (m_account.size() > kMaxFieldBytes || !IsValidEmail(m_account.c_str())) {
    return Outcome::BadEmail;
  }
  // The character rule first; then the length. A password that does not fit its field
  // whole is refused, never cut.
  if (!IsValidPassword(m_password.c_str()) || CharCount(m_password) < kMinPasswordChars ||
      m_password.size() > kMaxFieldBytes) {
    return Outcome::BadPassword;
  }
  std::string account = m_account;
  for (char& c : account) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  m_record = LoginInfo{};
  m_record.remember = m_remember ? 1 : 0;
  CopyField(m_record.account, sizeof m_record.account, account);
  CopyField(m_record.password, sizeof m_record.password, m_password);
  return m_storedHash ? Outcome::ReLogOn : Outcome::LogOn;
}

}  // namespace tray
