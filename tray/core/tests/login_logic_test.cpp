// The login window's rules as tables: the e-mail pattern, the forbidden password
// characters, the tokenizer, the checks of a login in order, the placeholders and the
// saved login with its stored-hash flag.
#include "login_logic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "records.h"

namespace {

using Outcome = tray::LoginLogic::Outcome;

TEST(LoginRulesTest, EmailPattern) {
  const std::vector<std::pair<const char*, bool>> table = {
      {"user@example.com", true},
      {"User.Name-1_x@Example.COM", true},
      {"a@b.cn", true},
      {"a@mail.com.cn", true},
      {"a@b.c", false},             // one letter after the first dot
      {"a@b.info", false},          // four letters
      {"a@b.com.abc", false},       // three letters after the second dot
      {"a@mail.example.com", false},
      {"a@my-host.com", false},     // hyphen in the domain
      {"a@my_host.com", false},     // underscore in the domain
      {"@b.com", false},            // empty local part
      {"a b@b.com", false},         // blank
      {"ab@b.com ", false},
      {"a@b@b.com", false},         // second "@"
      {"", false},
      {"user@example.com\nx", false},
  };
  for (auto [text, valid] : table) EXPECT_EQ(tray::IsValidEmail(text), valid) << text;
  EXPECT_FALSE(tray::IsValidEmail(nullptr));
}

TEST(LoginRulesTest, ForbiddenPasswordCharacters) {
  for (char c : std::string("';\"=`*%$^&<>{}[]")) {
    std::string p = "abc" + std::string(1, c) + "def";
    EXPECT_FALSE(tray::IsValidPassword(p.c_str())) << p;
  }
  for (const char* p : {"abcdef", "a|b!c#d(e)f", "pässwörd", "密码密码密码", ""}) {
    EXPECT_TRUE(tray::IsValidPassword(p)) << p;
  }
}

TEST(LoginRulesTest, TokenizeString) {
  struct Case {
    std::string text, sep;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> table = {
      {"", "|", {}},
      {"abc", "", {}},
      {"abc", "|", {"abc"}},
      {"a|b|c", "|", {"a", "b", "c"}},
      {"a|b|", "|", {"a", "b", ""}},
      {"|a||b", "|", {"", "a", "", "b"}},
      {"a::b", "::", {"a", "b"}},
  };
  for (const Case& c : table) {
    std::vector<std::string> out = {"stale"};
    tray::TokenizeString(c.text, c.sep, &out);
    EXPECT_EQ(out, c.pieces) << c.text << " / " << c.sep;
  }
}

class LoginLogicTest : public ::testing::Test {
 protected:
  tray::LoginLogic logic{"E-mail", "Password"};
  Outcome Type(const std::string& account, const std::string& password) {
    logic.AccountFocusIn();
    logic.AccountEdited(account);
    logic.AccountFocusOut();
    logic.PasswordFocusIn();
    logic.PasswordEdited(password);
    logic.PasswordFocusOut();
    return logic.DoLogin();
  }
};

TEST_F(LoginLogicTest, ChecksRunInOrder) {
  struct Case {
    std::string account, password;
    Outcome outcome;
  };
  const std::vector<Case> table = {
      {"", "secret1", Outcome::NoAccount},
      {"E-mail", "secret1", Outcome::NoAccount},  // the placeholder counts as empty
      {"not-an-address", "", Outcome::NoPassword},
      {"me@tirvan.com", "Password", Outcome::NoPassword},
      {"not-an-address", "se;cr", Outcome::BadEmail},
      {"me@tirvan.com", "abcde", Outcome::BadPassword},
      {"me@tirvan.com", "abc$defgh", Outcome::BadPassword},
      {"me@tirvan.com", "abcdef", Outcome::LogOn},
      {"me@tirvan.com", std::string(16, 'x'), Outcome::LogOn},
      {"me@tirvan.com", std::string(17, 'x'), Outcome::LogOn},  // typed, not the hash
      {"me@tirvan.com", std::string(31, 'x'), Outcome::LogOn},
      {"me@tirvan.com", "密码密码密码", Outcome::LogOn},  // 6 characters, 18 bytes
      {"me@tirvan.com", "密码密码密码密码密码密", Outcome::BadPassword},  // 33 bytes
      {"me@tirvan.com", "密码密码", Outcome::BadPassword},  // 4 characters, 12 bytes
  };
  for (const Case& c : table) {
    tray::LoginLogic fresh{"E-mail", "Password"};
    logic = fresh;
    EXPECT_EQ(Type(c.account, c.password), c.outcome) << c.account << " / " << c.password;
  }
}

TEST_F(LoginLogicTest, TheRecordHasTheAccountInLowerCaseAndTheRememberState) {
  logic.AccountEdited("Me.Myself@Tirvan.COM");
  logic.PasswordEdited("secret1");
  logic.SetRemember(true);  // after the account: a change of it unticks the box
  ASSERT_EQ(logic.DoLogin(), Outcome::LogOn);
  EXPECT_STREQ(logic.Record().account, "me.myself@tirvan.com");
  EXPECT_STREQ(logic.Record().password, "secret1");
  EXPECT_EQ(logic.Record().remember, 1);
}

TEST_F(LoginLogicTest, TheStoredHashLogsOnAgainUntilEdited) {
  logic.SetSavedLogin(traytest::StoredLogin("me@tirvan.com", "lwMUzv154/BIwOvrMKCk5.", 1));
  EXPECT_TRUE(logic.Remember());  // the record's own choice stands
  EXPECT_TRUE(logic.PasswordStyle());
  EXPECT_EQ(logic.DoLogin(), Outcome::ReLogOn);
  // Any edit of the password makes it a typed one, whatever its length.
  logic.PasswordEdited("lwMUzv154/BIwOvrMKCk5");
  EXPECT_EQ(logic.DoLogin(), Outcome::LogOn);
}

TEST_F(LoginLogicTest, WithoutRememberTheStoredHashIsNeverOffered) {
  logic.PasswordFocusOut();
  logic.SetSavedLogin(traytest::StoredLogin("me@tirvan.com", "lwMUzv154/BIwOvrMKCk5.", 0));
  EXPECT_EQ(logic.Account(), "me@tirvan.com");
  EXPECT_FALSE(logic.Remember());
  EXPECT_FALSE(logic.HoldsStoredHash());
  EXPECT_TRUE(logic.Password().empty() || logic.PasswordIsPlaceholder()) << logic.Password();
  EXPECT_FALSE(logic.PasswordStyle());  // no dots
  EXPECT_EQ(logic.DoLogin(), Outcome::NoPassword);
  // Typing the saved account again brings nothing back either.
  logic.AccountEdited("me@tirvan.co");
  logic.AccountEdited("me@tirvan.com");
  EXPECT_FALSE(logic.HoldsStoredHash());
  EXPECT_TRUE(logic.Password().empty() || logic.PasswordIsPlaceholder()) << logic.Password();
  // What the user types then logs on as typed.
  logic.PasswordEdited("secret1");
  EXPECT_EQ(logic.DoLogin(), Outcome::LogOn);
}

TEST_F(LoginLogicTest, ChangingTheAccountClearsThePasswordAndTheSavedAccountBringsItBack) {
  logic.SetSavedLogin(traytest::StoredLogin("me@tirvan.com", "lwMUzv154/BIwOvrMKCk5.", 1));
  EXPECT_TRUE(logic.Remember());
  logic.AccountEdited("me@tirvan.co");
  EXPECT_EQ(logic.Password(), "");
  EXPECT_FALSE(logic.Remember());
  EXPECT_FALSE(logic.HoldsStoredHash());
  logic.AccountEdited("me@tirvan.com");
  EXPECT_EQ(logic.Password(), "lwMUzv154/BIwOvrMKCk5.");
  EXPECT_TRUE(logic.Remember());
  EXPECT_EQ(logic.DoLogin(), Outcome::ReLogOn);
  // Another account: nothing comes back.
  logic.AccountEdited("other@tirvan.com");
  logic.AccountEdited("other@tirvan.co");
  EXPECT_EQ(logic.Password(), "");
  EXPECT_FALSE(logic.Remember());
}

TEST_F(LoginLogicTest, Placeholders) {
  // At the start both fields show their placeholders, the password as plain text.
  logic.AccountFocusOut();
  logic.PasswordFocusOut();
  EXPECT_EQ(logic.Account(), "E-mail");
  EXPECT_EQ(logic.Password(), "Password");
  EXPECT_FALSE(logic.PasswordStyle());
  logic.Shown();
  EXPECT_FALSE(logic.PasswordStyle());
  logic.AccountFocusIn();
  EXPECT_EQ(logic.Account(), "");
  logic.PasswordFocusIn();
  EXPECT_EQ(logic.Password(), "");
  EXPECT_TRUE(logic.PasswordStyle());
  logic.PasswordEdited("typed1");
  logic.PasswordFocusOut();
  EXPECT_EQ(logic.Password(), "typed1");
  EXPECT_TRUE(logic.PasswordStyle());
  // A language change puts the new placeholder where the old one stood.
  logic.AccountFocusOut();
  logic.SetPlaceholders("邮箱", "密码");
  EXPECT_EQ(logic.Account(), "邮箱");
  EXPECT_EQ(logic.Password(), "typed1");
}

// The demo account that README.md names and scripts/run.sh creates passes the login
// window's own checks, so a new user can log on with it after switching account.
TEST_F(LoginLogicTest, TheReadmesDemoAccountPassesTheChecks) {
  auto read = [](const char* relative) {
    std::ifstream in(std::string(TIRVAN_SOURCE_DIR) + "/" + relative);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const std::string readme = read("README.md"), script = read("scripts/run.sh");
  std::smatch m, email, password;
  ASSERT_TRUE(std::regex_search(readme, m, std::regex(R"(demo\s+account\s+\(([^,\s]+),\s+password\s+([^,:;\s]+)[,:;])")));
  ASSERT_TRUE(std::regex_search(script, email, std::regex(R"(TIRVAN_DEMO_EMAIL:-([^}]+)\})")));
  ASSERT_TRUE(std::regex_search(script, password, std::regex(R"(TIRVAN_DEMO_PASSWORD:-([^}]+)\})")));
  EXPECT_EQ(email[1], m[1]);
  EXPECT_EQ(password[1], m[2]);
  EXPECT_EQ(Type(m[1], m[2]), Outcome::LogOn) << m[1] << " / " << m[2];
  EXPECT_EQ(std::string(logic.Record().account), m[1].str());  // already in lower case
  // The central server hashes typed passwords of at most 16 bytes, as the tray program does.
  EXPECT_LE(m[2].length(), 16);
}

}  // namespace
