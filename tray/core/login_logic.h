// What the login window decides, without its widgets: the checks of a login in order,
// the placeholder texts shown in empty fields, the password style, and the saved login
// that typing its account again brings back.
//
// The password field holds either a password the user typed or the stored hash that the
// saved login put there; a flag says which, and any edit of the field (or a change of
// the account) clears it.
#pragma once

#include <string>
#include <vector>

#include "login_info.h"

namespace tray {

// The whole text is an e-mail address of the form the central server's accounts use.
bool IsValidEmail(const char* text);
// No forbidden character (' ; " = ` * % $ ^ & < > { } [ ]).
bool IsValidPassword(const char* text);
// Splits text at every separator; the rest after the last one always counts, even when
// empty. Nothing for an empty text or separator; the whole text when the separator is
// absent.
void TokenizeString(const std::string& text, const std::string& separator,
                    std::vector<std::string>* out);

inline constexpr size_t kMinPasswordChars = 6;
inline constexpr size_t kMaxFieldBytes = 31;

class LoginLogic {
 public:
  enum class Outcome {
    NoAccount,        // message box MSGBOX_NOACCOUNT
    NoPassword,       // message box MSGBOX_NOPASSWORD
    BadEmail,         // balloon REGACCOUNT_INFO_INVALIDEMAIL on the account
    BadPassword,      // balloon REGACCOUNT_INFO_INVALIDPASS on the password
    LogOn,            // OnLogOn(record, 1): a typed password, to be hashed
    ReLogOn,          // ReLogOn(): the field still holds the stored hash
  };

  LoginLogic(std::string accountPlaceholder, std::string passwordPlaceholder);
  void SetPlaceholders(std::string account, std::string password);

  const std::string& Account() const { return m_account; }
  const std::string& Password() const { return m_password; }
  bool Remember() const { return m_remember; }
  // The field shows its placeholder, not the user's text.
  bool AccountIsPlaceholder() const { return !m_account.empty() && m_account == m_accountPlaceholder; }
  bool PasswordIsPlaceholder() const { return !m_password.empty() && m_password == m_passwordPlaceholder; }
  void SetRemember(bool on) { m_remember = on; }
  // The password field shows its text as dots (else as plain text: the placeholder).
  bool PasswordStyle() const { return m_passwordStyle; }
  bool HoldsStoredHash() const { return m_storedHash; }
  const LoginInfo& SavedLogin() const { return m_saved; }
  // The record of the last DoLogin that passed its checks.
  const LoginInfo& Record() const { return m_record; }

  // The user's edits.
  void AccountEdited(const std::string& text);  // runs the account-change rule
  void PasswordEdited(const std::string& text);
  void AccountFocusIn();
  void AccountFocusOut();
  void PasswordFocusIn();
  void PasswordFocusOut();
  void Shown();  // the window is shown or hidden

  // The stored account after a logon, or at program start; its password (the stored hash)
  // only when the record says to remember it.
  void SetSavedLogin(const LoginInfo& record);
  // Fills both fields and the remember box from record, as a login from elsewhere does.
  void Fill(const LoginInfo& record);

  // The checks in order; Record() is set for LogOn and ReLogOn.
  Outcome DoLogin();

 private:
  bool AccountEmpty() const;
  bool PasswordEmpty() const;

  std::string m_accountPlaceholder, m_passwordPlaceholder;
  std::string m_account, m_password;
  bool m_remember = false;
  bool m_passwordStyle = false;
  bool m_storedHash = false;
  LoginInfo m_saved{};
  LoginInfo m_record{};
};

}  // namespace tray
