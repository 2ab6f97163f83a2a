// The shipped language files: each holds the same keys, none empty, every font section the
// dialogs ask for, and faces that this system has.
#include <gtest/gtest.h>

#include <set>

#include "ini_file.h"
#include "languages.h"

namespace {

std::string FilePath(int index) {
  return std::string(TIRVAN_LANG_SOURCE_DIR) + "/" + tray::LanguageFileName(index);
}

std::set<std::string> Keys(const tray::IniFile& ini) {
  std::set<std::string> keys;
  for (const std::string& section : ini.SectionNames()) {
    for (const auto& [key, value] : ini.Section(section)) keys.insert(section + "/" + key);
  }
  return keys;
}

TEST(LanguageFilesTest, EveryFileHoldsEveryTextAndFont) {
  tray::IniFile english;
  ASSERT_TRUE(english.Load(FilePath(tray::kLanguageEnglish)));
  const std::set<std::string> expected = Keys(english);
  for (const char* key : {"UI/DIALOG_TITLE", "MESSAGEBOX/MSGBOX_ONEMORESTART", "URL/URL_HOMEPAGE",
                          "DEFAULTSHARE/SHARE_AUDIO", "LANGUAGE/LANGUAGE_CHINESETRAD",
                          "TOOLTIP/TOOTIP_FORGETPW", "OTHER/OTHER_SELECT_DEFAULTFLODER",
                          "UI/TRAYMENU_FEEFBACK"}) {
    EXPECT_TRUE(expected.count(key)) << key;
  }
  const char* fonts[] = {
      "FONT_DEFAULT",          "FONT_ABOUT_BUTTON",    "FONT_ABOUT_STATIC",
      "FONT_ABOUT_STATIC1",    "FONT_LOGIN_REGISTER",  "FONT_AP_BUTTON",
      "FONT_AP_STARIC",        "FONT_AP_TITLE",        "FONT_CONNECT_BUTTON",
      "FONT_CONNECT_INFO",     "FONT_CONNECT_OTHER",   "FONT_CONNECT_TITLE",
      "FONT_LOGIN_FORGETPW",   "FONT_LOGIN_LOGIN",     "FONT_LOGIN_STATIC",
      "FONT_LOGIN_STATIC1",    "FONT_UI_LOGIN_EDIT",   "FONT_MESSAGEBOX_BUTTON",
      "FONT_SETTING_ACCOUNT",  "FONT_SETTING_BUTTON",  "FONT_SETTING_EDIT",
      "FONT_SETTING_STATUS",   "FONT_UI_SETTING_BUTTON", "FONT_UI_SHARE_BUTTON",
      "FONT_SWITCH_STATIC",    "FONT_UPDATE_BUTTON",   "FONT_UPDATE_STATIC",
      "FONT_UPDATE_STATIC1",   "FONT_WIZARD_BUTTON",   "FONT_WIZARD_LINK1",
      "FONT_WIZARD_STATIC",    "FONT_WIZARD_STATIC1",  "FONT_WIZARD_STATIC2",
  };
  for (int index : {0, 1, 2}) {
    tray::IniFile ini;
    ASSERT_TRUE(ini.Load(FilePath(index))) << FilePath(index);
    EXPECT_EQ(Keys(ini), expected) << tray::LanguageFileName(index);
    for (const std::string& section : ini.SectionNames()) {
      if (section.find("FONT_") != std::string::npos) continue;
      for (const auto& [key, value] : ini.Section(section)) {
        EXPECT_FALSE(value.empty()) << tray::LanguageFileName(index) << " " << key;
      }
    }
    for (const char* font : fonts) {
      auto face = ini.Value(font, "FONT_NAME");
      ASSERT_TRUE(face) << tray::LanguageFileName(index) << " " << font;
      EXPECT_TRUE(*face == "Liberation Sans" || face->rfind("Noto Sans CJK", 0) == 0) << *face;
    }
  }
}

}  // namespace
