#include <gtest/gtest.h>

#include <random>
#include <string>

#include "convert/convert.h"
#include "platform/codepage.h"

namespace {

const CodePage& Cp1252() {
  static const CodePage cp = CodePage::SingleByte("CP1252");
  return cp;
}

const CodePage& Utf8() {
  static const CodePage cp = CodePage::Utf8();
  return cp;
}

std::string Replace(const std::string& t, const std::string& s, const std::string& r,
                    const CodePage& cp) {
  return ReplaceAllIgnoringCase(t, s, r, cp);
}

TEST(ReplaceAllIgnoringCase, EdgeCasesInBothCodePages) {
  for (const CodePage* cp : {&Cp1252(), &Utf8()}) {
    SCOPED_TRACE(cp->Name());
    EXPECT_EQ(Replace("Le Chat et le CHAT.\r\n", "chat", "chien", *cp),
              "Le chien et le chien.\r\n");
    EXPECT_EQ(Replace("abc", "", "x", *cp), "abc");
    EXPECT_EQ(Replace("", "a", "x", *cp), "");
    EXPECT_EQ(Replace("banana", "AN", "", *cp), "ba");
    EXPECT_EQ(Replace("aaa", "aa", "b", *cp), "ba");
    EXPECT_EQ(Replace("aaaa", "aa", "b", *cp), "bb");
    EXPECT_EQ(Replace("a", "a", "aa", *cp), "aa");
    EXPECT_EQ(Replace("Chat CHAT chat", "chat", "Chien", *cp), "Chien Chien Chien");
    EXPECT_EQ(Replace("ab", "abc", "x", *cp), "ab");
    EXPECT_EQ(Replace("#!/PERL/bin/Perl\n", "#!/perl/bin/perl", "#!/usr/bin/perl", *cp),
              "#!/usr/bin/perl\n");
    // The text between matches keeps its own case.
    EXPECT_EQ(Replace("xAyaZ", "a", "-", *cp), "x-y-Z");
  }
}

TEST(ReplaceAllIgnoringCase, AccentedCapitalsInWindows1252) {
  // été, ÉTÉ and Été in Windows-1252 bytes.
  const std::string ete = "\xE9t\xE9";
  EXPECT_EQ(Replace("\xC9T\xC9 et \xC9t\xE9", ete, "x", Cp1252()), "x et x");
  EXPECT_EQ(Replace("\xFF", "\x9F", "y", Cp1252()), "y");  // ÿ and Ÿ
}

TEST(ReplaceAllIgnoringCase, AccentedCapitalsInUtf8) {
  EXPECT_EQ(Replace("ÉTÉ et Été", "été", "x", Utf8()), "x et x");
  EXPECT_EQ(Replace("ĀBC", "ā", "a", Utf8()), "aBC");
  // The dotless i has a one-byte capital: it keeps its own bytes and does not match "I".
  EXPECT_EQ(Replace("ı", "I", "x", Utf8()), "ı");
}

TEST(ReplaceAllIgnoringCase, NeverMatchesInsideAUtf8Character) {
  // "é" is C3 A9; a search for the lone second byte must not cut it in two.
  EXPECT_EQ(Replace("é", "\xA9", "x", Utf8()), "é");
  EXPECT_EQ(Replace("é\xA9", "\xA9", "x", Utf8()), "éx");
  // A single-byte set has no such thing as the inside of a character.
  EXPECT_EQ(Replace("\xC3\xA9", "\xA9", "x", Cp1252()), "\xC3x");
}

TEST(CodePage, Windows1252Capitals) {
  const CodePage& cp = Cp1252();
  EXPECT_EQ(cp.UpperCase("abcxyz"), "ABCXYZ");
  EXPECT_EQ(cp.UpperCase("\xE9\xE0\xF6\xFE"), "\xC9\xC0\xD6\xDE");
  EXPECT_EQ(cp.UpperCase("\x9A\x9C\x9E\xFF"), "\x8A\x8C\x8E\x9F");  // š œ ž ÿ
  // No capital within the set: µ, ß and the division sign stay.
  EXPECT_EQ(cp.UpperCase("\xB5\xDF\xF7"), "\xB5\xDF\xF7");
}

TEST(CodePage, Utf8CapitalsKeepEveryLength) {
  const CodePage& cp = Utf8();
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

TEST(CodePage, UnknownSetFallsBackToAsciiCapitals) {
  CodePage cp = CodePage::SingleByte("NO-SUCH-CHARSET");
  EXPECT_EQ(cp.UpperCase("ab\xE9"), "AB\xE9");
}

// A plain model of the replacement: copies of what is left, searched from
// the front each time, with the character-start rule of the code page.
std::string Model(std::string text, const std::string& search, const std::string& repl,
                  const CodePage& cp) {
  std::string u = cp.UpperCase(text);
  const std::string p = cp.UpperCase(search);
  std::string result;
  while (!u.empty()) {
    std::size_t found = std::string::npos;
    if (!p.empty()) {
      for (std::size_t i = 0; i + p.size() <= u.size(); ++i) {
        if (u.compare(i, p.size(), p) == 0 && cp.MayStartAt(u.data(), u.size(), i)) {
          found = i;
          break;
        }
      }
    }
    if (found == std::string::npos) {
      result += text;
      break;
    }
    result += text.substr(0, found) + repl;
    text = text.substr(found + search.size());
    u = u.substr(found + p.size());
  }
  return result;
}

TEST(ReplaceAllIgnoringCase, AgreesWithTheModelOnRandomInputs) {
  const std::vector<std::string> pieces = {"a",    "A",    "b",    "B",    " ",  "é",   "É",
                                           "\xC3", "\xA9", "\xE9", "\xC9", "ab", "\r\n"};
  std::mt19937 rng(20261207);
  auto make = [&](int max_pieces) {
    std::string s;
    int n = std::uniform_int_distribution<int>(0, max_pieces)(rng);
    for (int i = 0; i < n; ++i) {
      s += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(rng)];
    }
    return s;
  };
  for (const CodePage* cp : {&Cp1252(), &Utf8()}) {
    for (int round = 0; round < 20000; ++round) {
      std::string text = make(12);
      std::string search = make(3);
      std::string repl = make(2);
      ASSERT_EQ(ReplaceAllIgnoringCase(text, search, repl, *cp), Model(text, search, repl, *cp))
          << cp->Name() << " text=" << text << " search=" << search;
    }
  }
}

}  // namespace
