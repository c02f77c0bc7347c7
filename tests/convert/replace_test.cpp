#include "convert/replace.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../support/replace_model.h"
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

// The model's capitals are those of the characters the random pieces below
// can form; a three-byte character from "\xE9" has none.
const ReplaceModel kModelCp1252{false, {{"\xE9", "\xC9"}}};
// "ɩ" is C9 A9, from the pieces "\xC9" and "\xA9".
const ReplaceModel kModelUtf8{true, {{"é", "É"}, {"ɩ", "Ɩ"}}};

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
  for (auto [cp, model] : {std::pair{&Cp1252(), &kModelCp1252}, std::pair{&Utf8(), &kModelUtf8}}) {
    for (int round = 0; round < 20000; ++round) {
      std::string text = make(12);
      std::string search = make(3);
      std::string repl = make(2);
      ASSERT_EQ(ReplaceAllIgnoringCase(text, search, repl, *cp), model->Replace(text, search, repl))
          << cp->Name() << " text=" << text << " search=" << search;
    }
  }
}

}  // namespace
