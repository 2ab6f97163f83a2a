#include "central/account_store.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

using central::AccountStore;
using central::HashPassword;

TEST(HashPassword, MatchesTheTrayProgramsHash) {
  // MD5-based crypt with the setting "$1$vorpel$", the setting removed.
  EXPECT_EQ(HashPassword("secret"), "fxbMVE3W5ypP.Q5pkObWZ.");
  EXPECT_EQ(HashPassword("secret").size(), 22u);
  EXPECT_NE(HashPassword("secret"), HashPassword("Secret"));
}

TEST(AccountStore, AddVerifyReplaceRemoveList) {
  support::TempDir dir;
  AccountStore store;
  std::string error;
  ASSERT_TRUE(store.Open(dir.Sub("a.db"), &error)) << error;

  ASSERT_TRUE(store.Add("b@example.com", "hash-b", &error)) << error;
  ASSERT_TRUE(store.Add("a@example.com", "hash-a", &error)) << error;
  EXPECT_EQ(store.Verify("a@example.com", "hash-a"), AccountStore::Verdict::Ok);
  EXPECT_EQ(store.Verify("a@example.com", "hash-b"), AccountStore::Verdict::WrongPassword);
  EXPECT_EQ(store.Verify("a@example.com", ""), AccountStore::Verdict::WrongPassword);
  EXPECT_EQ(store.Verify("A@example.com", "hash-a"), AccountStore::Verdict::UnknownAccount);
  EXPECT_EQ(store.Verify("", ""), AccountStore::Verdict::UnknownAccount);

  ASSERT_TRUE(store.Add("a@example.com", "hash-new", &error));  // replaces
  EXPECT_EQ(store.Verify("a@example.com", "hash-a"), AccountStore::Verdict::WrongPassword);
  EXPECT_EQ(store.Verify("a@example.com", "hash-new"), AccountStore::Verdict::Ok);

  std::vector<std::string> emails;
  ASSERT_TRUE(store.List(&emails, &error));
  EXPECT_EQ(emails, (std::vector<std::string>{"a@example.com", "b@example.com"}));

  EXPECT_EQ(store.Remove("a@example.com", &error), 1);
  EXPECT_EQ(store.Remove("a@example.com", &error), 0);
  EXPECT_EQ(store.Verify("a@example.com", "hash-new"), AccountStore::Verdict::UnknownAccount);

  // The file keeps them.
  store.Close();
  AccountStore again;
  ASSERT_TRUE(again.Open(dir.Sub("a.db"), &error));
  EXPECT_EQ(again.Verify("b@example.com", "hash-b"), AccountStore::Verdict::Ok);
}

TEST(AccountStore, RefusesTextsThatCannotTravel) {
  support::TempDir dir;
  AccountStore store;
  std::string error;
  ASSERT_TRUE(store.Open(dir.Sub("a.db"), &error));
  const std::pair<std::string, std::string> bad[] = {
      {"", "hash"},
      {"a@example.com", ""},
      {std::string(32, 'e'), "hash"},  // the field keeps one zero byte: 31 at most
      {"a@example.com", std::string(32, 'h')},
      {"a\tb@example.com", "hash"},
  };
  for (const auto& [email, hash] : bad) {
    error.clear();
    EXPECT_FALSE(store.Add(email, hash, &error)) << email;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(store.Add(std::string(31, 'e'), std::string(31, 'h'), &error)) << error;
  std::vector<std::string> emails;
  ASSERT_TRUE(store.List(&emails, &error));
  EXPECT_EQ(emails.size(), 1u);
}

TEST(AccountStore, UnopenedOrUnopenableStoreFailsClearly) {
  support::TempDir dir;
  AccountStore store;
  std::string error;
  EXPECT_EQ(store.Verify("a", "b"), AccountStore::Verdict::Error);
  EXPECT_FALSE(store.Add("a", "b", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(store.Open(dir.Sub("missing/a.db"), &error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

}  // namespace
