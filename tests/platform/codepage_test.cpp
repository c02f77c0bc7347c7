#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CodePage, Windows1252Capitals) {
  const CodePage cp = CodePage::SingleByte("CP1252");
  EXPECT_EQ(cp.UpperCase("abcxyz"), "ABCXYZ");
  EXPECT_EQ(cp.UpperCase("\xE9\xE0\xF6\xFE"), "\xC9\xC0\xD6\xDE");
  EXPECT_EQ(cp.UpperCase("\x9A\x9C\x9E\xFF"), "\x8A\x8C\x8E\x9F");  // š œ ž ÿ
  // No capital within the set: µ, ß and the division sign stay.
  EXPECT_EQ(cp.UpperCase("\xB5\xDF\xF7"), "\xB5\xDF\xF7");
}

TEST(CodePage, Utf8CapitalsKeepEveryLength) {
  const CodePage cp = CodePage::Utf8();
  EXPECT_EQ(cp.UpperCase("àéāω"), "ÀÉĀΩ");
  EXPECT_EQ(cp.UpperCase("ß"), "ß");
  // Broken sequences are copied unchanged and do not disturb what follows.
  EXPECT_EQ(cp.UpperCase("\xC3"
                         "a\xA9"
                         "é"),
            "\xC3"
            "A\xA9"
            "É");
  std::string s = "ÿ";
  EXPECT_EQ(cp.UpperCase(s).size(), s.size());
}

TEST(CodePage, NoMatchStartsInsideAUtf8Character) {
  const CodePage cp = CodePage::Utf8();
  // U+1F600, then a lone continuation byte: only the latter may start one.
  const std::string s = "a\xF0\x9F\x98\x80\x80";
  for (std::size_t pos : {2, 3, 4}) EXPECT_FALSE(cp.MayStartAt(s.data(), s.size(), pos)) << pos;
  EXPECT_TRUE(cp.MayStartAt(s.data(), s.size(), 5));
}

TEST(CodePage, UnknownSetFallsBackToAsciiCapitals) {
  CodePage cp = CodePage::SingleByte("NO-SUCH-CHARSET");
  EXPECT_EQ(cp.UpperCase("ab\xE9"), "AB\xE9");
}

}  // namespace
