#include "platform/quote.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(QuotedName, QuotesWhatCouldFoolATerminalOrAReader) {
  const CodePage utf8 = CodePage::Utf8();
  const CodePage latin9 = CodePage::SingleByte("ISO-8859-15");
  const CodePage cp1252 = CodePage::SingleByte("CP1252");
  struct Row {
    std::string name;
    const CodePage* cp;
    // The name quoted, and a text holding it escaped.
    std::string quoted, escaped;
  };
  const std::vector<Row> rows = {
      // Printable, the no-break spaces and a dash beside the ranges included.
      {"/srv/été \xC2\xA0\xE2\x80\xAF\xE2\x80\x90.pl", &utf8, "", ""},
      {"a\"b\\c", &utf8, R"("a\"b\\c")", "a\"b\\c"},
      {"a\033[2J\n\t\x7F", &utf8, R"("a\033[2J\n\t\177")", R"(a\033[2J\n\t\177)"},
      // C1 CSI as UTF-8 and as a lone byte, as one clears the screen.
      {"a\xC2\x9B"
       "2J\x9B"
       "2J",
       &utf8, R"("a\302\2332J\2332J")", R"(a\302\2332J\2332J)"},
      // Right-to-left override: it would show "xexe.pl".
      {"x\xE2\x80\xAElp.exe", &utf8, R"("x\342\200\256lp.exe")", R"(x\342\200\256lp.exe)"},
      {"a\xE2\x80\xA8z\xE2\x80\x8B", &utf8, R"("a\342\200\250z\342\200\213")",
       R"(a\342\200\250z\342\200\213)"},
      // A tag, beyond the first plane, and a byte outside UTF-8.
      {"t\xF3\xA0\x80\x81\xE9", &utf8, R"("t\363\240\200\201\351")", R"(t\363\240\200\201\351)"},
      {"caf\xE9 \x9C.pl", &cp1252, "", ""},
      {"caf\xE9 \x9B", &latin9,
       R"("caf)"
       "\xE9"
       R"( \233")",
       "caf\xE9"
       R"( \233)"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(QuotedName(r.name, *r.cp), r.quoted.empty() ? r.name : r.quoted) << r.name;
    EXPECT_EQ(EscapedText(r.name, *r.cp), r.escaped.empty() ? r.name : r.escaped) << r.name;
  }
}

}  // namespace
