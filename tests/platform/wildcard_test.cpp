#include "platform/wildcard.h"

#include <gtest/gtest.h>

#include <ctime>

#include "platform/dirlist.h"

namespace {

bool Match(const std::string& pattern, const std::string& name,
           const CodePage& cp = CodePage::Utf8()) {
  return WildcardPattern(pattern, cp).Matches(name.data(), name.size());
}

}  // namespace

TEST(Wildcard, StarAndQuestionMarkIgnoringAsciiCase) {
  EXPECT_TRUE(Match("*.pl", "script.PL"));
  EXPECT_TRUE(Match("*.PL", "a.pl"));
  EXPECT_TRUE(Match("a?c", "ABC"));
  EXPECT_FALSE(Match("a?c", "ac"));
  EXPECT_FALSE(Match("a?c", "abbc"));
  EXPECT_TRUE(Match("*a*b*c", "xxaxxbxbxxc"));
  EXPECT_FALSE(Match("*a*b*c", "xxaxxbxbxxcd"));
  EXPECT_TRUE(Match("*.tar.*", "x.TAR.gz"));
  EXPECT_FALSE(Match("*.pl", "a.pl.bak"));
  EXPECT_FALSE(Match("*.p", "a.pl"));
}

TEST(Wildcard, StarDotStarMatchesEveryNameEvenWithoutDot) {
  EXPECT_TRUE(Match("*.*", "README"));
  EXPECT_TRUE(Match("*.*", ".profile"));
  EXPECT_TRUE(Match("*", "x"));
  EXPECT_FALSE(Match("?.*", "README"));
}

TEST(Wildcard, EmptyPatternOrOneWithSeparatorMatchesNothing) {
  EXPECT_TRUE(WildcardPattern("", CodePage::Utf8()).MatchesNothing());
  EXPECT_FALSE(Match("", ""));
  EXPECT_FALSE(Match("sub/*.pl", "a.pl"));
  EXPECT_FALSE(Match(" *.pl", "a.pl"));  // blanks are part of the pattern
}

TEST(Wildcard, Utf8LettersAndWholeCharacters) {
  EXPECT_TRUE(Match("ÉTÉ.txt", "été.TXT"));
  EXPECT_TRUE(Match("*ß*", "straße"));  // no one-character capital: matched as is
  EXPECT_TRUE(Match("?t?.txt", "éTé.txt"));
  EXPECT_FALSE(Match("??t?.txt", "éTé.txt"));  // "é" is one character, not two
  EXPECT_TRUE(Match("*é", "aéé"));
  // A byte that starts no character still counts as one.
  EXPECT_TRUE(Match("a?b", std::string("a\xff") + "b"));
}

TEST(Wildcard, SingleByteCodePageUsesItsOwnCapitals) {
  CodePage latin = CodePage::SingleByte("ISO-8859-15");
  EXPECT_TRUE(Match("\xc9T\xc9", "\xe9t\xe9", latin));
  EXPECT_TRUE(Match("?", "\xe9", latin));
  EXPECT_FALSE(Match("\xc9", "e", latin));
}

TEST(DosDateTime, PacksLocalTimeWithHalvedSeconds) {
  struct tm local {};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 15;
  local.tm_hour = 13;
  local.tm_min = 45;
  local.tm_sec = 31;
  local.tm_isdst = -1;
  int32_t packed = -1;
  ASSERT_TRUE(DosDateTime(mktime(&local), &packed));
  const uint32_t date = (44u << 9) | (3u << 5) | 15u;
  const uint32_t time = (13u << 11) | (45u << 5) | 15u;
  EXPECT_EQ(static_cast<uint32_t>(packed), (date << 16) | time);
}

TEST(DosDateTime, ZeroOutsideTheDosYears) {
  struct tm local {};
  local.tm_year = 1979 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 31;
  local.tm_hour = 23;
  local.tm_min = 59;
  local.tm_sec = 59;
  local.tm_isdst = -1;
  int32_t packed = -1;
  EXPECT_FALSE(DosDateTime(mktime(&local), &packed));
  EXPECT_EQ(packed, 0);
  local.tm_year = 2108 - 1900;
  local.tm_mon = 0;
  local.tm_mday = 1;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  packed = -1;
  EXPECT_FALSE(DosDateTime(mktime(&local), &packed));
  EXPECT_EQ(packed, 0);
  // The last DOS year sets the top bit: still a date, not an error.
  local.tm_year = 2107 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 31;
  local.tm_isdst = -1;
  EXPECT_TRUE(DosDateTime(mktime(&local), &packed));
  EXPECT_LT(packed, 0);
}
