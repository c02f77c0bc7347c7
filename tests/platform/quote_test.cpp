#include "platform/quote.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(QuotedName, QuotesWhatCouldFoolATerminalOrAReader) {
  const CodePage utf8 = CodePage::Utf8(), latin9 = CodePage::SingleByte("ISO-8859-15"),
                 cp1252 = CodePage::SingleByte("CP1252");
  // A name, its set, the name quoted and a text holding it escaped (empty: as it is).
  const std::vector<std::vector<std::string>> rows = {
      // Printable: no-break spaces and a dash beside the ranges; in CP1252, "é œ".
      {"/srv/été \xC2\xA0\xE2\x80\xAF\xE2\x80\x90", "", "", ""},
      {"caf\xE9 \x9C", "cp1252", "", ""},
      {"a\"\\\n\x7F", "", R"("a\"\\\n\177")", "a\"\\\\n\\177"},
      // C1 as UTF-8 and alone, U+202E, U+2028, a zero-width space, a tag, a
      // byte outside UTF-8; 0x9B is C1 in ISO-8859-15 too.
      {"\xC2\x9B\x9B\xE2\x80\xAE\xE2\x80\xA8\xE2\x80\x8B\xF3\xA0\x80\x81\xE9", "",
       R"("\302\233\233\342\200\256\342\200\250\342\200\213\363\240\200\201\351")", ""},
      {"\xE9\x9B", "latin9", "\"\xE9\\233\"", "\xE9\\233"},
  };
  for (const std::vector<std::string>& r : rows) {
    const CodePage& cp = r[1].empty() ? utf8 : r[1] == "cp1252" ? cp1252 : latin9;
    const std::string quoted = r[2].empty() ? r[0] : r[2];
    EXPECT_EQ(QuotedName(r[0], cp), quoted) << r[0];
    // The same escapes, without quotes, and a quote or backslash as it is.
    const std::string escaped = r[3].empty() ? quoted.substr(1, quoted.size() - 2) : r[3];
    EXPECT_EQ(EscapedText(r[0], cp), r[2].empty() ? r[0] : escaped) << r[0];
  }
}

}  // namespace
