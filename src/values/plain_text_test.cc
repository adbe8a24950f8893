#include "values/plain_text.h"

#include <gtest/gtest.h>

namespace {

TEST(PlainText, LowerCasesOnlyAsciiCapitals) {
  EXPECT_EQ("abc.dll", toLowerAscii("AbC.DLL"));
  EXPECT_EQ("@[`{", toLowerAscii("@[`{"));
  EXPECT_EQ("\xc3\x89t\xc3\xa9", toLowerAscii("\xc3\x89T\xc3\xa9"));  // bytes >= 0x80 kept
  EXPECT_TRUE(endsWithIgnoringCase("EXT_X64.DLL", "_x64.dll"));
  EXPECT_FALSE(endsWithIgnoringCase("dll", ".dll"));
  EXPECT_FALSE(endsWithIgnoringCase("ext.dlm", ".dll"));
}

TEST(PlainText, ShowsNulBytes) {
  EXPECT_EQ("a\\0b\\0", showingNul(std::string_view("a\0b\0", 4)));
  EXPECT_EQ("", showingNul(""));
}

TEST(PlainText, EncodesUtf8AtEveryLengthBoundary) {
  const struct {
    char32_t codePoint;
    const char* utf8;
  } cases[] = {
      {0x24, "\x24"},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFD, "\xEF\xBF\xBD"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) {
    char out[4];
    std::string written(out, writeUtf8(out, c.codePoint));
    EXPECT_EQ(c.utf8, written) << std::hex << static_cast<unsigned>(c.codePoint);
    EXPECT_EQ(written.size(), utf8Length(c.codePoint));
  }
}

}  // namespace
