#include "ini_file.h"

#include <gtest/gtest.h>

namespace {

TEST(IniFileTest, KeepsNamesAndValuesExactly) {
  tray::IniFile ini;
  ini.Parse(
      "\xEF\xBB\xBF[UI]\r\n"
      "DIALOG_TITLE=Tirvan\r\n"
      "dialog_title=lower\r\n"
      "URL_HOME=http://x/?a=1&b=2\r\n"
      " SPACED = kept \r\n"
      "DUP=first\n"
      "DUP=second\n"
      "no equals sign\n"
      "; comment=ignored\n"
      "[Empty]\n"
      "[ui]\n"
      "DIALOG_TITLE=other section\n"
      "[UI]\n"
      "LATE=merged\n");
  EXPECT_EQ(ini.SectionNames(), (std::vector<std::string>{"UI", "Empty", "ui"}));
  EXPECT_EQ(ini.Value("UI", "DIALOG_TITLE"), "Tirvan");
  EXPECT_EQ(ini.Value("UI", "dialog_title"), "lower");
  EXPECT_EQ(ini.Value("UI", "URL_HOME"), "http://x/?a=1&b=2");
  EXPECT_EQ(ini.Value("UI", " SPACED "), " kept ");
  EXPECT_EQ(ini.Value("UI", "DUP"), "second");
  EXPECT_EQ(ini.Value("UI", "LATE"), "merged");
  EXPECT_EQ(ini.Value("ui", "DIALOG_TITLE"), "other section");
  EXPECT_FALSE(ini.Value("UI", "no equals sign").has_value());
  EXPECT_FALSE(ini.Value("UI", "; comment").has_value());
  EXPECT_TRUE(ini.Section("Empty").empty());
  EXPECT_TRUE(ini.Section("Missing").empty());
}

TEST(IniFileTest, MissingFileIsEmpty) {
  tray::IniFile ini;
  EXPECT_FALSE(ini.Load("/nonexistent/English.qzl"));
  EXPECT_TRUE(ini.Empty());
}

}  // namespace
