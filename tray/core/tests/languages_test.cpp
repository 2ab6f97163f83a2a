#include "languages.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

namespace {

struct Listener final : tray::ILanguageCallBack {
  int calls = 0;
  std::function<void()> onChange;
  void OnLanguageChanged() override {
    ++calls;
    if (onChange) onChange();
  }
};

class LanguagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    Write("ChineseSimplified.qzl", "[UI]\nDIALOG_TITLE=简体\n[FONT_DEFAULT]\nFONT_NAME=Noto Sans CJK SC\n");
    Write("English.qzl",
          "[UI]\nDIALOG_TITLE=English\nURL=http://h/?L=en&x=1\nK=first\nK=second\n"
          "[LOGIN_FONT_EDIT]\nFONT_HEIGHT=-9\nFONT_WEIGHT=700\nFONT_NAME=Liberation Sans\n"
          "[FONT_PLAIN]\n"
          "[FONT_DEFAULT]\nFONT_HEIGHT=-10\n");
    Write("ChineseTrad.qzl", "[UI]\nDIALOG_TITLE=繁體\n");
    tray::SetLanguageFolder(m_dir.path());
    tray::SetSystemLocaleOverride("en_US.UTF-8");
  }
  void TearDown() override {
    tray::SetSystemLocaleOverride(std::nullopt);
    tray::SetLanguageFolder(QString());
  }
  void Write(const char* name, const char* text) {
    QFile f(QDir(m_dir.path()).filePath(QString::fromLatin1(name)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  }

  QTemporaryDir m_dir;
};

TEST(LanguageLocaleTest, MapsLocalesToLanguages) {
  struct Case {
    const char* locale;
    int index;
  };
  const Case cases[] = {
      {"zh_CN.UTF-8", 0}, {"zh_CN", 0},     {"zh", 0},           {"zh_TW.UTF-8", 2},
      {"zh_TW@x", 2},     {"zh_HK.UTF-8", 1}, {"zh_SG", 1},      {"zh_MO", 1},
      {"en_US.UTF-8", 1}, {"de_DE", 1},     {"C", 1},            {"", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(tray::LanguageIndexFromLocale(c.locale), c.index) << c.locale;
}

TEST_F(LanguagesTest, LooksUpTextsAndFontsExactly) {
  tray::LanguagesRef store;
  ASSERT_TRUE(store->IsLoaded());
  EXPECT_EQ(store->GetLanguage(), tray::kLanguageEnglish);
  EXPECT_EQ(store->GetString("UI", "DIALOG_TITLE"), QStringLiteral("English"));
  EXPECT_EQ(store->GetStringA("UI", "URL"), "http://h/?L=en&x=1");
  EXPECT_EQ(store->GetStringA("UI", "K"), "second");
  EXPECT_EQ(store->GetStringA("ui", "DIALOG_TITLE"), "");
  EXPECT_EQ(store->GetStringA("UI", "dialog_title"), "");
  EXPECT_EQ(store->GetStringA("LOGIN_FONT_EDIT", "FONT_NAME"), "");  // a font, not a text

  auto edit = store->GetFont("LOGIN_FONT_EDIT");
  ASSERT_TRUE(edit);
  EXPECT_EQ(edit->face, QStringLiteral("Liberation Sans"));
  EXPECT_EQ(edit->height, -9);
  EXPECT_EQ(edit->weight, 700);
  auto plain = store->GetFont("FONT_PLAIN");  // an empty font section takes the defaults
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->face, QStringLiteral("Arial"));
  EXPECT_EQ(plain->height, -12);
  EXPECT_EQ(plain->weight, 0);
  auto fallback = store->GetFont("FONT_MISSING");
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->height, -10);

  store->SetLanguage(tray::kLanguageChineseTrad);
  EXPECT_EQ(store->GetString("UI", "DIALOG_TITLE"), QStringLiteral("繁體"));
  EXPECT_FALSE(store->GetFont("FONT_MISSING"));  // no FONT_DEFAULT in that file
}

TEST_F(LanguagesTest, SetLanguageNotifiesAndRemembersThePrevious) {
  tray::LanguagesRef store;
  Listener a;
  Listener b;
  store->AddListener(&a);
  store->AddListener(&a);
  // A listener that removes another and adds a third while it is told.
  Listener c;
  b.onChange = [&] {
    store->RemoveListener(&a);
    store->AddListener(&c);
  };
  store->AddListener(&b);
  store->SetLanguage(tray::kLanguageChineseSimplified);
  EXPECT_EQ(b.calls, 1);
  EXPECT_LE(a.calls, 1);
  EXPECT_EQ(store->GetPreviousLanguage(), tray::kLanguageEnglish);
  EXPECT_EQ(store->GetLanguage(), tray::kLanguageChineseSimplified);

  store->SetLanguage(tray::kLanguageChineseSimplified);  // the same index tells again
  EXPECT_EQ(b.calls, 2);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(store->GetPreviousLanguage(), tray::kLanguageChineseSimplified);

  store->SetLanguage(3);  // no such language: nothing changes
  store->SetLanguage(-1);
  EXPECT_EQ(b.calls, 2);
  EXPECT_EQ(store->GetLanguage(), tray::kLanguageChineseSimplified);
  EXPECT_EQ(store->GetString("UI", "DIALOG_TITLE"), QStringLiteral("简体"));
  store->RemoveListener(&b);
  store->RemoveListener(&c);
}

TEST_F(LanguagesTest, LastReleaseRebuildsInTheSystemLanguage) {
  tray::ILanguages* first = tray::GetLanguages();
  first->SetLanguage(tray::kLanguageChineseTrad);
  tray::ILanguages* again = tray::GetLanguages();
  EXPECT_EQ(again, first);
  EXPECT_EQ(again->Release(), 1);
  EXPECT_EQ(first->Release(), 0);

  tray::SetSystemLocaleOverride("zh_CN.UTF-8");
  tray::LanguagesRef rebuilt;
  EXPECT_EQ(rebuilt->GetLanguage(), tray::kLanguageChineseSimplified);
}

TEST_F(LanguagesTest, MissingFileIsNotLoaded) {
  tray::SetLanguageFolder(QDir(m_dir.path()).filePath(QStringLiteral("nowhere")));
  tray::LanguagesRef store;
  EXPECT_FALSE(store->IsLoaded());
  EXPECT_EQ(store->GetStringA("UI", "DIALOG_TITLE"), "");
  EXPECT_FALSE(store->GetFont("FONT_DEFAULT"));
}

}  // namespace
