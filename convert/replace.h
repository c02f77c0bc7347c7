#pragma once
// Replacing a search text without regard to case, in the many lines of a
// run: the search is prepared once, and a text without a match costs one
// search and no copy.

#include <cstddef>
#include <string>
#include <string_view>

#include "convert/bytescan.h"
#include "platform/codepage.h"

// A search text and its replacement, ready for many texts.
struct PreparedRule {
  const CodePage* Cp = nullptr;
  // The search's capitals; a match is where a text's byte capitals equal them.
  std::string Upper;
  std::string_view Replacement;
  // Whether a text's own bytes can be searched; otherwise (UTF-8 with a
  // search beyond ASCII) its upper-cased copy is.
  bool OnRawText = true;
  // A match can only touch a line's ending when the search holds CR or LF.
  bool MayTouchEnding = false;
  // Two bytes of the search, rare in scripts, with the bytes whose capital
  // each is; candidates for a match are looked for by them.
  ByteTest Anchor;
  ByteTest Second;
};

// Prepares the replacement of search by replacement; they and the code page
// must outlive the result.
PreparedRule PrepareRule(std::string_view search, std::string_view replacement,
                         const CodePage& code_page);

// The matches of a rule in one text, from left to right; asked in that order,
// it looks at each byte of the text a bounded number of times.
class RuleMatches {
 public:
  RuleMatches() = default;
  // The matches of rule in s[0, n) (rule.OnRawText, or s upper-cased).
  RuleMatches(const PreparedRule& rule, const char* s, std::size_t n);
  // The first match that starts at or after from; null when there is none.
  const char* From(const char* from);

 private:
  const PreparedRule* rule_ = nullptr;
  const unsigned char* begin_ = nullptr;
  PlaceFinder places_;
};

// Writes text with every match of rule replaced to out, as
// ReplaceAllIgnoringCase does; false, with out left alone, when nothing
// matches. upper is room for the capitals the search may need.
bool ReplaceMatches(const PreparedRule& rule, std::string_view text, std::string& out,
                    std::string& upper);

// Every occurrence of search in text, found without regard to case, replaced
// by replacement; matches do not overlap and a replacement is never searched again.
std::string ReplaceAllIgnoringCase(const std::string& text, const std::string& search,
                                   const std::string& replacement,
                                   const CodePage& code_page = CodePage::System());
