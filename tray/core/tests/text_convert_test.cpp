#include "text_convert.h"

#include <gtest/gtest.h>

namespace {

using tray::AnsiToWide;
using tray::Utf8ToAnsi;
using tray::Utf8ToWide;
using tray::WideToAnsi;
using tray::WideToUtf8;

TEST(TextConvertTest, RoundTripsTextOfEveryPlane) {
  const char* text = "Photos 照片 相片 \xF0\x9F\x93\xB7";  // with a character past U+FFFF
  std::optional<std::u16string> wide = Utf8ToWide(text);
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, u"Photos 照片 相片 \U0001F4F7");
  EXPECT_EQ(WideToUtf8(wide->c_str()), text);
  EXPECT_EQ(WideToAnsi(wide->c_str()), text);
  EXPECT_EQ(AnsiToWide(text), wide);
  EXPECT_EQ(Utf8ToAnsi(text), text);
}

TEST(TextConvertTest, NoneEmptyAndInvalidInput) {
  EXPECT_FALSE(AnsiToWide(nullptr));
  EXPECT_FALSE(WideToAnsi(nullptr));
  EXPECT_FALSE(Utf8ToWide(nullptr));
  EXPECT_FALSE(WideToUtf8(nullptr));
  EXPECT_FALSE(Utf8ToAnsi(nullptr));
  EXPECT_EQ(AnsiToWide(""), std::u16string());
  EXPECT_EQ(Utf8ToAnsi(""), std::string());

  struct Case {
    const char* input;
    const char16_t* wide;
  };
  const Case cases[] = {
      {"a\xFF" "b", u"ab"},                     // a byte that starts nothing
      {"a\xC3", u"a"},                          // cut sequence at the end
      {"a\xC3(b", u"a(b"},                      // a sequence broken by ASCII
      {"\xC0\xAE\xC0\xAE/x", u"/x"},            // overlong dots
      {"\xED\xA0\x80z", u"z"},                  // a surrogate coded in UTF-8
      {"\xF4\x90\x80\x80z", u"z"},              // past U+10FFFF
      {"\xE2\x82\xAC", u"\u20AC"},              // a valid euro sign stays
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.input), std::u16string(c.wide)) << c.input;
    EXPECT_EQ(Utf8ToAnsi(c.input), WideToUtf8(c.wide)) << c.input;
  }
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
  EXPECT_EQ(WideToUtf8(lone), "ab");
}

}  // namespace
