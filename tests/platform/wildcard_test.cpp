#include "platform/wildcard.h"

#include <gtest/gtest.h>

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

TEST(Wildcard, TrailingStarsMatchNothingAndALastCharacterIsWhole) {
  EXPECT_TRUE(Match("a*", "a"));
  EXPECT_TRUE(Match("A**", "a"));
  EXPECT_FALSE(Match("a*b", "a"));
  // "é" ends the name: "?" takes both its bytes.
  EXPECT_TRUE(Match("a?", "aé"));
  EXPECT_FALSE(Match("a??", "aé"));
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
