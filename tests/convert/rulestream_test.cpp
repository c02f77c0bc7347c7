#include "convert/rulestream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "convert/replace.h"
#include "platform/codepage.h"

namespace {

// What the streamed rule makes of text fed to it in pieces of piece bytes.
std::string Streamed(const PreparedRule& rule, const std::string& text, std::size_t piece) {
  std::string out;
  auto emit = [&out](const char* p, std::size_t n) { out.append(p, n); };
  RuleStream stream;
  stream.Begin(&rule);
  for (std::size_t at = 0; at < text.size(); at += piece) {
    stream.Feed(text.data() + at, std::min(piece, text.size() - at), emit);
  }
  stream.Finish(emit);
  return out;
}

TEST(RuleStream, GivesWhatTheWholeLineGivesWhereverThePiecesEnd) {
  // A character of four bytes, and searches that begin with each of its
  // last bytes: none may match inside it, however long ago its first byte
  // came.
  const CodePage utf8 = CodePage::Utf8();
  const std::string grin = "\xF0\x9F\x98\x80";
  const std::string text = "ab" + grin + "x" + grin + "é" + grin + "xÉ";
  const std::vector<std::string> searches = {"\x80x", "\x98\x80x", "\x9F\x98\x80x", grin + "x",
                                             "xé"};
  for (const std::string& search : searches) {
    const PreparedRule rule = PrepareRule(search, "!", utf8);
    const std::string whole = ReplaceAllIgnoringCase(text, search, "!", utf8);
    for (std::size_t piece = 1; piece <= text.size(); ++piece) {
      EXPECT_EQ(Streamed(rule, text, piece), whole) << "search " << search << ", piece " << piece;
    }
  }
}

}  // namespace
