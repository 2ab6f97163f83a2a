// The settings store on its file: a missing key, missing values, types and rewrites.
#include "settings_store.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <optional>

#include "hosted_network.h"

namespace {

void WriteText(const QString& path, const QByteArray& text) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text);
}

TEST(SettingsStore, WithoutTheKeyNothingIsReadOrWrittenAndNothingIsCreated) {
  QTemporaryDir dir;
  tray::FileSettingsStore store(dir.filePath(QStringLiteral("Tirvan/settings.ini")));
  EXPECT_FALSE(store.KeyExists());
  EXPECT_FALSE(store.GetDword(QStringLiteral("UpdateNotice")).has_value());
  EXPECT_FALSE(store.SetDword(QStringLiteral("UpdateNotice"), 1));
  EXPECT_FALSE(store.SetString(QStringLiteral("WebBaseUrl"), QStringLiteral("x")));
  EXPECT_FALSE(QDir(dir.filePath(QStringLiteral("Tirvan"))).exists());

  ASSERT_TRUE(store.CreateKey());
  EXPECT_TRUE(store.KeyExists());
  EXPECT_FALSE(store.GetDword(QStringLiteral("UpdateNotice")).has_value());  // missing, not 0
}

TEST(SettingsStore, KeepsNumbersAndTextsApartAndSurvivesAFreshReader) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("settings.ini"));
  tray::FileSettingsStore store(path);
  ASSERT_TRUE(store.CreateKey());
  ASSERT_TRUE(store.SetDword(QStringLiteral("UpdateNotice"), 0));
  ASSERT_TRUE(store.SetDword(QStringLiteral("UpdateFinish"), 4294967295u));
  ASSERT_TRUE(store.SetString(QStringLiteral("WebBaseUrl"), QStringLiteral("https://h/ä=b")));
  EXPECT_FALSE(store.SetString(QStringLiteral("Bad"), QStringLiteral("two\nlines")));
  EXPECT_FALSE(store.SetDword(QStringLiteral("a=b"), 1));

  tray::FileSettingsStore again(path);
  EXPECT_EQ(again.GetDword(QStringLiteral("UpdateNotice")).value_or(9), 0u);
  EXPECT_EQ(again.GetDword(QStringLiteral("UpdateFinish")).value_or(0), 4294967295u);
  EXPECT_EQ(again.GetString(QStringLiteral("WebBaseUrl")).value_or(QString()),
            QStringLiteral("https://h/ä=b"));
  EXPECT_FALSE(again.GetDword(QStringLiteral("WebBaseUrl")).has_value());  // a text, not a number
  EXPECT_FALSE(again.GetString(QStringLiteral("UpdateNotice")).has_value());

  ASSERT_TRUE(again.DeleteValue(QStringLiteral("UpdateNotice")));
  EXPECT_TRUE(again.DeleteValue(QStringLiteral("NeverThere")));
  EXPECT_FALSE(store.GetDword(QStringLiteral("UpdateNotice")).has_value());
  EXPECT_EQ(store.GetDword(QStringLiteral("UpdateFinish")).value_or(0), 4294967295u);
}

TEST(SettingsStore, ValuesWrittenByHandThatAreNotNumbersReadAsMissing) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("settings.ini"));
  WriteText(path, "[Tirvan]\nA=dword:12\nB=dword:abc\nC=dword:4294967296\nD=7\nE=dword:\n");
  tray::FileSettingsStore store(path);
  EXPECT_EQ(store.GetDword(QStringLiteral("A")).value_or(0), 12u);
  for (const char* name : {"B", "C", "D", "E"})
    EXPECT_FALSE(store.GetDword(QString::fromLatin1(name)).has_value()) << name;
  ASSERT_TRUE(store.SetDword(QStringLiteral("F"), 1));
  EXPECT_EQ(store.GetDword(QStringLiteral("A")).value_or(0), 12u);  // a rewrite keeps the rest
}

}  // namespace

namespace {

// The first-run decision after a value was stored, for each state the key can be in: a
// stored value never turns the wizard on, and never turns a due wizard off.
TEST(SettingsStore, StoringAValueNeverChangesTheFirstRunDecision) {
  const struct {
    const char* name;
    std::function<void(tray::FileSettingsStore&)> store;
  } ways[] = {
      {"the hotspot's key", [](tray::FileSettingsStore& s) { tray::HotspotKey(s); }},
      {"a number", [](tray::FileSettingsStore& s) { s.SetDword(QStringLiteral("UpdateNotice"), 1); }},
      {"a text", [](tray::FileSettingsStore& s) { s.SetString(QStringLiteral("Language"), QStringLiteral("1")); }},
      {"a deletion", [](tray::FileSettingsStore& s) { s.DeleteValue(QStringLiteral("UpdateFinish")); }},
  };
  const struct {
    const char* name;
    bool key;                         // an installer made the key
    std::optional<uint32_t> wizard;   // SetupWizard, when there
    bool due;
  } keys[] = {
      {"no key", false, std::nullopt, false},
      {"a new key", true, std::nullopt, true},
      {"a key asking for the wizard", true, 0u, true},
      {"a key after the wizard", true, 1u, false},
  };
  for (const auto& k : keys) {
    for (const auto& w : ways) {
      QTemporaryDir dir;
      tray::FileSettingsStore store(dir.filePath(QStringLiteral("Tirvan/settings.ini")));
      if (k.key) {
        ASSERT_TRUE(store.CreateKey());
        if (k.wizard) {
          ASSERT_TRUE(store.SetDword(QStringLiteral("SetupWizard"), *k.wizard));
        }
      }
      ASSERT_EQ(tray::FirstRunWizardDue(store), k.due) << k.name;
      w.store(store);
      // A fresh reader, as the next start is.
      tray::FileSettingsStore next(store.path());
      EXPECT_EQ(tray::FirstRunWizardDue(next), k.due) << k.name << ", then " << w.name;
    }
  }
  // The hotspot's key is kept on a user without a key all the same.
  QTemporaryDir dir;
  tray::FileSettingsStore store(dir.filePath(QStringLiteral("Tirvan/settings.ini")));
  const QString key = tray::HotspotKey(store);
  EXPECT_EQ(tray::FileSettingsStore(store.path()).GetString(QStringLiteral("HotspotKey")), key);
  EXPECT_EQ(tray::HotspotKey(store), key);
}

}  // namespace
