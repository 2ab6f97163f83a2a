#include "platform/charset.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::ConvertCharset;
using platform::CutToCharBoundary;

// "中文" in GB2312.
const std::string kZhongWenGb = "\xD6\xD0\xCE\xC4";

TEST(CharsetTest, ChineseRoundTripThroughGb2312) {
  const std::string utf8 = "照片/中文文件名 2013.jpg";
  bool ok = false;
  std::string gb = ConvertCharset(utf8, "UTF-8", "GB2312", &ok);
  EXPECT_TRUE(ok);
  EXPECT_NE(gb, utf8);
  EXPECT_EQ(ConvertCharset("中文", "UTF-8", "GB2312"), kZhongWenGb);
  EXPECT_EQ(ConvertCharset(gb, "gb2312", "utf-8", &ok), utf8);
  EXPECT_TRUE(ok);
}

TEST(CharsetTest, CharacterMissingInTargetIsSkippedAndRestKept) {
  // The emoji and the traditional character have no GB2312 code; everything else stays.
  bool ok = true;
  std::string gb = ConvertCharset("中\xF0\x9F\x98\x80飛文.txt", "UTF-8", "GB2312//IGNORE", &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(gb, kZhongWenGb + ".txt");
  EXPECT_EQ(ConvertCharset(gb, "GB2312", "UTF-8"), "中文.txt");
}

TEST(CharsetTest, InvalidSourceSequencesAreSkipped) {
  struct Case {
    const char* name;
    std::string text;
    const char* from;
    const char* to;
    std::string expected;
  };
  const Case cases[] = {
      {"stray byte in UTF-8", "ab\xFF" "cd", "UTF-8", "GB2312", "abcd"},
      {"lead byte before ASCII", "a\xC3(b", "UTF-8", "UTF-8", "a(b"},
      {"UTF-8 cut inside a character", "ab\xE4\xB8", "UTF-8", "GB2312", "ab"},
      {"GB2312 bad pair keeps the ASCII after it", kZhongWenGb + "\xFF" "A", "GB2312", "UTF-8",
       "中文A"},
      {"GB2312 cut inside a character", "x" + kZhongWenGb.substr(0, 3), "GB2312", "UTF-8",
       "x中"},
      {"narrow charset validates too", "名\xC0\xAF字", "UTF-8", platform::kNarrowCharset,
       "名字"},
  };
  for (const Case& c : cases) {
    bool ok = true;
    EXPECT_EQ(ConvertCharset(c.text, c.from, c.to, &ok), c.expected) << c.name;
    EXPECT_FALSE(ok) << c.name;
  }
}

TEST(CharsetTest, UnknownConversionGivesEmptyText) {
  bool ok = true;
  EXPECT_EQ(ConvertCharset("abc", "UTF-8", "NO-SUCH-CHARSET", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(ConvertCharset("abc", "NO-SUCH-CHARSET", "UTF-8"), "");
}

TEST(CharsetTest, OutputLongerThanFirstGuessIsComplete) {
  std::string ascii(5000, 'q');
  bool ok = false;
  std::string wide = ConvertCharset(ascii, "UTF-8", "UTF-32LE", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(wide.size(), 20000u);
  EXPECT_EQ(ConvertCharset(wide, "UTF-32LE", "UTF-8"), ascii);
  EXPECT_EQ(ConvertCharset("", "UTF-8", "GB2312", &ok), "");
  EXPECT_TRUE(ok);
}

TEST(CharsetTest, CutNeverSplitsACharacter) {
  struct Case {
    std::string text;
    size_t max;
    const char* charset;
    std::string expected;
  };
  const Case cases[] = {
      {"abcdefg", 5, "UTF-8", "abcde"},
      {"abc", 10, "UTF-8", "abc"},
      {"中文", 4, "UTF-8", "中"},
      {"中文", 6, "UTF-8", "中文"},
      {"中文", 2, "UTF-8", ""},
      {kZhongWenGb, 3, "GB2312", "\xD6\xD0"},
      {"a" + kZhongWenGb, 4, "gb2312//IGNORE", "a\xD6\xD0"},
      {"a" + kZhongWenGb, 3, "GBK", "a\xD6\xD0"},
      {"a" + kZhongWenGb, 2, "EUC-CN", "a"},
      // A four-byte GB18030 character (U+20000).
      {"a\x95\x32\x82\x36", 4, "GB18030", "a"},
      {"ab\xD6\xD0", 3, "ISO-8859-1", "ab\xD6"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CutToCharBoundary(c.text, c.max, c.charset), c.expected)
        << c.charset << " max " << c.max;
  }
}

TEST(CharsetTest, CutGb2312FieldStillConvertsWithoutLoss) {
  std::string gb;
  for (int i = 0; i < 200; ++i) gb += "\xCE\xC4";  // 文
  std::string cut = CutToCharBoundary("/" + gb, 259, "GB2312");
  EXPECT_EQ(cut.size(), 259u);
  bool ok = false;
  std::string utf8 = ConvertCharset(cut, "GB2312", "UTF-8", &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(utf8.size(), 1u + 129u * 3u);
}

}  // namespace
